// test-labels: platform;concurrency
// test-timeout: 120
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Defaults/DefaultsCommand.hpp"
#include "Platform/Defaults/SettingKeys.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <optional>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

using namespace quillon::platform;
using quillon::testing::TempDir;
using quillon::testing::waitUntil;
using Json = nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

struct Fixture {
    TempDir tmp;
    fs::path file = fs::path(tmp.path()) / "cfg" / "corvane" / "defaults.json";
};

} // namespace

TEST(Defaults, AccessorsAnswerOnlyTheStoredType) {
    Fixture f;
    struct Case {
        const char* key;
        Json stored;
        std::optional<bool> asBool;
        std::optional<double> asNumber;
        std::optional<std::string> asString;
    };
    const std::vector<Case> cases = {
        {"momentumEnabled", true, true, {}, {}},
        {"invertScrollX", false, false, {}, {}},
        {"scrollGain", 1.5, {}, 1.5, {}},
        {"count", 3, {}, 3.0, {}},
        {"negative", -7, {}, -7.0, {}},
        {"commandKey", "super", {}, {}, "super"},
        {"telemetry.enabled", "true", {}, {}, "true"}, // a string is not a Boolean
        {"zero", 0, {}, 0.0, {}},                      // nor is a number
        {"nothing", nullptr, {}, {}, {}},
        {"list", Json::array({1, 2}), {}, {}, {}},
    };
    {
        Defaults d(f.file);
        for (const auto& c : cases) {
            d.set(c.key, c.stored);
        }
    }
    // A fresh instance reads everything back from the file, with dotted keys kept flat.
    Defaults d(f.file);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(d.value(c.key), c.stored);
        EXPECT_EQ(d.boolean(c.key), c.asBool);
        EXPECT_EQ(d.number(c.key), c.asNumber);
        EXPECT_EQ(d.string(c.key), c.asString);
    }
    EXPECT_EQ(Json::parse(readFile(f.file)).at("telemetry.enabled"), "true");
    EXPECT_FALSE(d.value("absent"));
    EXPECT_FALSE(d.boolean("absent"));

    // What JSON cannot hold reads back, at once and in this instance, as the file holds it.
    d.set("scrollGain", std::nan(""));
    EXPECT_EQ(d.value("scrollGain"), Json(nullptr));
    EXPECT_FALSE(d.number("scrollGain"));
    d.set("commandKey", std::string("su\xffper"));
    EXPECT_EQ(d.string("commandKey"), "su\xEF\xBF\xBDper");
    EXPECT_EQ(Defaults(f.file).string("commandKey"), d.string("commandKey"));

    d.remove("scrollGain");
    d.remove("absent");
    EXPECT_FALSE(d.number("scrollGain"));
    EXPECT_FALSE(Defaults(f.file).value("scrollGain"));
    EXPECT_EQ(d.snapshot().size(), cases.size() - 1);
}

TEST(Defaults, StandardFollowsTheEnvironment) {
    const char* cfg = std::getenv("XDG_CONFIG_HOME");
    ASSERT_NE(cfg, nullptr);
    EXPECT_EQ(Defaults::standard().file(), fs::path(cfg) / "corvane" / "defaults.json");
    EXPECT_EQ(&Defaults::standard(), &Defaults::standard());
}

TEST(Defaults, SeesChangesFromOtherWritersWithoutBeingAsked) {
    Fixture f;
    Defaults reader(f.file);
    Defaults writer(f.file);
    EXPECT_FALSE(reader.boolean("momentumEnabled"));

    // Another instance (as another process would).
    writer.set("momentumEnabled", true);
    EXPECT_TRUE(waitUntil([&] { return reader.boolean("momentumEnabled") == true; }, 5s));

    // A plain rewrite in place, as an editor or a shell redirection does it.
    writeFile(f.file, R"({"scrollGain": 2.5})");
    EXPECT_TRUE(waitUntil([&] { return reader.number("scrollGain") == 2.5; }, 5s));
    EXPECT_FALSE(reader.boolean("momentumEnabled"));

    // Removed: reads as empty.
    fs::remove(f.file);
    EXPECT_TRUE(waitUntil([&] { return !reader.value("scrollGain"); }, 5s));

    // The whole directory removed and made again: the watch follows.
    fs::remove_all(f.file.parent_path());
    std::this_thread::sleep_for(50ms);
    fs::create_directories(f.file.parent_path());
    writeFile(f.file, R"({"disablePinch": true})");
    EXPECT_TRUE(waitUntil([&] { return reader.boolean("disablePinch") == true; }, 5s));
}

