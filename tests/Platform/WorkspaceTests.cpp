// test-labels: catalog
#include "Platform/Workspace/DesktopEntry.hpp"
#include "Platform/Workspace/IconRenderCache.hpp"
#include "Platform/Workspace/IconRenderer.hpp"
#include "Platform/Workspace/IconTheme.hpp"
#include "tests/support/CatalogFixtures.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

using namespace quillon::platform;
using namespace quillon::testing;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kIconLimit = 65536;

std::vector<std::uint8_t> readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

// ---- desktop entries ----

TEST(DesktopEntry, ReadsFieldsAndLocalizedName) {
    ::setenv("LANGUAGE", "de_DE", 1);
    const auto e = parseDesktopEntry("[Desktop Entry]\nType=Application\nName=Editor\n"
                                     "Name[de]=Bearbeiter\nIcon=accessories-text-editor\n"
                                     "Exec=\"/opt/my editor/edit\" %U\nTryExec=sh\n"
                                     "StartupWMClass=EditWin\nOnlyShowIn=GNOME;KDE;\n"
                                     "NotShowIn=X\\;Y;\nNoDisplay=true\n");
    ::unsetenv("LANGUAGE");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name, "Bearbeiter");
    EXPECT_EQ(e->icon, "accessories-text-editor");
    EXPECT_EQ(e->startupWMClass, "EditWin");
    EXPECT_EQ(e->onlyShowIn, (std::vector<std::string>{"GNOME", "KDE"}));
    EXPECT_EQ(e->notShowIn, (std::vector<std::string>{"X;Y"}));
    EXPECT_TRUE(e->noDisplay);
    EXPECT_FALSE(e->hidden);
    EXPECT_EQ(execProgramName(e->exec), "edit");
}

TEST(DesktopEntry, RejectsWhatIsNotAnApplicationButKeepsHiddenMasks) {
    EXPECT_FALSE(parseDesktopEntry("[Desktop Entry]\nType=Link\nURL=http://x\n"));
    EXPECT_FALSE(parseDesktopEntry("[Other]\nType=Application\n"));
    EXPECT_FALSE(parseDesktopEntry("not a key file at all\n\x01\x02"));
    EXPECT_FALSE(parseDesktopEntry(""));
    // A bare "Hidden=true" file (what a user writes to delete an entry) still counts.
    const auto hidden = parseDesktopEntry("[Desktop Entry]\nHidden=true\n");
    ASSERT_TRUE(hidden);
    EXPECT_TRUE(hidden->hidden);
    // A missing Name stays empty (the catalog falls back to the file name).
    const auto unnamed = parseDesktopEntry("[Desktop Entry]\nType=Application\nExec=true\n");
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->name, "");
}

TEST(DesktopEntry, ShowInRules) {
    using V = std::vector<std::string>;
    struct Case {
        V only, notIn, desktops;
        bool shows;
    };
    const Case cases[] = {
        {{}, {}, {}, true},
        {{"GNOME"}, {}, {}, false},
        {{"GNOME"}, {}, {"KDE"}, false},
        {{"GNOME"}, {}, {"ubuntu", "GNOME"}, true},
        {{}, {"KDE"}, {"KDE"}, false},
        {{}, {"KDE"}, {"GNOME"}, true},
        // The first current desktop named in either list decides.
        {{"GNOME"}, {"Unity"}, {"Unity", "GNOME"}, false},
        {{"GNOME"}, {"Unity"}, {"GNOME", "Unity"}, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(showsIn(c.only, c.notIn, c.desktops), c.shows)
            << ::testing::PrintToString(c.only) << ::testing::PrintToString(c.notIn)
            << ::testing::PrintToString(c.desktops);
    }
    ::setenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME::", 1);
    EXPECT_EQ(currentDesktops(), (V{"ubuntu", "GNOME"}));
    ::unsetenv("XDG_CURRENT_DESKTOP");
    EXPECT_TRUE(currentDesktops().empty());
}

TEST(DesktopEntry, TryExecAndProgramName) {
    EXPECT_TRUE(tryExecSucceeds(""));
    EXPECT_TRUE(tryExecSucceeds("sh"));
    EXPECT_TRUE(tryExecSucceeds("/bin/sh"));
    EXPECT_FALSE(tryExecSucceeds("quillon-no-such-program"));
    TempDir dir;
    const auto plain = fs::path(dir.path()) / "plain";
    writeTextFile(plain, "#!/bin/sh\n");
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(tryExecSucceeds(plain.string())); // exists, not executable
    EXPECT_EQ(execProgramName("firefox %u"), "firefox");
    EXPECT_EQ(execProgramName("/usr/bin/env FOO=1 app"), "env");
    EXPECT_EQ(execProgramName("\"unterminated"), "");
    EXPECT_EQ(execProgramName(""), "");
}

// ---- icon theme ----

TEST(IconTheme, ParsesIndexAndRefusesUnsafeDirectories) {
    const auto index = parseIndexTheme("# comment\n[Icon Theme]\nName=T\nInherits=a, b,,\n"
                                       "Directories=48x48/apps,scalable/apps,../escape,bad,"
                                       "/abs\n[48x48/apps]\nSize=48\nType=Fixed\n"
                                       "[scalable/apps]\nSize=64\nType=Scalable\nMinSize=16\n"
                                       "MaxSize=256\n[../escape]\nSize=48\n[bad]\nSize=zero\n"
                                       "[/abs]\nSize=48\n");
    ASSERT_TRUE(index);
    EXPECT_EQ(index->inherits, (std::vector<std::string>{"a", "b"}));
    ASSERT_EQ(index->directories.size(), 2u);
    EXPECT_EQ(index->directories[0].type, IconThemeDirectory::Type::fixed);
    EXPECT_EQ(index->directories[1].type, IconThemeDirectory::Type::scalable);
    EXPECT_EQ(index->directories[1].minSize, 16);
    EXPECT_EQ(index->directories[1].maxSize, 256);
    EXPECT_FALSE(parseIndexTheme("[Something]\nDirectories=a\n"));
}

class IconLookupTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path base = fs::path(dir.path()) / "icons";
    fs::path pixmaps = fs::path(dir.path()) / "pixmaps";

    IconLookupOptions options(const std::string& theme) {
        IconLookupOptions o;
        o.baseDirs = {fs::path(dir.path()) / "missing", base};
        o.pixmapDirs = {pixmaps};
        o.themeName = theme;
        return o;
    }
};

