// test-labels: catalog
// test-language: zh_CN
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Quillon/Catalog/AppCatalogService.hpp"
#include "tests/support/CatalogFixtures.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

using namespace quillon;
using namespace quillon::testing;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

class ActivationTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path root = dir.path();
    fs::path apps = root / "applications";
    fs::path mark = root / "mark";

    void SetUp() override {
        fs::remove(platform::DiagLog::path());
        // The launched program records its arguments and the entry it was started from.
        writeTextFile(root / "record.sh", "#!/bin/sh\nprintf 'args=[%s] entry=%s\\n' \"$*\" "
                                          "\"$GIO_LAUNCHED_DESKTOP_FILE\" > \"" +
                                              mark.string() + ".tmp\"\nmv \"" + mark.string() +
                                              ".tmp\" \"" + mark.string() + "\"\n");
        fs::permissions(root / "record.sh", fs::perms::owner_all);
    }

    AppCatalogService service() {
        CatalogOptions o;
        o.cacheDirectory = fs::path();
        return AppCatalogService({root / "missing", apps}, o);
    }
};

} // namespace

TEST_F(ActivationTest, InstalledEntryIsLaunchedWithFieldCodesExpanded) {
    // Subdirectory entry: its ID is "tools-recorder".
    writeDesktopEntry(apps / "tools/recorder.desktop",
                      "Name=Recorder\nExec=" + (root / "record.sh").string() +
                          " --new-window %U %f %i\nIcon=recorder\nNoDisplay=true\n");
    service().activate("tools-recorder");
    ASSERT_TRUE(waitUntil([&] { return fs::exists(mark); }, std::chrono::seconds(10)));
    EXPECT_EQ(readFile(mark), "args=[--new-window --icon recorder] entry=" +
                                  (apps / "tools/recorder.desktop").string() + "\n");
    EXPECT_EQ(readFile(platform::DiagLog::path()), "");
}

TEST_F(ActivationTest, UnknownOrDeletedIdentifierIsLoggedAndNothingStarts) {
    writeDesktopEntry(apps / "deleted.desktop",
                      "Name=Deleted\nExec=" + (root / "record.sh").string() + "\nHidden=true\n");
    writeDesktopEntry(apps / "missing-tryexec.desktop",
                      "Name=Gone\nExec=" + (root / "record.sh").string() +
                          "\nTryExec=quillon-no-such-program\n");
    for (const std::string id : {"org.example.Nowhere", "deleted", "missing-tryexec", "",
                                 "../applications/deleted", "a\nb"}) {
        service().activate(id);
    }
    const std::string log = readFile(platform::DiagLog::path());
    for (const std::string id : {"org.example.Nowhere", "deleted", "missing-tryexec", "",
                                 "../applications/deleted", "a\\x0Ab"}) {
        EXPECT_NE(log.find(" 【应用切换】找不到 bundleID=" + id + " 对应的已安装应用，忽略\n"),
                  std::string::npos)
            << id << "\n"
            << log;
    }
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(fs::exists(mark));
}

TEST_F(ActivationTest, LaunchFailureIsLogged) {
    writeDesktopEntry(apps / "broken.desktop",
                      "Name=Broken\nExec=" + (root / "no-such-program").string() + "\n");
    service().activate("broken");
    const std::string log = readFile(platform::DiagLog::path());
    EXPECT_NE(log.find(" 【应用切换】激活/启动 broken 失败："), std::string::npos) << log;
    EXPECT_NE(log.find("no-such-program"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
}
