// test-labels: catalog;concurrency
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Quillon/Catalog/AppCatalog.hpp"
#include "Quillon/Catalog/AppCatalogService.hpp"
#include "Quillon/Catalog/AppSwitchDecision.hpp"
#include "tests/support/CatalogFixtures.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

using namespace quillon;
using namespace quillon::testing;
namespace fs = std::filesystem;

namespace {

std::string readLog() {
    std::ifstream in(platform::DiagLog::path());
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

std::vector<std::string> names(const std::vector<wire::AppEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) {
        out.push_back(e.displayName);
    }
    return out;
}

class CatalogTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path root = dir.path();
    fs::path user = root / "user/applications";
    fs::path system = root / "system/applications";
    std::atomic<int> renders{0};

    void SetUp() override {
        fs::remove(platform::DiagLog::path());
        writeIconTheme(root / "icons", "hicolor", "", {"48x48/apps", "scalable/apps"});
        writeSolidPNG(root / "icons/hicolor/48x48/apps/red.png", 48, 48, {1, 0, 0});
        writeSolidSVG(root / "icons/hicolor/scalable/apps/blue.svg", 30, 10, "blue");
        writeSolidPNG(root / "icons/hicolor/48x48/apps/application-x-executable.png", 48, 48,
                      {0.5, 0.5, 0.5});
    }

    CatalogOptions options(bool cache = true) {
        CatalogOptions o;
        platform::IconLookupOptions icons;
        icons.baseDirs = {root / "icons"};
        icons.pixmapDirs = {root / "pixmaps"};
        o.iconLookup = icons;
        o.cacheDirectory = cache ? root / "cache" : fs::path();
        o.onRender = [this](const fs::path&) { ++renders; };
        return o;
    }

    std::vector<fs::path> roots() const { return {root / "missing/applications", user, system}; }

    std::vector<wire::AppEntry> list(bool cache = true) {
        return AppCatalog::makeEntries(roots(), options(cache));
    }
};

} // namespace

TEST_F(CatalogTest, ListsSwitchableApplicationsOrderedWithIcons) {
    writeDesktopEntry(user / "zeta.desktop", "Name=zeta\nExec=true\nIcon=blue\n");
    writeDesktopEntry(user / "app10.desktop", "Name=App 10\nExec=true\nIcon=red\n");
    writeDesktopEntry(user / "app2.desktop", "Name=App 2\nExec=true\nIcon=red\n");
    writeDesktopEntry(user / "b.desktop", "Name=Banana\nExec=true\nIcon=red\n");
    writeDesktopEntry(user / "apple.desktop", "Name=apple\nExec=true\nIcon=red\n");
    writeDesktopEntry(user / "alpha.desktop", "Name=Alpha\nExec=true\nIcon=red\n");
    // A file under a subdirectory: its ID joins the path with '-'.
    writeDesktopEntry(user / "kde/konsole.desktop", "Name=Konsole\nExec=sh\n");
    // No Name: the file name. An Icon that cannot be found: the generic icon.
    writeDesktopEntry(system / "nameless.desktop", "Exec=true\nIcon=no-such-icon\n");
    // Not switchable.
    writeDesktopEntry(user / "nodisplay.desktop", "Name=NoDisplay\nExec=true\nNoDisplay=true\n");
    writeDesktopEntry(user / "hidden.desktop", "Name=Hidden\nExec=true\nHidden=true\n");
    writeDesktopEntry(user / "tryexec.desktop", "Name=TryExec\nExec=true\nTryExec=quillon-none\n");
    writeDesktopEntry(user / "onlyshowin.desktop", "Name=Elsewhere\nExec=true\nOnlyShowIn=None;\n");
    writeDesktopEntry(user / "noexec.desktop", "Name=Nothing to run\n");
    writeDesktopEntry(user / "noprogram.desktop", "Name=Gone\nExec=quillon-no-such-program\n");
    writeTextFile(user / "link.desktop", "[Desktop Entry]\nType=Link\nName=Link\nURL=x\n");
    writeTextFile(user / "readme.txt", "not an entry");

    const auto entries = list();
    EXPECT_EQ(names(entries), (std::vector<std::string>{"Alpha", "App 2", "App 10", "apple",
                                                        "Banana", "Konsole", "nameless", "zeta"}));
    std::map<std::string, std::string> ids;
    for (const auto& e : entries) {
        ids[e.displayName] = e.bundleID;
        const auto png = decodePNG(e.iconPNG);
        ASSERT_TRUE(png) << e.displayName;
        EXPECT_TRUE(png->argb32);
        EXPECT_EQ(png->width, 128);
        EXPECT_EQ(png->height, 128);
    }
    EXPECT_EQ(ids["Konsole"], "kde-konsole");
    EXPECT_EQ(ids["nameless"], "nameless");
    EXPECT_EQ(ids["Banana"], "b");
    // The SVG icon (30 x 10) is centred with transparent bands above and below.
    const auto zeta = decodePNG(entries.back().iconPNG);
    EXPECT_EQ(zeta->alphaAt(64, 5), 0);
    EXPECT_EQ(zeta->alphaAt(64, 64), 255);
    EXPECT_EQ(readLog(), "");
}