TEST_F(IconLookupTest, ThemeThenParentsThenHicolorThenPixmaps) {
    // Mine -> Parent -> Mine (a cycle) ; hicolor last.
    writeIconTheme(base, "Mine", "Parent", {"48x48/apps"});
    writeIconTheme(base, "Parent", "Mine,hicolor", {"64x64/apps"});
    writeIconTheme(base, "hicolor", "", {"32x32/apps", "256x256/apps"});
    writeSolidPNG(base / "Mine/48x48/apps/own.png", 48, 48, {1, 0, 0});
    writeSolidPNG(base / "Parent/64x64/apps/own.png", 64, 64, {1, 0, 0});
    writeSolidPNG(base / "Parent/64x64/apps/inherited.png", 64, 64, {1, 0, 0});
    writeSolidPNG(base / "hicolor/32x32/apps/fallback.png", 32, 32, {1, 0, 0});
    writeSolidPNG(pixmaps / "legacy.xpm", 1, 1, {1, 0, 0});

    IconLookup lookup(options("Mine"));
    EXPECT_EQ(lookup.themeChain(), (std::vector<std::string>{"Mine", "Parent", "hicolor"}));
    // The current theme wins even with a worse size than its parent has.
    EXPECT_EQ(lookup.find("own", 128), base / "Mine/48x48/apps/own.png");
    EXPECT_EQ(lookup.find("inherited", 128), base / "Parent/64x64/apps/inherited.png");
    EXPECT_EQ(lookup.find("fallback", 128), base / "hicolor/32x32/apps/fallback.png");
    EXPECT_EQ(lookup.find("legacy", 128), pixmaps / "legacy.xpm");
    EXPECT_EQ(lookup.find("own.png", 128), base / "Mine/48x48/apps/own.png");
    EXPECT_FALSE(lookup.find("nothing", 128));
    // A name is never a path into or out of the theme.
    EXPECT_FALSE(lookup.find("../Mine/48x48/apps/own", 128));
    EXPECT_FALSE(lookup.find("48x48/apps/own", 128));
    // Absolute paths are taken as they are, when they name a file.
    const auto absolute = base / "Parent/64x64/apps/own.png";
    EXPECT_EQ(lookup.find(absolute.string(), 128), absolute);
    EXPECT_FALSE(lookup.find((base / "none.png").string(), 128));
    EXPECT_FALSE(lookup.find(base.string(), 128));
}

