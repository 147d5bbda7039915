// test-labels: platform;concurrency
// test-language: zh_CN
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Diagnostics/SafeText.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillon::platform;
using quillon::testing::TempDir;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto nl = text.find('\n', start);
        if (nl == std::string::npos) {
            out.push_back(text.substr(start) + "<no newline>");
            break;
        }
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

// Points the log at a directory of the test's own for the scope's lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The message of a well-formed line ("YYYY-MM-DDTHH:MM:SS.mmmZ message"), or nothing.
std::optional<std::string> messageOf(const std::string& line) {
    static const std::regex stamp(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z )");
    // Only the stamp goes through the regex: the library's matcher recurses per character.
    if (line.size() < 25 || !std::regex_match(line.begin(), line.begin() + 25, stamp)) {
        return std::nullopt;
    }
    return line.substr(25);
}

} // namespace

TEST(DiagLog, FormatsUtcWithMilliseconds) {
    using sys = system_clock;
    struct Case {
        sys::time_point when;
        std::string message;
        std::string line;
    };
    // 2026-12-10T12:34:56Z is 1796906096 s after the epoch.
    const sys::time_point base{seconds(1796906096)};
    const std::vector<Case> cases = {
        {base + 789ms, "【连接】设备已连接", "2026-12-10T12:34:56.789Z 【连接】设备已连接\n"},
        {base + 999999us, "x", "2026-12-10T12:34:56.999Z x\n"}, // truncated, not rounded up
        {sys::time_point{}, "", "1970-01-01T00:00:00.000Z \n"},
        {sys::time_point{} - 1ms, "before", "1969-12-31T23:59:59.999Z before\n"},
        {sys::time_point{seconds(951782400)}, "leap", "2000-02-29T00:00:00.000Z leap\n"},
        // An embedded line break would forge an undated second line; ESC would reach the
        // terminal that shows the log.
        {base, "a\nb\r\nc", "2026-12-10T12:34:56.000Z a\\x0Ab\\x0D\\x0Ac\n"},
        {base, "\x1b]0;owned\x07", "2026-12-10T12:34:56.000Z \\x1B]0;owned\\x07\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DiagLog::formatLine(c.when, c.message), c.line);
    }
}

// A client field of 4 MiB (a bundle ID, a device name) costs the log a few hundred bytes.
TEST(DiagLog, HugeClientFieldIsBounded) {
    TempDir tmp;
    ScopedEnv env("XDG_STATE_HOME", tmp.path());
    const std::string bundleID(4 << 20, 'a');
    const std::string message =
        "【应用切换】找不到 bundleID=" + bundleID + " 对应的已安装应用，忽略";
    for (int i = 0; i < 10; ++i) {
        DiagLog::write(message);
    }
    const std::string total = "…(共 " + std::to_string(message.size()) + " 字节)";
    const auto got = lines(readFile(DiagLog::path()));
    ASSERT_EQ(got.size(), 10u);
    for (const auto& line : got) {
        EXPECT_LT(line.size(), 700u);
        EXPECT_NE(line.find(total), std::string::npos) << line.substr(0, 80);
    }
}

TEST(DiagLog, CreatesMissingDirectoriesPrivatelyAndAppends) {
    TempDir tmp;
    const std::string state = tmp.path() + "/deep/state";
    ScopedEnv env("XDG_STATE_HOME", state);
    EXPECT_EQ(DiagLog::path(), state + "/corvane/Corvane-diag.log");

    DiagLog::write("【USB】first");
    DiagLog::write("second");
    const auto got = lines(readFile(DiagLog::path()));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(messageOf(got[0]), "【USB】first") << got[0];
    EXPECT_EQ(messageOf(got[1]), "second") << got[1];
    // The stamp is now, in UTC.
    const auto nowLine = DiagLog::formatLine(system_clock::now(), "");
    EXPECT_EQ(got[1].substr(0, 13), nowLine.substr(0, 13));

    struct stat st {};
    ASSERT_EQ(::stat((state + "/corvane").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(DiagLog::path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(DiagLog, FallsBackToHomeAndIgnoresWriteFailures) {
    TempDir tmp;
    {
        ScopedEnv home("HOME", tmp.path());
        ScopedEnv relative("XDG_STATE_HOME", "relative/path"); // invalid, so ignored
        EXPECT_EQ(DiagLog::path(), tmp.path() + "/.local/state/corvane/Corvane-diag.log");
    }
    // The directory cannot exist: a regular file is in the way. Nothing is thrown.
    std::ofstream(tmp.path() + "/blocker") << "x";
    ScopedEnv env("XDG_STATE_HOME", tmp.path() + "/blocker");
    EXPECT_NO_THROW(DiagLog::write("lost"));
}

TEST(DiagLog, ConcurrentWritersFromThreadsAndProcessesKeepLinesWhole) {
    TempDir tmp;
    ScopedEnv env("XDG_STATE_HOME", tmp.path());
    constexpr int kProcesses = 2, kThreads = 6, kLines = 300;
    // Long lines too, so a writer that split a line into several writes would be caught.
    auto message = [](char who, int i) {
        return std::string(1, who) + std::to_string(i) + ":" +
               std::string(static_cast<std::size_t>(i % 7 == 0 ? 3000 : 40 + i % 50), who);
    };
    // Children first, before this process has threads of its own.
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < kLines; ++i) {
                DiagLog::write(message(static_cast<char>('p' + p), i));
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                DiagLog::write(message(static_cast<char>('a' + t), i));
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::map<std::string, int> seen;
    for (const auto& line : lines(readFile(DiagLog::path()))) {
        const auto msg = messageOf(line);
        ASSERT_TRUE(msg) << line.substr(0, 80);
        ++seen[*msg];
    }
    std::size_t expected = 0;
    for (char who : std::string("abcdef") + "pq") {
        for (int i = 0; i < kLines; ++i, ++expected) {
            // Long messages are written cut (see HugeClientFieldIsBounded), still whole lines.
            const auto written = safeText(message(who, i), DiagLog::maxMessageBytes);
            EXPECT_EQ(seen[written], 1) << who << i;
        }
    }
    EXPECT_EQ(seen.size(), expected);
}