TEST_F(CatalogTest, FirstDirectoryWinsAndUserHiddenMasksSystemEntry) {
    writeDesktopEntry(system / "dup.desktop", "Name=System copy\nExec=true\nIcon=red\n");
    writeDesktopEntry(user / "dup.desktop", "Name=User copy\nExec=true\nIcon=red\n");
    writeDesktopEntry(system / "masked.desktop", "Name=Masked\nExec=true\nIcon=red\n");
    writeTextFile(user / "masked.desktop", "[Desktop Entry]\nHidden=true\n");
    // A broken user file does not mask anything.
    writeTextFile(user / "broken.desktop", "garbage");
    writeDesktopEntry(system / "broken.desktop", "Name=Still here\nExec=true\n");
    EXPECT_EQ(names(list()), (std::vector<std::string>{"Still here", "User copy"}));
}

TEST_F(CatalogTest, EntryWithoutAnyDrawableIconIsLeftOut) {
    fs::remove(root / "icons/hicolor/48x48/apps/application-x-executable.png");
    writeDesktopEntry(user / "plain.desktop", "Name=Plain\nExec=true\n");
    writeDesktopEntry(user / "red.desktop", "Name=Red\nExec=true\nIcon=red\n");
    writeTextFile(root / "broken.svg", "<svg");
    writeDesktopEntry(user / "broken.desktop",
                      "Name=Broken\nExec=true\nIcon=" + (root / "broken.svg").string() + "\n");
    EXPECT_EQ(names(list()), (std::vector<std::string>{"Red"}));
    // The second generic name is tried after the first.
    writeSolidPNG(root / "icons/hicolor/48x48/apps/application-default-icon.png", 8, 8, {0, 0, 0});
    EXPECT_EQ(names(list()), (std::vector<std::string>{"Broken", "Plain", "Red"}));
}

TEST_F(CatalogTest, EntriesTheTabletWouldRefuseAreFittedOrLeftOut) {
    const std::string longName = std::string(1023, 'x') + "é"; // 1025 bytes
    writeDesktopEntry(user / "long.desktop", "Name=" + longName + "\nExec=true\nIcon=red\n");
    // Nested directories make a desktop file ID of 1030 bytes.
    fs::path deep = user;
    for (int i = 0; i < 5; ++i) {
        deep /= std::string(200, char('a' + i));
    }
    writeDesktopEntry(deep / (std::string(25, 'z') + ".desktop"),
                      "Name=Long ID\nExec=true\nIcon=red\n");
    writeDesktopEntry(user / "bad\xff.desktop", "Name=Bad bytes\nExec=true\nIcon=red\n");
    writeDesktopEntry(user / "ok.desktop", "Name=Ok\nExec=true\nIcon=red\n");
    const auto entries = list();
    // The long ID and the ID with invalid UTF-8 are left out.
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].displayName, "Ok");
    // Shortened at a character boundary, never splitting "é".
    const auto& shortened = entries[1].displayName;
    EXPECT_EQ(shortened, std::string(1023, 'x'));

    // The per-entry limits themselves.
    wire::AppEntry id{"n", std::string(1025, 'a'), {1}};
    EXPECT_FALSE(AppCatalog::fitToWireLimits(id));
    wire::AppEntry icon{"n", "id", wire::Bytes(65537)};
    EXPECT_FALSE(AppCatalog::fitToWireLimits(icon));
    wire::AppEntry edge{std::string(1024, 'n'), std::string(1024, 'i'), wire::Bytes(65536)};
    EXPECT_TRUE(AppCatalog::fitToWireLimits(edge));
    EXPECT_EQ(edge.displayName.size(), 1024u);
    // The result always decodes under the tablet's limits.
    const auto frame = wire::ControlMessage(wire::cm::ApplicationList{entries}).encode();
    EXPECT_NO_THROW(wire::ControlMessage::decode(frame));
}