TEST(Defaults, ReadersNeverSeeAPartialFile) {
    Fixture f;
    Defaults writer(f.file);
    writer.set("seed", 0);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, bad{0};
    std::thread reader([&] {
        while (!stop) {
            const Json j = Json::parse(readFile(f.file), nullptr, false);
            if (!j.is_object() || !j.contains("seed")) {
                ++bad;
            }
            ++reads;
        }
    });
    // Values big enough that a write takes more than one syscall's worth of page cache.
    for (int i = 0; i < 100; ++i) {
        writer.set("blob", std::string(static_cast<std::size_t>(20000 + i * 100), 'a' + i % 26));
    }
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(bad.load(), 0);
    // No temporary files left behind.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(f.file.parent_path())) {
        names.push_back(e.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"defaults.json"});
}

TEST(Defaults, ConcurrentWritersKeepEachOthersKeys) {
    Fixture f;
    Defaults a(f.file), b(f.file);
    std::thread ta([&] {
        for (int i = 0; i < 30; ++i) {
            a.set("a" + std::to_string(i), i);
        }
    });
    std::thread tb([&] {
        for (int i = 0; i < 30; ++i) {
            b.set("b" + std::to_string(i), i);
        }
    });
    ta.join();
    tb.join();
    const Json stored = Json::parse(readFile(f.file));
    EXPECT_EQ(stored.size(), 60u);
}

TEST(Defaults, MalformedFileReadsEmptyAndIsKeptAsideOnTheNextWrite) {
    const std::vector<std::string> malformed = {"{\"scrollGain\": 1.5", "[1, 2]", "42", "",
                                                std::string("{\"a\":\"\xff\"}")};
    for (const auto& text : malformed) {
        SCOPED_TRACE(text);
        Fixture f;
        fs::create_directories(f.file.parent_path());
        writeFile(f.file, text);
        Defaults d(f.file);
        EXPECT_TRUE(d.snapshot().empty());
        EXPECT_FALSE(d.number("scrollGain"));
        d.remove("scrollGain"); // nothing to remove: the file is left alone
        EXPECT_EQ(readFile(f.file), text);

        d.set("invertScrollY", true);
        EXPECT_EQ(Json::parse(readFile(f.file)), (Json{{"invertScrollY", true}}));
        EXPECT_EQ(readFile(f.file.string() + ".corrupt"), text);
        EXPECT_EQ(d.boolean("invertScrollY"), true);
    }
}

// A file that cannot be used reads as empty and says why, naming itself; one over 1 MiB is not
// even read (100 MB of it would otherwise be loaded, and parsed into gigabytes).
TEST(Defaults, AnUnusableFileSaysWhyAndAnOversizedOneIsNeverLoaded) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
        std::optional<std::string> says;
    };
    const Case cases[] = {
        {"absent", [](const fs::path&) {}, std::nullopt},
        {"valid", [](const fs::path& p) { writeFile(p, R"({"scrollGain": 2})"); }, std::nullopt},
        {"100 MB",
         [](const fs::path& p) {
             writeFile(p, "{");
             fs::resize_file(p, 100u << 20);
         },
         "larger than 1 MiB (104857600 bytes)"},
        {"nested deeper than any setting",
         [](const fs::path& p) { writeFile(p, "{\"a\":" + std::string(100000, '[')); },
         "JSON nested too deeply"},
        {"not an object", [](const fs::path& p) { writeFile(p, "[1, 2]"); }, "not a JSON object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        fs::create_directories(f.file.parent_path());
        c.make(f.file);
        Defaults d(f.file);
        const auto problem = d.problem();
        if (!c.says) {
            EXPECT_EQ(problem, std::nullopt);
            continue;
        }
        ASSERT_TRUE(problem);
        EXPECT_EQ(*problem, f.file.string() + ": " + *c.says);
        EXPECT_TRUE(d.snapshot().empty());
        // `quillon defaults` says so too, and reads it as empty.
        std::vector<std::string> args = {"defaults", "read"};
        std::vector<char*> argv = {args[0].data(), args[1].data(), nullptr};
        std::ostringstream out, err;
        EXPECT_EQ(runDefaultsCommand(2, argv.data(), out, err, d), 0);
        EXPECT_EQ(out.str(), "{}\n");
        EXPECT_EQ(err.str(), "quillon defaults: cannot use " + *problem + "; it reads as empty\n");
    }
}

