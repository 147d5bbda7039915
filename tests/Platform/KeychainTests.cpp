// test-labels: pairing;concurrency
// test-timeout: 120
// The SQLite keychain and the pairing store on it: statuses, file safety, and what
// survives other processes, crashes and restarts.
#include "Platform/Keychain/Keychain.hpp"
#include "Quillon/Pairing/KeychainPairingStore.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillon {
namespace {

using S = platform::KeychainStatus;
using platform::Keychain;
using platform::KeychainAccessibility;
namespace fs = std::filesystem;

constexpr const char* kService = KeychainPairingStore::defaultService;

// A device whose token follows from its identifier, so a reader can tell a whole record from
// a torn or mixed one.
PairedDevice deterministicDevice(const std::string& id) {
    const auto token = wire::PSKProvider::hkdfSHA256(wire::toBytes(id), {}, {}, 32);
    return PairedDevice{id, "iPad " + id, token, 1765000000.0, std::nullopt};
}

// ---------------------------------------------------------------------------------------------
// Child processes. The test binary re-executes itself; with QUILLON_KEYCHAIN_CHILD set it runs
// one job before gtest starts and exits with its status.
//
//   save    saves PREFIX-0, PREFIX-1, ... (COUNT of them, or forever when COUNT is -1) after
//           waiting for the file GO to exist (when given), then prints the host secret.

int runChild(const char* job) {
    const std::string path = std::getenv("QUILLON_KEYCHAIN_PATH");
    const std::string prefix = std::getenv("QUILLON_CHILD_PREFIX");
    const long count = std::strtol(std::getenv("QUILLON_CHILD_COUNT"), nullptr, 10);
    if (const char* go = std::getenv("QUILLON_CHILD_GO"); go != nullptr) {
        while (::access(go, F_OK) != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    try {
        KeychainPairingStore store(kService, std::make_shared<Keychain>(path));
        if (std::string(job) == "save") {
            for (long i = 0; count < 0 || i < count; ++i) {
                store.save(deterministicDevice(prefix + "-" + std::to_string(i)));
            }
        }
        std::cout << "secret=" << wire::base64Encode(store.hostSecret()) << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cout << "error: " << e.what() << std::endl;
        return 1;
    }
}

[[maybe_unused]] const int childDispatch = [] {
    if (const char* job = std::getenv("QUILLON_KEYCHAIN_CHILD"); job != nullptr) {
        std::_Exit(runChild(job));
    }
    return 0;
}();

std::unique_ptr<testing::ChildProcess> startChild(const std::string& path,
                                                  const std::string& prefix, long count,
                                                  const std::string& output,
                                                  const std::string& go = {}) {
    testing::ChildProcess::Options options;
    options.argv = {fs::read_symlink("/proc/self/exe").string()};
    options.env = {{"QUILLON_KEYCHAIN_CHILD", "save"},
                   {"QUILLON_KEYCHAIN_PATH", path},
                   {"QUILLON_CHILD_PREFIX", prefix},
                   {"QUILLON_CHILD_COUNT", std::to_string(count)}};
    if (!go.empty()) {
        options.env["QUILLON_CHILD_GO"] = go;
    }
    options.outputFile = output;
    return std::make_unique<testing::ChildProcess>(options);
}

std::string secretLine(const std::string& output) {
    const auto at = output.find("secret=");
    return at == std::string::npos ? "" : output.substr(at + 7, output.find('\n', at) - at - 7);
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class KeychainTest : public ::testing::Test {
protected:
    testing::TempDir dir;
    std::string path = dir.path() + "/corvane/keychain.sqlite3";
};

// ---------------------------------------------------------------------------------------------

TEST_F(KeychainTest, ItemOperationsAnswerTheirStatuses) {
    Keychain keychain(path);
    const wire::Bytes data{0x00, 0x01, 0xff, 0x00}; // binary with NULs
    const wire::Bytes other{0x42};
    wire::Bytes out;
    std::vector<platform::KeychainItemAttributes> attrs;

    EXPECT_EQ(keychain.copyData(kService, "a", out), S::itemNotFound);
    EXPECT_EQ(keychain.copyAllAttributes(kService, attrs), S::itemNotFound);
    EXPECT_EQ(keychain.update(kService, "a", data), S::itemNotFound);
    EXPECT_EQ(keychain.remove(kService, "a"), S::itemNotFound);
    EXPECT_EQ(keychain.remove(kService, std::nullopt), S::itemNotFound);

    EXPECT_EQ(keychain.add(kService, "a", data, KeychainAccessibility::afterFirstUnlock),
              S::success);
    EXPECT_EQ(keychain.add(kService, "a", other, KeychainAccessibility::whenUnlocked),
              S::duplicateItem);
    EXPECT_EQ(keychain.copyData(kService, "a", out), S::success);
    EXPECT_EQ(out, data) << "a refused duplicate must not change the item";

    // update and write keep the class given at creation; write sets it when it creates.
    EXPECT_EQ(keychain.update(kService, "a", other), S::success);
    EXPECT_EQ(keychain.write(kService, "a", data, KeychainAccessibility::whenUnlocked), S::success);
    EXPECT_EQ(keychain.write(kService, "b", {}, KeychainAccessibility::whenUnlocked), S::success);
    EXPECT_EQ(keychain.add("other.service", "a", other, KeychainAccessibility::whenUnlocked),
              S::success);
    EXPECT_EQ(keychain.copyData(kService, "a", out), S::success);
    EXPECT_EQ(out, data);
    EXPECT_EQ(keychain.copyData(kService, "b", out), S::success);
    EXPECT_TRUE(out.empty()) << "empty data is an item, not a missing one";

    ASSERT_EQ(keychain.copyAllAttributes(kService, attrs), S::success);
    ASSERT_EQ(attrs.size(), 2u);
    EXPECT_EQ(attrs[0].account, "a");
    EXPECT_EQ(attrs[0].accessibility, KeychainAccessibility::afterFirstUnlock);
    EXPECT_EQ(attrs[1].account, "b");
    EXPECT_EQ(attrs[1].accessibility, KeychainAccessibility::whenUnlocked);

    EXPECT_EQ(keychain.remove(kService, std::nullopt), S::success);
    EXPECT_EQ(keychain.copyAllAttributes(kService, attrs), S::itemNotFound);
    EXPECT_EQ(keychain.copyData("other.service", "a", out), S::success)
        << "removing a service's items leaves other services alone";
    EXPECT_EQ(keychain.add("", "a", data, KeychainAccessibility::whenUnlocked), S::invalidArgument);
}

TEST_F(KeychainTest, StoreWritesTheSharedItemLayout) {
    auto keychain = std::make_shared<Keychain>(path);
    KeychainPairingStore store(kService, keychain);
    auto device = deterministicDevice("9F1C7C2E-3B7A-4E55-9A0D-6E7A2B1C4D5F");
    device.lastSeenAt = 1765000100.5;
    store.save(device);
    const auto secret = store.hostSecret();

    wire::Bytes out;
    ASSERT_EQ(keychain->copyData(kService, device.deviceID, out), S::success);
    EXPECT_EQ(std::string(out.begin(), out.end()), encodePairedDevice(device));
    ASSERT_EQ(keychain->copyData(kService, kHostSecretAccount, out), S::success);
    EXPECT_EQ(out, secret) << "the secret is stored as its raw bytes";

    std::vector<platform::KeychainItemAttributes> attrs;
    ASSERT_EQ(keychain->copyAllAttributes(kService, attrs), S::success);
    for (const auto& item : attrs) {
        EXPECT_EQ(item.accessibility, KeychainAccessibility::whenUnlockedThisDeviceOnly);
    }
}

TEST_F(KeychainTest, StoreReadsForeignRecordsAndSkipsOnlyUnreadableOnes) {
    auto keychain = std::make_shared<Keychain>(path);
    KeychainPairingStore store(kService, keychain);
    auto put = [&](const std::string& account, const std::string& json) {
        ASSERT_EQ(keychain->write(kService, account, wire::toBytes(json),
                                  KeychainAccessibility::whenUnlockedThisDeviceOnly),
                  S::success);
    };
    const std::string token = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
    put("GOOD", R"({"deviceID":"GOOD","deviceName":"i\/Pad","token":")" + token +
                    R"(","pairedAt":786000000.123,"lastSeenAt":786000100})");
    put("NOTOKEN", R"({"deviceID":"NOTOKEN","deviceName":"iPad","pairedAt":786000000.123})");
    put("GARBAGE", "not json at all");
    // A host secret of unexpected length is returned as stored.
    ASSERT_EQ(keychain->write(kService, kHostSecretAccount, wire::Bytes{1, 2, 3},
                              KeychainAccessibility::whenUnlockedThisDeviceOnly),
              S::success);

    const auto devices = store.allDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].deviceID, "GOOD");
    EXPECT_EQ(devices[0].deviceName, "i/Pad");
    EXPECT_EQ(devices[0].pairedAt, 786000000.123 + kReferenceDateOffset);
    EXPECT_EQ(devices[0].lastSeenAt, 786000100 + kReferenceDateOffset);
    EXPECT_THROW(store.device("NOTOKEN"), PairedDeviceDecodeError);
    EXPECT_THROW(store.device("GARBAGE"), PairedDeviceDecodeError);
    EXPECT_EQ(store.hostSecret(), (wire::Bytes{1, 2, 3}));