TEST_F(CatalogTest, CountBudgetCutsAtOneThousandAndLogsIt) {
    for (int i = 0; i < 1001; ++i) {
        writeDesktopEntry(user / ("app" + std::to_string(i) + ".desktop"),
                          "Name=App " + std::to_string(i) + "\nExec=true\nIcon=red\n");
    }
    auto entries = list();
    ASSERT_EQ(entries.size(), 1000u);
    EXPECT_EQ(entries.front().displayName, "App 0");
    EXPECT_EQ(entries.back().displayName, "App 999"); // the last by name is the one cut
    const std::string line = AppCatalog::truncationLogLine(1001, 1000);
    EXPECT_EQ(line, "[app list] 1001 candidates, cut to 1000 to fit the sender's budget (at most "
                    "1000 entries / 3072 KB): the entries cut are the last ones in name order, not "
                    "random ones");
    const std::string log = readLog();
    EXPECT_NE(log.find(" " + line + "\n"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);

    fs::remove(platform::DiagLog::path());
    fs::remove(user / "app1000.desktop");
    EXPECT_EQ(list().size(), 1000u);
    EXPECT_EQ(readLog(), "");
}

TEST(AppCatalogBudget, SizeBudgetKeepsThePrefixBeforeTheEntryThatPassesIt) {
    const auto entry = [](std::size_t iconBytes) {
        return wire::AppEntry{"ab", "cd", wire::Bytes(iconBytes - 4)}; // size = iconBytes
    };
    constexpr std::size_t budget = AppCatalog::maximumTotalBytes;
    struct Case {
        std::vector<std::size_t> sizes;
        std::size_t kept;
        bool cut;
    };
    const Case cases[] = {
        {{budget / 2, budget / 2}, 2, false},          // exactly the budget fits
        {{budget / 2, budget / 2, 4}, 2, true},        // the next entry passes it
        {{budget / 2, budget / 2 + 1, 4, 4}, 1, true}, // a later small one is not taken
        {{budget + 1}, 0, true},
        {{}, 0, false},
    };
    for (const auto& c : cases) {
        std::vector<wire::AppEntry> entries;
        for (const auto s : c.sizes) {
            entries.push_back(entry(s));
        }
        const auto r = AppCatalog::trimToBudget(entries);
        EXPECT_EQ(r.kept.size(), c.kept);
        EXPECT_EQ(r.cut, c.cut);
        EXPECT_TRUE(std::equal(r.kept.begin(), r.kept.end(), entries.begin()));
    }
}

TEST_F(CatalogTest, CacheRendersOnlyWhatChangedAndNeverChangesTheReply) {
    writeDesktopEntry(user / "a.desktop", "Name=A\nExec=true\nIcon=red\n");
    writeDesktopEntry(user / "b.desktop", "Name=B\nExec=true\nIcon=blue\n");
    writeDesktopEntry(user / "c.desktop", "Name=C\nExec=true\n");
    const auto first = list();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(renders.load(), 3);

    renders = 0;
    EXPECT_EQ(list(), first);
    EXPECT_EQ(renders.load(), 0);

    // The same reply without any cache.
    EXPECT_EQ(list(false), first);
    EXPECT_EQ(renders.load(), 3);

    // A replaced icon is rendered again, and only that one.
    renders = 0;
    const auto red = root / "icons/hicolor/48x48/apps/red.png";
    writeSolidPNG(red, 48, 48, {0, 1, 0});
    fs::last_write_time(red, fs::last_write_time(red) + std::chrono::seconds(3));
    const auto third = list();
    EXPECT_EQ(renders.load(), 1);
    EXPECT_NE(third[0].iconPNG, first[0].iconPNG);
    EXPECT_EQ(third[1].iconPNG, first[1].iconPNG);

    // Corrupt cache files are ignored: rendered again, same reply.
    renders = 0;
    for (const auto& f : fs::directory_iterator(root / "cache")) {
        writeTextFile(f.path(), "corvane-icon 1\njunk");
    }
    EXPECT_EQ(list(), third);
    EXPECT_EQ(renders.load(), 3);
}

TEST_F(CatalogTest, IconThemeComesFromTheDefaultsTheCatalogIsGiven) {
    // Two themes hold the same icon name in different colours; the environment's lookup finds
    // both under $XDG_DATA_DIRS/icons.
    writeIconTheme(root / "share/icons", "hicolor", "", {"48x48/apps"});
    writeIconTheme(root / "share/icons", "Custom", "hicolor", {"48x48/apps"});
    writeSolidPNG(root / "share/icons/hicolor/48x48/apps/org.example.Tinted.png", 48, 48,
                  {1, 0, 0});
    writeSolidPNG(root / "share/icons/Custom/48x48/apps/org.example.Tinted.png", 48, 48, {0, 1, 0});
    writeDesktopEntry(user / "org.example.Tinted.desktop",
                      "Name=Tinted\nIcon=org.example.Tinted\nExec=true\n");
    const char* savedDirs = std::getenv("XDG_DATA_DIRS");
    const std::optional<std::string> saved =
        savedDirs ? std::optional<std::string>(savedDirs) : std::nullopt;
    ::setenv("XDG_DATA_DIRS", (root / "share").c_str(), 1);
    platform::Defaults defaults(root / "defaults.json");
    defaults.set("iconTheme", "Custom");

    // Red and green channels of the icon's centre pixel, as listed with `defaults` (or none).
    const auto centre = [&](const platform::Defaults* given) {
        CatalogOptions o;
        o.defaults = given;
        o.cacheDirectory = fs::path();
        const auto entries = AppCatalog::makeEntries({user}, o);
        EXPECT_EQ(entries.size(), 1u);
        const auto png = entries.empty() ? std::nullopt : decodePNG(entries[0].iconPNG);
        EXPECT_TRUE(png.has_value());
        const std::uint32_t pixel = png ? png->pixels[64 * png->width + 64] : 0;
        return std::pair<int, int>((pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF);
    };
    EXPECT_EQ(centre(&defaults), (std::pair<int, int>(0, 255)));
    EXPECT_EQ(centre(nullptr), (std::pair<int, int>(255, 0))); // the desktop's own: hicolor
    saved ? ::setenv("XDG_DATA_DIRS", saved->c_str(), 1) : ::unsetenv("XDG_DATA_DIRS");
}

TEST(AppCatalogOrder, FileBrowserOrderIsTotalAndStable) {
    const auto app = [](std::string name, std::string id) {
        return InstalledApp("/x/" + id + ".desktop", id, std::move(name), false);
    };
    const auto sorted = AppCatalog::ordered({app("b", "1"), app("B", "2"), app("é", "3"),
                                             app("e", "4"), app("item 10", "5"), app("Item 9", "6"),
                                             app("b", "7"), app("a", "1")});
    std::vector<std::string> order;
    for (const auto& a : sorted) {
        order.push_back(a.displayName + "/" + a.bundleID);
    }
    // Case and accents decide only between otherwise equal names; repeated IDs keep the first.
    EXPECT_EQ(order, (std::vector<std::string>{"b/1", "b/7", "B/2", "e/4", "é/3", "Item 9/6",
                                               "item 10/5"}));
}

TEST(AppCatalogRoots, DefaultSearchRootsFollowTheEnvironment) {
    struct Restore {
        std::map<std::string, std::optional<std::string>> saved;
        Restore() {
            for (const char* k : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "HOME"}) {
                const char* v = std::getenv(k);
                saved[k] = v ? std::optional<std::string>(v) : std::nullopt;
            }
        }
        ~Restore() {
            for (const auto& [k, v] : saved) {
                v ? ::setenv(k.c_str(), v->c_str(), 1) : ::unsetenv(k.c_str());
            }
        }
    } restore;
    ::setenv("XDG_DATA_HOME", "/h/data", 1);
    ::setenv("XDG_DATA_DIRS", "/d1:/usr/share/::/var/lib/flatpak/exports/share", 1);
    ::setenv("HOME", "/home/u", 1);
    const auto roots = AppCatalog::defaultSearchRoots();
    EXPECT_EQ(roots, (std::vector<fs::path>{
                         "/h/data/applications", "/d1/applications", "/usr/share/applications",
                         "/var/lib/flatpak/exports/share/applications",
                         "/home/u/.local/share/flatpak/exports/share/applications",
                         "/var/lib/snapd/desktop/applications"}));
    ::unsetenv("XDG_DATA_DIRS");
    const auto defaults = AppCatalog::defaultSearchRoots();
    ASSERT_GE(defaults.size(), 3u);
    EXPECT_EQ(defaults[1], fs::path("/usr/local/share/applications"));
    EXPECT_EQ(defaults[2], fs::path("/usr/share/applications"));
}

TEST(AppSwitchDecisionTest, RunningWinsThenInstalledElseNotFound) {
    using D = AppSwitchDecision;
    EXPECT_EQ(D::decide(std::nullopt, std::nullopt), D::notFound());
    EXPECT_EQ(D::decide(std::string("run"), std::string("inst")), D::open("run"));
    EXPECT_EQ(D::decide(std::nullopt, std::string("inst")), D::open("inst"));
    EXPECT_EQ(D::decide(std::string("run"), std::nullopt), D::open("run"));
    EXPECT_NE(D::open("a"), D::open("b"));
    EXPECT_NE(D::open(""), D::notFound());
}

TEST_F(CatalogTest, TwoListingsAtOnceBothCompleteWithTheFullList) {
    for (int i = 0; i < 40; ++i) {
        writeDesktopEntry(user / ("app" + std::to_string(i) + ".desktop"),
                          "Name=App " + std::to_string(i) +
                              "\nExec=true\nIcon=" + (i % 2 ? "red" : "blue") + "\n");
    }
    const auto expected = list(false);
    ASSERT_EQ(expected.size(), 40u);
    AppCatalogService service(roots(), options());
    std::mutex m;
    std::vector<std::vector<wire::AppEntry>> results;
    std::atomic<int> calls{0};
    for (int i = 0; i < 2; ++i) {
        service.listApplications([&](std::vector<wire::AppEntry> entries) {
            std::lock_guard lock(m);
            results.push_back(std::move(entries));
            ++calls;
        });
    }
    ASSERT_TRUE(waitUntil([&] { return calls.load() == 2; }, std::chrono::seconds(60)));
    {
        std::lock_guard lock(m);
        EXPECT_EQ(results[0], expected);
        EXPECT_EQ(results[1], expected);
    }

    // A flood of requests: every one is answered once, with the full list, by a few listings
    // (not one listing and one thread per request).
    AppCatalogService uncached(roots(), options(false));
    renders = 0;
    calls = 0;
    std::atomic<int> full{0};
    for (int i = 0; i < 50; ++i) {
        uncached.listApplications([&](std::vector<wire::AppEntry> entries) {
            full += entries == expected ? 1 : 0;
            ++calls;
        });
    }
    ASSERT_TRUE(waitUntil([&] { return calls.load() == 50; }, std::chrono::seconds(60)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(calls.load(), 50);
    EXPECT_EQ(full.load(), 50);
    EXPECT_LE(renders.load(), 3 * 40);
}