TEST(Defaults, AFailedWriteThrowsAndChangesNothing) {
    Fixture f;
    // A directory where the file should be: it cannot be read, kept aside or replaced.
    fs::create_directories(f.file / "occupied");
    Defaults d(f.file);
    EXPECT_THROW(d.set("scrollGain", 2.0), std::runtime_error);
    EXPECT_FALSE(d.number("scrollGain"));
    EXPECT_TRUE(fs::is_directory(f.file / "occupied"));
}

// ---------------------------------------------------------------------------------------------
// quillon defaults ...

namespace {

struct CommandResult {
    int status;
    std::string out;
    std::string err;
};

CommandResult run(Defaults& d, std::vector<std::string> args) {
    args.insert(args.begin(), "defaults");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::ostringstream out, err;
    const int status = runDefaultsCommand(static_cast<int>(args.size()), argv.data(), out, err, d);
    return {status, out.str(), err.str()};
}

} // namespace

TEST(DefaultsCommand, WritesValuesAsTheirKeysTakeThemAndReadsThemBack) {
    Fixture f;
    Defaults d(f.file);
    struct Case {
        std::string key;
        std::string value;
        Json stored;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {"telemetry.enabled", "False", false, "false\n"},
        {"telemetry.enabled", "ON", true, "true\n"},
        {"notifications.enabled", "0", false, "false\n"},
        {"scrollGain", "2.5", 2.5, "2.5\n"},
        {"momentumDecay", "1", 1, "1\n"},
        {"scrollPixelsPerClick", "0.5", 0.5, "0.5\n"},
        {"commandKey", "super", "super", "super\n"},
        {"inputBackend", "wlroots", "wlroots", "wlroots\n"},
        {"inputBackend", "uinput", "uinput", "uinput\n"},
        {"scroll", "smooth", "smooth", "smooth\n"},
        {"iconTheme", "123", "123", "123\n"},
        {"display", "DP-2", "DP-2", "DP-2\n"},
        {"computerName", "Study PC", "Study PC", "Study PC\n"},
        {"port", "50100", 50100, "50100\n"},
        {"port", "Auto", "auto", "auto\n"},
        {"overviewKey", "Control+Alt+Up", "Control+Alt+Up", "Control+Alt+Up\n"},
        {"gestureProbeOnLaunch", "smartZoom", "smartZoom", "smartZoom\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key + " " + c.value);
        const auto w = run(d, {"write", c.key, c.value});
        ASSERT_EQ(w.status, 0) << w.err;
        EXPECT_EQ(w.err, "");
        EXPECT_EQ(d.value(c.key), c.stored);
        const auto r = run(d, {"read", c.key});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.printed);
    }
    EXPECT_EQ(Json::parse(run(d, {"read"}).out).size(), 14u);

    EXPECT_EQ(run(d, {"delete", "port"}).status, 0);
    EXPECT_FALSE(d.value("port"));
    const auto missing = run(d, {"read", "port"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("port"), std::string::npos);
    EXPECT_EQ(run(d, {"delete", "port"}).status, 1);
}

// A value the key does not take, an unknown enum word, an out-of-range number and an unknown
// key are refused with a clear line and exit status 1; what was stored stays.
TEST(DefaultsCommand, RefusesWhatNoKeyTakes) {
    Fixture f;
    Defaults d(f.file);
    struct Case {
        std::string key;
        std::string value;
        std::string said; // a part of the error line
    };
    const std::vector<Case> cases = {
        {"scrollPixelsPerClick", "-3",
         "scrollPixelsPerClick takes a number above 0 and at most 1000, not \"-3\""},
        {"scrollPixelsPerClick", "0", "not \"0\""},
        {"scrollPixelsPerClick", "1e999", "not \"1e999\""},
        {"scrollGain", "fast", "scrollGain takes a number above 0 and at most 100"},
        {"scrollGain", "true", "not \"true\""},
        {"momentumDecay", "1.5", "momentumDecay takes a number above 0 and at most 1"},
        {"commandKey", "meta", "commandKey takes one of control, super, not \"meta\""},
        {"inputBackend", "foo", "inputBackend takes one of auto, x11, wlroots, gnome, kde, uinput"},
        {"scroll", "pixels", "scroll takes one of clicks, smooth, not \"pixels\""},
        {"gestureProbeOnLaunch", "SmartZoom", "not \"SmartZoom\""},
        {"telemetry.enabled", "maybe", "telemetry.enabled takes true or false"},
        {"telemetry.enabled", "\"true\"", "takes true or false"},
        {"port", "80", "port takes auto or a port from 1024 to 65534, not \"80\""},
        {"port", "65535", "not \"65535\""},
        {"port", "5000.5", "not \"5000.5\""},
        {"computerName", "", "computerName takes a text of 1 to 63 bytes"},
        {"computerName", std::string(64, 'x'), "a text of 1 to 63 bytes"},
        {"overviewKey", "Super+Nonsense", "overviewKey takes a key combination"},
        {"overviewKey", "Super++", "a key combination"},
        {"scrolPixelsPerClick", "10",
         "\"scrolPixelsPerClick\" is not a setting of Quillon; quillon defaults --help lists "
         "them"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key + " " + c.value);
        d.set("keep", "before");
        const auto w = run(d, {"write", c.key, c.value});
        EXPECT_EQ(w.status, 1);
        EXPECT_EQ(w.out, "");
        EXPECT_NE(w.err.find(c.said), std::string::npos) << w.err;
        EXPECT_NE(w.err.find("Nothing was written."), std::string::npos) << w.err;
        EXPECT_EQ(d.snapshot(), (Json{{"keep", "before"}}));
        // The window (and the control interface behind it) writes through the same checks.
        if (!c.value.empty()) {
            const auto refusal = writeSetting(d, c.key, c.value);
            ASSERT_TRUE(refusal);
            EXPECT_NE(refusal->find(c.said.substr(0, c.said.find(';'))), std::string::npos)
                << *refusal;
            EXPECT_EQ(d.snapshot(), (Json{{"keep", "before"}}));
        }
    }
    // What it stores reads back in the form the window shows; an empty value is the default.
    EXPECT_EQ(writeSetting(d, "port", "50100"), std::nullopt);
    EXPECT_EQ(writeSetting(d, "notifications.enabled", "off"), std::nullopt);
    EXPECT_EQ(settingTexts(d),
              (std::map<std::string, std::string>{
                  {"keep", "before"}, {"notifications.enabled", "false"}, {"port", "50100"}}));
    EXPECT_EQ(writeSetting(d, "port", ""), std::nullopt);
    EXPECT_EQ(d.value("port"), std::nullopt);
}

// --help lists every key with what it takes, on stdout, exit 0; so does the man page.
TEST(DefaultsCommand, HelpAndTheManPageListEveryKey) {
    Fixture f;
    Defaults d(f.file);
    const auto help = run(d, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    // The man page's bold words (.B and .BR lines), one by one.
    std::ifstream in(QUILLON_SOURCE_DIR "/data/quillon.1");
    std::set<std::string> bold;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(".B", 0) == 0) {
            std::istringstream words(line.substr(line.find(' ') + 1));
            for (std::string w; words >> w;) {
                bold.insert(w);
            }
        }
    }
    for (const auto& key : settingKeys()) {
        const std::string name(key.name);
        EXPECT_NE(help.out.find("\n  " + name + "\n"), std::string::npos) << name;
        EXPECT_NE(help.out.find(acceptedValues(key)), std::string::npos) << name;
        EXPECT_EQ(bold.count(name), 1u) << name;
    }
    EXPECT_FALSE(fs::exists(f.file));
}

TEST(DefaultsCommand, RejectsBadUsage) {
    Fixture f;
    Defaults d(f.file);
    const std::vector<std::vector<std::string>> bad = {
        {}, {"frobnicate"}, {"write", "key"}, {"read", "a", "b"}, {"delete"}};
    for (const auto& args : bad) {
        const auto r = run(d, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("Usage: quillon defaults"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(f.file));
}