    // Unreadable records stay stored (nothing is lost) until removed.
    wire::Bytes out;
    EXPECT_EQ(keychain->copyData(kService, "NOTOKEN", out), S::success);
    store.remove("NOTOKEN");
    EXPECT_EQ(store.device("NOTOKEN"), std::nullopt);
}

TEST_F(KeychainTest, DefaultPathFollowsXDGDataHome) {
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string savedValue = saved != nullptr ? saved : "";
    ::setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
    EXPECT_EQ(Keychain::defaultPath(), dir.path() + "/data/corvane/keychain.sqlite3");
    ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
    EXPECT_EQ(Keychain::defaultPath(),
              std::string(std::getenv("HOME")) + "/.local/share/corvane/keychain.sqlite3");
    if (saved != nullptr) {
        ::setenv("XDG_DATA_HOME", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
}

// The directory is 0700 and the database with its -wal and -shm files 0600, whatever the
// umask the process runs under.
TEST_F(KeychainTest, FilesAreCreatedPrivateUnderAnyUmask) {
    for (mode_t mask : {mode_t{022}, mode_t{0}, mode_t{077}}) {
        SCOPED_TRACE(mask);
        const std::string base = dir.path() + "/u" + std::to_string(mask);
        const std::string file = base + "/corvane/keychain.sqlite3";
        const mode_t old = ::umask(mask);
        {
            KeychainPairingStore store(kService, std::make_shared<Keychain>(file));
            store.save(deterministicDevice("A"));
            (void)store.hostSecret();
            // Checked while the connection is open: the -wal and -shm files exist only then.
            EXPECT_EQ(modeOf(base), 0700u);
            EXPECT_EQ(modeOf(base + "/corvane"), 0700u);
            for (const char* suffix : {"", "-wal", "-shm"}) {
                EXPECT_EQ(modeOf(file + suffix), 0600u) << suffix;
            }
        }
        ::umask(old);
    }
}

// A file that others could read, or that is not the one it claims to be, is never opened:
// every call answers databaseUnsafe with a text that says why, and the file stays as it was.
TEST_F(KeychainTest, UnsafeFilesAreRefusedAndLeftUntouched) {
    // A good keychain to point at or to copy.
    const std::string good = dir.path() + "/good/keychain.sqlite3";
    {
        KeychainPairingStore store(kService, std::make_shared<Keychain>(good));
        store.save(deterministicDevice("A"));
    }
    struct Case {
        const char* name;
        std::function<bool(const std::string& file)> prepare; // false: cannot be set up here
        const char* why;
    };
    const Case cases[] = {
        {"symlink to a good keychain",
         [&](const std::string& file) {
             fs::create_symlink(good, file);
             return true;
         },
         "symbolic link"},
        {"dangling symlink",
         [&](const std::string& file) {
             fs::create_symlink(dir.path() + "/nowhere", file);
             return true;
         },
         "symbolic link"},
        {"mode 0644",
         [&](const std::string& file) {
             fs::copy_file(good, file);
             ::chmod(file.c_str(), 0644);
             return true;
         },
         "0644"},
        {"mode 0660",
         [&](const std::string& file) {
             fs::copy_file(good, file);
             ::chmod(file.c_str(), 0660);
             return true;
         },
         "0660"},
        {"owned by another user",
         [&](const std::string& file) {
             fs::copy_file(good, file);
             ::chmod(file.c_str(), 0600);
             return ::geteuid() == 0 && ::chown(file.c_str(), 54321, 54321) == 0;
         },
         "uid 54321"},
        {"a directory in its place",
         [&](const std::string& file) {
             fs::create_directory(file);
             return true;
         },
         "not a regular file"},
        {"-wal file open to others",
         [&](const std::string& file) {
             fs::copy_file(good, file);
             ::chmod(file.c_str(), 0600);
             std::ofstream(file + "-wal").close();
             ::chmod((file + "-wal").c_str(), 0644);
             return true;
         },
         "-wal has mode 0644"},
        {"-shm symlink",
         [&](const std::string& file) {
             fs::copy_file(good, file);
             ::chmod(file.c_str(), 0600);
             fs::create_symlink(good + "-shm", file + "-shm");
             return true;
         },
         "-shm is a symbolic link"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string home = dir.path() + "/case" + std::to_string(index++);
        fs::create_directories(home);
        ::chmod(home.c_str(), 0700);
        const std::string file = home + "/keychain.sqlite3";
        if (!c.prepare(file)) {
            std::cout << "not checked here (needs root): " << c.name << "\n";
            continue;
        }
        const std::string before = fs::is_regular_file(file) ? readFile(file) : "";
        const auto modeBefore = modeOf(file);

        auto keychain = std::make_shared<Keychain>(file);
        wire::Bytes out;
        EXPECT_EQ(keychain->copyData(kService, "A", out), S::databaseUnsafe);
        EXPECT_NE(Keychain::lastErrorDetail().find(c.why), std::string::npos)
            << Keychain::lastErrorDetail();
        KeychainPairingStore store(kService, keychain);
        try {
            store.save(deterministicDevice("B"));
            ADD_FAILURE() << "an unsafe keychain was written";
        } catch (const PairingStoreError& e) {
            EXPECT_EQ(e, PairingStoreError::keychain(S::databaseUnsafe));
            const std::string text = e.what();
            EXPECT_NE(text.find("databaseUnsafe"), std::string::npos) << text;
            EXPECT_NE(text.find(file), std::string::npos) << text;
        }
        EXPECT_THROW(store.allDevices(), PairingStoreError);
        EXPECT_THROW(store.hostSecret(), PairingStoreError);
        EXPECT_EQ(modeOf(file), modeBefore);
        if (!before.empty()) {
            EXPECT_EQ(readFile(file), before);
        }
    }
    // The symlink's target was never written through.
    KeychainPairingStore goodStore(kService, std::make_shared<Keychain>(good));
    EXPECT_EQ(goodStore.allDevices().size(), 1u);
}

TEST_F(KeychainTest, DirectoryOfAnotherUserIsRefusedAndAnOwnLooseOneIsTightened) {
    const std::string own = dir.path() + "/own";
    fs::create_directories(own);
    ::chmod(own.c_str(), 0755);
    Keychain keychain(own + "/keychain.sqlite3");
    EXPECT_EQ(keychain.write(kService, "a", {}, KeychainAccessibility::whenUnlocked), S::success);
    EXPECT_EQ(modeOf(own), 0700u);

    if (::geteuid() != 0) {
        GTEST_SKIP() << "changing the owner needs root";
    }
    const std::string foreign = dir.path() + "/foreign";
    fs::create_directories(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 54321, 54321), 0);
    Keychain refused(foreign + "/keychain.sqlite3");
    EXPECT_EQ(refused.write(kService, "a", {}, KeychainAccessibility::whenUnlocked),
              S::databaseUnsafe);
    EXPECT_FALSE(fs::exists(foreign + "/keychain.sqlite3"));
}

TEST_F(KeychainTest, AFileThatIsNotAKeychainIsReportedAndKept) {
    fs::create_directories(dir.path() + "/corvane");
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(4096, 'x');
    }
    ::chmod(path.c_str(), 0600);
    Keychain keychain(path);
    wire::Bytes out;
    EXPECT_EQ(keychain.copyData(kService, "a", out), S::databaseCorrupt);
    EXPECT_EQ(keychain.write(kService, "a", {}, KeychainAccessibility::whenUnlocked),
              S::databaseCorrupt);
    EXPECT_EQ(readFile(path), std::string(4096, 'x'));
}

// ---------------------------------------------------------------------------------------------
// Durability across processes.

TEST_F(KeychainTest, DevicesAndSecretSurviveARestartOfTheProcess) {
    auto child = startChild(path, "restart", 3, dir.path() + "/child.out");
    ASSERT_EQ(child->wait(std::chrono::seconds(30)), 0) << child->output();
    const std::string written = secretLine(child->output());
    ASSERT_FALSE(written.empty()) << child->output();

    KeychainPairingStore store(kService, std::make_shared<Keychain>(path));
    EXPECT_EQ(wire::base64Encode(store.hostSecret()), written);
    for (int i = 0; i < 3; ++i) {
        const std::string id = "restart-" + std::to_string(i);
        EXPECT_EQ(store.device(id), deterministicDevice(id));
    }

    // removeAll here, seen by the next process: a new secret, so the old session key is gone.
    const auto oldKey = wire::PSKProvider::sessionKey(store.hostSecret());
    store.removeAll();
    auto second = startChild(path, "again", 0, dir.path() + "/child2.out");
    ASSERT_EQ(second->wait(std::chrono::seconds(30)), 0) << second->output();
    wire::Bytes renewed;
    ASSERT_TRUE(wire::base64Decode(secretLine(second->output()), renewed));
    EXPECT_NE(wire::PSKProvider::sessionKey(renewed), oldKey);
    EXPECT_EQ(store.hostSecret(), renewed);
    EXPECT_TRUE(store.allDevices().empty());
}

TEST_F(KeychainTest, ProcessKilledWhileSavingLeavesOnlyWholeRecords) {
    auto child = startChild(path, "loop", -1, dir.path() + "/child.out");
    auto keychain = std::make_shared<Keychain>(path);
    KeychainPairingStore store(kService, keychain);
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            try {
                return store.allDevices().size() >= 40;
            } catch (const PairingStoreError&) {
                return false; // the file may not be set up yet
            }
        },
        std::chrono::seconds(60)))
        << child->output();
    ASSERT_TRUE(child->signal(SIGKILL));
    const auto status = child->wait(std::chrono::seconds(10));
    ASSERT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);

    // A fresh connection, as after a restart.
    auto reopened = std::make_shared<Keychain>(path);
    KeychainPairingStore after(kService, reopened);
    const auto devices = after.allDevices();
    std::vector<platform::KeychainItemAttributes> items;
    ASSERT_EQ(reopened->copyAllAttributes(kService, items), S::success);
    EXPECT_EQ(items.size(), devices.size()) << "every stored record must decode";
    std::set<std::string> ids;
    for (const auto& device : devices) {
        EXPECT_EQ(device, deterministicDevice(device.deviceID));
        ids.insert(device.deviceID);
    }
    // Saves are sequential, so what is there is an unbroken run from the first.
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_TRUE(ids.count("loop-" + std::to_string(i))) << i;
    }
    EXPECT_GE(devices.size(), 40u);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
    sqlite3_finalize(stmt);
    sqlite3_close(db);

    // And it takes new writes.
    after.save(deterministicDevice("after-crash"));
    EXPECT_EQ(after.device("after-crash"), deterministicDevice("after-crash"));
}