TEST_F(IconLookupTest, PicksTheSizeThatSuitsBest) {
    writeIconTheme(base, "hicolor", "",
                   {"32x32/apps", "48x48/apps", "256x256/apps", "512x512/apps", "scalable/apps"});
    for (const char* d : {"32x32/apps", "48x48/apps", "256x256/apps", "512x512/apps"}) {
        writeSolidPNG(base / "hicolor" / d / "bitmaps.png", 4, 4, {0, 0, 1});
        writeSolidPNG(base / "hicolor" / d / "both.png", 4, 4, {0, 0, 1});
    }
    writeSolidPNG(base / "hicolor/32x32/apps/small.png", 4, 4, {0, 0, 1});
    writeSolidPNG(base / "hicolor/48x48/apps/small.png", 4, 4, {0, 0, 1});
    writeSolidSVG(base / "hicolor/scalable/apps/both.svg", 4, 4, "blue");
    IconLookup lookup(options("hicolor"));
    // A matching (scalable) directory first, else the smallest larger, else the largest smaller.
    EXPECT_EQ(lookup.find("both", 128), base / "hicolor/scalable/apps/both.svg");
    EXPECT_EQ(lookup.find("bitmaps", 128), base / "hicolor/256x256/apps/bitmaps.png");
    EXPECT_EQ(lookup.find("small", 128), base / "hicolor/48x48/apps/small.png");
}

TEST(IconTheme, CurrentThemeName) {
    TempDir dir;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(currentIconThemeName(std::nullopt), "hicolor");
    writeTextFile(fs::path(dir.path()) / "gtk-3.0/settings.ini",
                  "[Settings]\ngtk-theme-name=Adwaita\ngtk-icon-theme-name = \"Papirus\"\n");
    EXPECT_EQ(currentIconThemeName(std::nullopt), "Papirus");
    EXPECT_EQ(currentIconThemeName(std::string("Chosen")), "Chosen");
    EXPECT_EQ(currentIconThemeName(std::string()), "Papirus");
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

// ---- rendering ----

TEST(IconRenderer, FitsPicturesCentredWithAlpha) {
    TempDir dir;
    const fs::path d(dir.path());
    writeSolidPNG(d / "wide.png", 200, 100, {1, 0, 0});
    writeSolidPNG(d / "tiny.png", 16, 16, {0, 1, 0});
    writeSolidSVG(d / "tall.svg", 10, 20, "blue");
    writeTextFile(d / "sized.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" "
                                   "height=\"20\"><rect width=\"40\" height=\"20\"/></svg>");
    writeTextFile(d / "icon.xpm", "/* XPM */\nstatic char * x[] = {\n\"2 2 2 1\",\n"
                                  "\"a c #FF0000\",\n\"b c None\",\n\"ab\",\n\"ba\"};\n");
    struct Case {
        const char* file;
        int opaqueX, opaqueY; // a point inside the drawn picture
        int clearX, clearY;   // a point of the transparent surround (-1: none)
    };
    const Case cases[] = {
        {"wide.png", 64, 64, 64, 10},  // 128 x 64, centred vertically
        {"tiny.png", 5, 5, -1, -1},    // scaled up to fill the canvas
        {"tall.svg", 64, 64, 10, 64},  // 64 x 128, centred horizontally
        {"sized.svg", 64, 64, 64, 10}, // intrinsic size 40 x 20
        {"icon.xpm", 10, 10, 100, 10}, // transparent "None" pixels stay transparent
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const auto png = renderIconFile(d / c.file, 128, kIconLimit);
        ASSERT_TRUE(png);
        const auto decoded = decodePNG(*png);
        ASSERT_TRUE(decoded);
        EXPECT_TRUE(decoded->argb32);
        EXPECT_EQ(decoded->width, 128);
        EXPECT_EQ(decoded->height, 128);
        EXPECT_EQ(decoded->alphaAt(c.opaqueX, c.opaqueY), 255);
        if (c.clearX >= 0) {
            EXPECT_EQ(decoded->alphaAt(c.clearX, c.clearY), 0);
        }
    }
}

TEST(IconRenderer, OpaquePictureStillHasAnAlphaChannel) {
    TempDir dir;
    const auto file = fs::path(dir.path()) / "square.png";
    writeSolidPNG(file, 64, 64, {0.2, 0.4, 0.6});
    const auto png = renderIconFile(file, 128, kIconLimit);
    ASSERT_TRUE(png);
    // Colour type 6 (RGBA) in the IHDR chunk.
    ASSERT_GT(png->size(), 26u);
    EXPECT_EQ((*png)[25], 6);
    EXPECT_TRUE(decodePNG(*png)->argb32);
}

TEST(IconRenderer, NoisyPictureIsReEncodedWithinTheLimit) {
    TempDir dir;
    const auto file = fs::path(dir.path()) / "noise.png";
    writeNoisePNG(file, 128, 128, 7);
    const auto png = renderIconFile(file, 128, kIconLimit);
    ASSERT_TRUE(png);
    EXPECT_LE(png->size(), kIconLimit);
    const auto decoded = decodePNG(*png);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 128);
    // Below any reachable size: nothing rather than an oversized icon.
    EXPECT_FALSE(renderIconFile(file, 128, 100));
}

