// test-labels: e2e
// test-timeout: 240
// test-language: zh_CN
// One language per run: every text `quillon` shows (its help, each subcommand's help and
// errors, the terminal console, the diagnostics log) in the language the environment asks for.
// An English run shows no Chinese character anywhere; a Chinese one the texts the tablet's
// users know; the C locale is English.
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

using Env = std::map<std::string, std::optional<std::string>>;

const std::string kQuillon = QUILLON_BINARY_DIR "/Quillon/quillon";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The first CJK character (ideographs, CJK punctuation, full-width forms) of UTF-8 text,
// with some context; empty when there is none.
std::string firstCJK(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        char32_t cp = c;
        if (c >= 0xF0) {
            length = 4;
            cp = c & 0x07;
        } else if (c >= 0xE0) {
            length = 3;
            cp = c & 0x0F;
        } else if (c >= 0xC0) {
            length = 2;
            cp = c & 0x1F;
        }
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if ((cp >= 0x3000 && cp <= 0x9FFF) || (cp >= 0xFF00 && cp <= 0xFFEF)) {
            const std::size_t from = i > 60 ? i - 60 : 0;
            return text.substr(from, 120);
        }
        i += length;
    }
    return {};
}

struct Runs {
    std::string all; // every output and the log, in order
    std::string console;
    std::string log;
};

// What a user sees of one language: the help texts, refused commands, a program that cannot
// start, a headless host driven through its console and its diagnostics log.
Runs everything(const Env& language) {
    TempDir dir;
    Env env = language;
    env["XDG_DATA_HOME"] = dir.path() + "/data";
    env["XDG_CONFIG_HOME"] = dir.path() + "/config";
    env["XDG_STATE_HOME"] = dir.path() + "/state";
    env["XDG_RUNTIME_DIR"] = dir.path() + "/run";
    env["DISPLAY"] = std::nullopt;
    env["WAYLAND_DISPLAY"] = std::nullopt;
    Runs runs;
    int counter = 0;
    const auto run = [&](std::vector<std::string> argv, Env extra = {}) {
        ChildProcess::Options o;
        o.argv = std::move(argv);
        o.env = env;
        for (const auto& [k, v] : extra) {
            o.env[k] = v;
        }
        o.outputFile = dir.path() + "/run-" + std::to_string(++counter) + ".txt";
        ChildProcess child(o);
        const auto status = child.wait(30s);
        EXPECT_TRUE(status && WIFEXITED(*status)) << o.argv[1];
        runs.all += child.output();
    };
    run({kQuillon, "--help"});
    run({kQuillon, "ctl", "--help"});
    run({kQuillon, "defaults", "--help"});
    run({kQuillon, "defaults", "write", "scrollPixelsPerClick", "-3"});
    run({kQuillon, "defaults", "write", "commandKey", "meta"});
    run({kQuillon, "defaults", "write", "noSuchKey", "1"});
    run({kQuillon, "defaults", "read", "display"});
    run({kQuillon, "ctl", "state"}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}});
    run({kQuillon, "frobnicate"});
    run({kQuillon}, {{"DISPLAY", ":97"}});
    run({kQuillon});

    ChildProcess::Options o;
    o.argv = {kQuillon, "--headless"};
    o.env = env;
    o.outputFile = dir.path() + "/console.txt";
    o.pipeStdin = true;
    ChildProcess host(o);
    EXPECT_TRUE(waitUntil([&] { return host.output().find("help") != std::string::npos; }, 20s))
        << host.output();
    host.writeStdin("devices\npair\ncancel\ncancel\nfrobnicate\ntelemetry\nunpair 9\n"
                    "disconnect\nquit\n");
    const auto status = host.wait(20s);
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host.output();
    runs.console = host.output();
    runs.log = readFile(dir.path() + "/state/corvane/Corvane-diag.log");
    runs.all += runs.console + runs.log;
    return runs;
}

TEST(Language, AnEnglishRunShowsNoChineseCharacter) {
    for (const Env& english : {Env{{"LANG", "zh_CN.UTF-8"}, {"LANGUAGE", "en"}},
                               Env{{"LANG", "C.UTF-8"}, {"LANGUAGE", std::nullopt}},
                               Env{{"LANG", "POSIX"}, {"LANGUAGE", std::nullopt}},
                               Env{{"LANG", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_US.UTF-8"}},
                               Env{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", std::nullopt}}}) {
        const auto runs = everything(english);
        const auto lang =
            english.at("LANG").value_or("") + " " +
            (english.count("LANGUAGE") ? english.at("LANGUAGE").value_or("-") : std::string("-"));
        EXPECT_EQ(firstCJK(runs.all), "") << lang;
        for (const char* text :
             {"Pairing code: ", "No pairing window is open", "No device paired yet",
              "Input permission needed (no DISPLAY is set)", "=== start, input permission = ",
              "scrollPixelsPerClick takes a number above 0 and at most 1000, not \"-3\"",
              "commandKey takes one of control, super, not \"meta\"",
              "\"noSuchKey\" is not a setting of Quillon",
              "The X display :97 does not answer; to run in a terminal use quillon --headless"}) {
            EXPECT_NE(runs.all.find(text), std::string::npos) << lang << ": " << text;
        }
    }
}

TEST(Language, AChineseRunShowsTheTextsTheTabletsUsersKnow) {
    const auto runs = everything({{"LANG", "zh_CN.UTF-8"}, {"LANGUAGE", std::nullopt}});
    for (const char* text :
         {"配对码：", "在 iPad 上输入配对码", "配对窗口已关闭", "没有打开的配对窗口",
          "尚未配对任何设备", "需要辅助功能权限（未设置 DISPLAY）",
          "没有这个权限，来自 iPad 的指针和按键不会有任何反应，而且不会报错。", "服务待授权",
          "上报匿名使用数据：开", "未连接", "输入 help 查看命令", "未知命令：frobnicate",
          "没有这个设备：9", "disconnect 需要设备 ID 或序号", "正在退出"}) {
        EXPECT_NE(runs.console.find(text), std::string::npos) << text << "\n" << runs.console;
    }
    EXPECT_NE(runs.log.find("=== 启动，辅助功能授权 = false，路径 = "), std::string::npos)
        << runs.log;
    for (const char* text : {"用法：quillon", "“noSuchKey”不是 Quillon 的设置项",
                             "X 显示 :97 没有响应；在终端里运行请用 quillon --headless",
                             "没有图形显示（DISPLAY 和 WAYLAND_DISPLAY 都未设置）"}) {
        EXPECT_NE(runs.all.find(text), std::string::npos) << text;
    }
}

} // namespace
