// test-labels: coordinator
// test-language: zh_CN
// The launch of `quillon --headless` without a display: the launch line, passive mode, the
// console's commands from a pipe, and a clean exit on `quit`.
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Run {
    std::string console;
    std::string log;
    bool keychainCreated = false;
    int status = -1;
};

Run runHost(bool passive, const std::string& input) {
    TempDir dir;
    ChildProcess::Options options;
    options.argv = {QUILLON_BINARY_DIR "/Quillon/quillon", "--headless"};
    options.env["XDG_DATA_HOME"] = dir.path() + "/data";
    options.env["XDG_CONFIG_HOME"] = dir.path() + "/config";
    options.env["XDG_STATE_HOME"] = dir.path() + "/state";
    options.env["DISPLAY"] = std::nullopt;
    if (passive) {
        options.env["XCTestSessionIdentifier"] = "1";
    }
    options.outputFile = dir.path() + "/console.txt";
    options.pipeStdin = true;
    ChildProcess host(options);
    waitUntil([&] { return host.output().find("输入 help 查看命令") != std::string::npos; }, 20s);
    host.writeStdin(input);
    Run run;
    if (const auto status = host.wait(20s)) {
        run.status = *status;
    }
    run.console = host.output();
    run.log = readFile(dir.path() + "/state/corvane/Corvane-diag.log");
    run.keychainCreated = std::filesystem::exists(dir.path() + "/data/corvane");
    return run;
}

TEST(HeadlessLaunchTest, LaunchLineConsoleAndQuit) {
    const auto run = runHost(false, "devices\npair\ncancel\nquit\n");
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.console;
    EXPECT_NE(run.log.find("=== 启动，辅助功能授权 = false，路径 = " QUILLON_BINARY_DIR
                           "/Quillon/quillon\n"),
              std::string::npos)
        << run.log;
    EXPECT_NE(run.console.find("需要辅助功能权限（"), std::string::npos) << run.console;
    EXPECT_NE(run.console.find("服务待授权"), std::string::npos);
    EXPECT_NE(run.console.find("\n配对码："), std::string::npos) << run.console;
    EXPECT_NE(run.console.find("配对窗口已关闭"), std::string::npos);
    // Started for real: the listener made the host secret in the keychain.
    EXPECT_TRUE(run.keychainCreated);
}

TEST(HeadlessLaunchTest, PassiveModeStartsNothingAndKeepsPairingsInMemory) {
    const auto run = runHost(true, "devices\nquit\n");
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.console;
    EXPECT_NE(run.console.find("尚未配对任何设备"), std::string::npos);
    EXPECT_FALSE(run.keychainCreated);
    EXPECT_NE(run.log.find("=== 启动，辅助功能授权 = false"), std::string::npos);
}

} // namespace