TEST(IconRenderer, RefusesBadInputWithoutDecodingIt) {
    TempDir dir;
    const fs::path d(dir.path());
    writeTextFile(d / "garbage.png", "\x89PNG\r\n\x1a\n this is not a png");
    writeTextFile(d / "garbage.svg", "<svg><unclosed");
    writeTextFile(d / "empty.svg", "");
    // A valid-looking header claiming 100000 x 100000 pixels.
    const unsigned char bomb[] = {0x89, 'P', 'N',  'G',  '\r', '\n', 0x1A, '\n', 0,    0,
                                  0,    13,  'I',  'H',  'D',  'R',  0,    1,    0x86, 0xA0,
                                  0,    1,   0x86, 0xA0, 8,    6,    0,    0,    0};
    writeTextFile(d / "bomb.png", std::string(reinterpret_cast<const char*>(bomb), sizeof bomb) +
                                      std::string(64, '\0'));
    writeTextFile(d / "bomb.xpm", "/* XPM */\nstatic char * x[] = {\n\"90000 90000 1 1\",\n"
                                  "\"a c #FF0000\"};\n");
    for (const char* f :
         {"garbage.png", "garbage.svg", "empty.svg", "bomb.png", "bomb.xpm", "missing.png"}) {
        EXPECT_FALSE(renderIconFile(d / f, 128, kIconLimit)) << f;
    }
}

// ---- render cache ----

TEST(IconRenderCache, ServesUntilTheIconChangesAndIgnoresCorruptFiles) {
    TempDir dir;
    const fs::path d(dir.path());
    const auto icon = d / "icon.png";
    writeSolidPNG(icon, 32, 32, {1, 0, 0});
    IconRenderCache cache(d / "cache");
    int renders = 0;
    const auto render = [&]() -> std::optional<IconRenderCache::Bytes> {
        ++renders;
        return renderIconFile(icon, 128, kIconLimit);
    };
    const auto first = cache.get(icon, "128", render);
    ASSERT_TRUE(first);
    EXPECT_EQ(cache.get(icon, "128", render), first);
    EXPECT_EQ(renders, 1);
    // Other parameters are another entry.
    EXPECT_TRUE(cache.get(icon, "64", render));
    EXPECT_EQ(renders, 2);

    // A changed icon (new contents, new modification time) is rendered again.
    writeSolidPNG(icon, 32, 32, {0, 0, 1});
    const auto touched = fs::last_write_time(icon) + std::chrono::seconds(5);
    fs::last_write_time(icon, touched);
    const auto second = cache.get(icon, "128", render);
    EXPECT_EQ(renders, 3);
    EXPECT_NE(second, first);

    // Damage every cache file: each is ignored, rendered again and repaired.
    for (const auto& f : fs::directory_iterator(d / "cache")) {
        auto bytes = readAll(f.path());
        bytes[bytes.size() - 10] ^= 0xFF;
        writeTextFile(f.path(), std::string(bytes.begin(), bytes.end()));
    }
    EXPECT_EQ(cache.get(icon, "128", render), second);
    EXPECT_EQ(renders, 4);
    EXPECT_EQ(cache.get(icon, "128", render), second);
    EXPECT_EQ(renders, 4);

    // A truncated file too.
    for (const auto& f : fs::directory_iterator(d / "cache")) {
        fs::resize_file(f.path(), 20);
    }
    EXPECT_EQ(cache.get(icon, "128", render), second);
    EXPECT_EQ(renders, 5);
}

TEST(IconRenderCache, RemembersFailuresAndPrunesUnusedFiles) {
    TempDir dir;
    const fs::path d(dir.path());
    writeTextFile(d / "broken.svg", "<svg");
    writeSolidPNG(d / "ok.png", 8, 8, {0, 1, 0});
    int renders = 0;
    {
        IconRenderCache cache(d / "cache");
        for (const char* f : {"broken.svg", "ok.png"}) {
            EXPECT_EQ(cache
                          .get(d / f, "128",
                               [&, f]() {
                                   ++renders;
                                   return renderIconFile(d / f, 128, kIconLimit);
                               })
                          .has_value(),
                      std::string(f) == "ok.png");
        }
    }
    IconRenderCache next(d / "cache");
    EXPECT_FALSE(next.get(d / "broken.svg", "128", [&]() {
        ++renders;
        return renderIconFile(d / "broken.svg", 128, kIconLimit);
    }));
    EXPECT_EQ(renders, 2); // the failure was remembered
    next.pruneUnused();
    EXPECT_EQ(std::distance(fs::directory_iterator(d / "cache"), fs::directory_iterator()), 1);
}