TEST_F(KeychainTest, TwoProcessesSavingAtOnceLoseNothingAndAgreeOnTheSecret) {
    const std::string go = dir.path() + "/go";
    constexpr long kEach = 60;
    auto first = startChild(path, "first", kEach, dir.path() + "/first.out", go);
    auto second = startChild(path, "second", kEach, dir.path() + "/second.out", go);
    std::ofstream(go).close();
    ASSERT_EQ(first->wait(std::chrono::seconds(60)), 0) << first->output();
    ASSERT_EQ(second->wait(std::chrono::seconds(60)), 0) << second->output();

    KeychainPairingStore store(kService, std::make_shared<Keychain>(path));
    const auto devices = store.allDevices();
    EXPECT_EQ(devices.size(), static_cast<std::size_t>(2 * kEach));
    for (const auto& device : devices) {
        EXPECT_EQ(device, deterministicDevice(device.deviceID));
    }
    EXPECT_EQ(secretLine(first->output()), secretLine(second->output()));
    EXPECT_EQ(wire::base64Encode(store.hostSecret()), secretLine(first->output()));
}

// Two connections in one process (two Keychain objects on one file) writing at once.
TEST_F(KeychainTest, TwoConnectionsInOneProcessWritingAtOnceLoseNothing) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            KeychainPairingStore store(kService, std::make_shared<Keychain>(path));
            for (int i = 0; i < 40; ++i) {
                store.save(deterministicDevice("c" + std::to_string(t) + "-" + std::to_string(i)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    KeychainPairingStore store(kService, std::make_shared<Keychain>(path));
    EXPECT_EQ(store.allDevices().size(), 80u);
}

} // namespace
} // namespace quillon
