// test-labels: coordinator;concurrency
// test-timeout: 120
// test-language: zh_CN
#include "Quillon/Host/HostCoordinator.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Input/RecordingInputBackend.hpp"
#include "Platform/Session/SessionLockSource.hpp"
#include "Quillon/Catalog/AppCatalogService.hpp"
#include "Quillon/Catalog/AppSwitching.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "tests/support/CatalogFixtures.hpp"
#include "tests/support/DbusFixture.hpp"
#include "tests/support/TransportHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;
using Field = HostCoordinator::Field;

namespace {

// What the tests look for among the verbs that reached the backend.
enum class EventType { mouseMoved, leftMouseDown, leftMouseUp, rightMouseUp };

bool isOfType(const platform::InputVerb& v, EventType type) {
    using Kind = platform::InputVerb::Kind;
    switch (type) {
    case EventType::mouseMoved:
        return v.kind == Kind::moveTo;
    case EventType::leftMouseDown:
        return v.kind == Kind::button && v.a == platform::PointerButton::left && v.b == 1;
    case EventType::leftMouseUp:
        return v.kind == Kind::button && v.a == platform::PointerButton::left && v.b == 0;
    case EventType::rightMouseUp:
        return v.kind == Kind::button && v.a == platform::PointerButton::right && v.b == 0;
    }
    return false;
}

// The in-memory store, with switches that make chosen operations fail.
class FailingStore : public PairingStore {
public:
    std::vector<PairedDevice> allDevices() override {
        if (failList) {
            throw PairingStoreError::keychain(platform::KeychainStatus::databaseReadOnly);
        }
        return inner.allDevices();
    }
    std::optional<PairedDevice> device(const std::string& id) override { return inner.device(id); }
    void save(const PairedDevice& d) override { inner.save(d); }
    void remove(const std::string& id) override {
        if (failRemove) {
            throw PairingStoreError::keychain(platform::KeychainStatus::databaseReadOnly);
        }
        inner.remove(id);
    }
    void removeAll() override { inner.removeAll(); }
    wire::Bytes hostSecret() override {
        if (failSecret) {
            throw PairingStoreError::keychain(platform::KeychainStatus::databaseCantOpen);
        }
        return inner.hostSecret();
    }

    InMemoryPairingStore inner;
    std::atomic<bool> failList{false}, failRemove{false}, failSecret{false};
};

// Records what the catalog is asked; answers lists with one entry.
class RecordingCatalog : public AppSwitching {
public:
    void listApplications(std::function<void(std::vector<wire::AppEntry>)> completion) override {
        ++lists;
        std::thread([completion] { completion({{"Files", "org.example.Files", {}}}); }).detach();
    }
    void activate(const std::string& bundleID) override {
        std::lock_guard lock(mutex);
        activated.push_back(bundleID);
    }
    std::atomic<int> lists{0};
    std::mutex mutex;
    std::vector<std::string> activated;
};

std::string readLog() {
    std::ifstream in(platform::DiagLog::path());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class HostCoordinatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        main_ = std::make_shared<platform::IoContextMainQueue>();
        logStart_ = readLog().size();
        store_ = std::make_shared<FailingStore>();
        backend_ = std::make_shared<platform::RecordingInputBackend>();
        auto geometry =
            std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 1024, 768}, 1.0);
        injector_ = EventInjector::create({.backend = backend_,
                                           .geometry = geometry,
                                           .defaults = defaults_,
                                           .scheduler = timers_});
        catalog_ = std::make_shared<RecordingCatalog>();
        HostCoordinator::Options options;
        options.server.display = geometry;
        options.server.advertise = false;
        coordinator_ =
            HostCoordinator::create(store_, injector_, false, catalog_, services(), options);
        coordinator_->addObserver([this](Field f) {
            EXPECT_TRUE(main_->isMainThread());
            changes_.push_back(f);
        });
        device_ = PairedDevice{"11111111-2222-3333-4444-555555555555", "iPad",
                               wire::PSKProvider::randomBytes(32), 1000.0, std::nullopt};
        store_->save(device_);
    }
    void TearDown() override {
        coordinator_->stop();
        coordinator_.reset();
        main_->runFor(50ms);
    }

    // The lock is watched on the buses the test exports (none unless it starts one).
    HostCoordinator::Services services() {
        return {main_, defaults_, diagnostics_, nullptr, platform::makeDBusSessionLockSource()};
    }
    bool runUntil(const std::function<bool()>& p, std::chrono::milliseconds t = 5s) {
        return main_->runUntil(p, t);
    }
    std::string newLog() { return readLog().substr(logStart_); }
    std::size_t countInLog(const std::string& text) {
        const auto log = newLog();
        std::size_t n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++n;
        }
        return n;
    }
    bool connected(const std::string& id) {
        const auto& ids = coordinator_->connectedIDs();
        return std::count(ids.begin(), ids.end(), id) == 1;
    }
    // A Wi-Fi session of `device_` that said hello and was answered.
    std::unique_ptr<wire::WireClient> connectWifi() {
        auto client = connectMain(coordinator_->server(), store_->hostSecret());
        client->send(wire::cm::Hello{device_.deviceID, device_.token, device_.deviceName, 2});
        auto ack = client->receive(5s);
        EXPECT_TRUE(ack && ack->is<wire::cm::HelloAck>());
        return client;
    }
    std::size_t postedOfType(EventType type) {
        const auto verbs = backend_->verbs();
        return std::count_if(verbs.begin(), verbs.end(),
                             [type](const platform::InputVerb& v) { return isOfType(v, type); });
    }

    std::shared_ptr<platform::IoContextMainQueue> main_;
    TempDir home_;
    platform::Defaults defaults_{home_.path() + "/defaults.json"};
    std::shared_ptr<InputDiagnostics> diagnostics_ = InputDiagnostics::toDiagLog(defaults_);
    std::size_t logStart_ = 0;
    std::shared_ptr<FailingStore> store_;
    std::shared_ptr<platform::SerialQueue> timers_ =
        std::make_shared<platform::SerialQueue>("quillon-momentum");
    std::shared_ptr<platform::RecordingInputBackend> backend_;
    std::shared_ptr<EventInjector> injector_;
    std::shared_ptr<RecordingCatalog> catalog_;
    std::shared_ptr<HostCoordinator> coordinator_;
    std::vector<Field> changes_;
    PairedDevice device_;
};

TEST_F(HostCoordinatorTest, WifiSessionFromAcceptToClose) {
    coordinator_->start();
    ASSERT_TRUE(coordinator_->server().mainPort());
    auto client = connectWifi();
    ASSERT_TRUE(runUntil([&] { return connected(device_.deviceID); }));
    EXPECT_EQ(coordinator_->activeChannel(), HostChannel::wifi);
    EXPECT_EQ(countInLog("【连接】设备接入：iPad（wifi）"), 1u);
    EXPECT_NE(std::find(changes_.begin(), changes_.end(), Field::connectedIDs), changes_.end());
    EXPECT_NE(std::find(changes_.begin(), changes_.end(), Field::activeChannel), changes_.end());

    // Input is injected on the transport's queue, without the main queue running.
    const auto injectedBefore = diagnostics_->injectionCount();
    client->send(wire::cm::PointerAbsolute{100, 200, 0});
    client->send(wire::cm::MouseButton{wire::MouseButton::left, true});
    ASSERT_TRUE(waitUntil([&] { return postedOfType(EventType::leftMouseDown) == 1; }, 5s));
    EXPECT_EQ(diagnostics_->injectionCount(), injectedBefore + 2);

    // Closing the last session releases the held button and clears the channel.
    client.reset();
    ASSERT_TRUE(runUntil([&] { return coordinator_->connectedIDs().empty(); }));
    EXPECT_EQ(coordinator_->activeChannel(), std::nullopt);
    EXPECT_EQ(postedOfType(EventType::leftMouseUp), 1u);
    EXPECT_EQ(countInLog("【断开】设备断开：" + device_.deviceID + "（wifi）—— 即将释放全部按键"),
              1u);
}

// Peers turned away become one notice each, in the user's terms, and one log line; an admitted
// device changes nothing of it.
TEST_F(HostCoordinatorTest, RefusedPeersArePublishedAsNotices) {
    coordinator_->start();
    ASSERT_TRUE(coordinator_->server().mainPort());
    struct Case {
        const char* name;
        wire::ControlMessage hello;
        HostNotice::Kind kind;
        std::uint16_t code;
    };
    const std::vector<Case> cases = {
        {"unknown device", wire::cm::Hello{"no-such-device", device_.token, "iPad", 2},
         HostNotice::Kind::unknownDevice, 401},
        {"bad token", wire::cm::Hello{device_.deviceID, wire::Bytes(32, 0x01), "iPad", 2},
         HostNotice::Kind::badToken, 403},
        {"outdated app", wire::cm::Hello{device_.deviceID, device_.token, "iPad", 1},
         HostNotice::Kind::outdatedClient, 426},
        {"not a hello", wire::cm::Heartbeat{}, HostNotice::Kind::refused, 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        changes_.clear();
        auto client = connectMain(coordinator_->server(), store_->hostSecret());
        client->send(c.hello);
        auto reply = client->receive(5s);
        ASSERT_TRUE(reply && reply->is<wire::cm::Error>());
        ASSERT_TRUE(runUntil(
            [&] { return coordinator_->notice() && coordinator_->notice()->code == c.code; }));
        const HostNotice& n = *coordinator_->notice();
        EXPECT_EQ(n.kind, c.kind);
        EXPECT_EQ(n.channel, HostChannel::wifi);
        EXPECT_EQ(n.source, "127.0.0.1");
        EXPECT_EQ(n.reason, reply->as<wire::cm::Error>().message);
        EXPECT_EQ(countInLog("【连接】拒绝 127.0.0.1：" + std::to_string(c.code) + " " + n.reason),
                  1u);
        EXPECT_EQ(changes_, std::vector<Field>{Field::notice});
    }

    // A PIN typed wrong: the pairing listener's handshake fails, and the user hears of it.
    coordinator_->beginPairing();
    ASSERT_TRUE(runUntil([&] { return coordinator_->pairingPIN().has_value(); }));
    const std::string pin = *coordinator_->pairingPIN();
    changes_.clear();
    EXPECT_THROW(connectPairing(coordinator_->server(), pin == "000000" ? "000001" : "000000",
                                openWindowSalt(coordinator_->server())),
                 wire::WireClientError);
    ASSERT_TRUE(
        runUntil([&] { return coordinator_->notice()->kind == HostNotice::Kind::wrongPIN; }));
    EXPECT_EQ(coordinator_->notice()->source, "127.0.0.1");
    EXPECT_EQ(countInLog("【配对】拒绝 127.0.0.1：配对码不对"), 1u);
    EXPECT_EQ(changes_, std::vector<Field>{Field::notice});
    EXPECT_TRUE(coordinator_->pairingPIN()) << "one wrong PIN leaves the window open";
}

TEST_F(HostCoordinatorTest, UsbTakesOverAWifiSession) {
    coordinator_->start();
    auto wifi = connectWifi();
    ASSERT_TRUE(runUntil([&] { return connected(device_.deviceID); }));
    // Held over Wi-Fi; the takeover must not release it when the Wi-Fi session closes.
    coordinator_->dispatch(wire::cm::MouseButton{wire::MouseButton::left, true}, device_.deviceID);

    coordinator_->handleAccept(device_, HostChannel::usb);
    ASSERT_TRUE(runUntil([&] { return coordinator_->activeChannel() == HostChannel::usb; }));
    EXPECT_TRUE(wifi->waitForClose(1500ms));
    EXPECT_EQ(countInLog("【连接】设备接入：iPad（usb）"), 1u);
    EXPECT_EQ(countInLog("【连接】USB 接管，断开同设备的 WiFi 连接"), 1u);
    // The Wi-Fi close arrives and is recognised as stale.
    main_->runFor(300ms);
    EXPECT_TRUE(connected(device_.deviceID));
    EXPECT_EQ(coordinator_->activeChannel(), HostChannel::usb);
    EXPECT_EQ(countInLog("【断开】"), 0u);
    EXPECT_EQ(postedOfType(EventType::leftMouseUp), 0u);

    // The USB session's own close ends it.
    coordinator_->handleDisconnect(device_.deviceID, HostChannel::usb);
    EXPECT_TRUE(coordinator_->connectedIDs().empty());
    EXPECT_EQ(coordinator_->activeChannel(), std::nullopt);
    EXPECT_EQ(postedOfType(EventType::leftMouseUp), 1u);
}

TEST_F(HostCoordinatorTest, WifiIsRejectedWhileTheDeviceIsOnUsb) {
    coordinator_->start();
    coordinator_->handleAccept(device_, HostChannel::usb);
    ASSERT_TRUE(runUntil([&] { return connected(device_.deviceID); }));
    const auto changesBefore = changes_.size();

    auto wifi = connectWifi(); // admitted by the transport, refused by the arbiter
    ASSERT_TRUE(runUntil([&] { return countInLog("【连接】拒绝 wifi：USB 已在用") == 1; }));
    EXPECT_EQ(countInLog("【连接】设备接入：iPad（wifi）"), 1u);
    // Closed by the coordinator, well before the transport's silence timeout would.
    EXPECT_TRUE(wifi->waitForClose(1500ms));
    main_->runFor(300ms); // let the Wi-Fi close arrive too
    EXPECT_TRUE(connected(device_.deviceID));
    EXPECT_EQ(coordinator_->activeChannel(), HostChannel::usb);
    EXPECT_EQ(countInLog("【断开】"), 0u);
    // Nothing published changed (devices may be refreshed, but to the same list).
    EXPECT_EQ(changes_.size(), changesBefore);
}

TEST_F(HostCoordinatorTest, InputIsDroppedWhileLockedOnBothPaths) {
    coordinator_->start();
    coordinator_->handleLock();
    ASSERT_TRUE(coordinator_->isScreenLocked());
    ASSERT_TRUE(coordinator_->inputGated());
    const auto injectedBefore = diagnostics_->injectionCount();
    const auto postedBefore = backend_->count();

    const std::vector<wire::ControlMessage> messages = {
        wire::cm::PointerRelative{5, 5},
        wire::cm::MouseButton{wire::MouseButton::left, true},
        wire::cm::KeyCombo{0, wire::KeyModifiers::command},
        wire::cm::TextInput{"hello"},
        wire::cm::MultiClick{wire::MouseButton::left, 2},
        wire::cm::ActivateApplication{"org.example.Files"},
        wire::cm::ListApplications{},
    };
    for (const auto& m : messages) {
        coordinator_->dispatch(m, device_.deviceID);
    }
    main_->runFor(300ms);
    EXPECT_EQ(backend_->count(), postedBefore);
    EXPECT_EQ(diagnostics_->injectionCount(), injectedBefore); // not counted either
    EXPECT_EQ(catalog_->lists.load(), 0);
    EXPECT_TRUE(catalog_->activated.empty());
}

// What reached the backend, one letter per verb (M move, D/U left button, K key down, T typed
// text), runs of the same letter collapsed, key-ups left out, and the move to the cursor that
// goes before each button left out too.
std::string signature(const std::vector<platform::InputVerb>& verbs) {
    using Kind = platform::InputVerb::Kind;
    std::string out;
    for (std::size_t i = 0; i < verbs.size(); ++i) {
        const auto& v = verbs[i];
        char c = 0;
        switch (v.kind) {
        case Kind::moveTo:
            if (i + 1 == verbs.size() || verbs[i + 1].kind != Kind::button) {
                c = 'M';
            }
            break;
        case Kind::button:
            if (v.a == platform::PointerButton::left) {
                c = v.b != 0 ? 'D' : 'U';
            }
            break;
        case Kind::key:
            c = v.b != 0 ? 'K' : 0;
            break;
        case Kind::text:
            c = 'T';
            break;
        default:
            break;
        }
        if (c != 0 && (out.empty() || out.back() != c)) {
            out.push_back(c);
        }
    }
    return out;
}

// A device's messages land in the order sent, whichever path each takes (multiClick goes by
// the main thread, moves and keys are injected at once, long text is typed on its own thread).
TEST_F(HostCoordinatorTest, InputOfOneDeviceLandsInTheOrderSent) {
    using namespace wire::cm;
    const std::string longText(60, 'x');
    struct Case {
        const char* name;
        std::vector<wire::ControlMessage> sent;
        std::string landed;
    };
    const std::vector<Case> cases = {
        {"click before moves",
         {MultiClick{wire::MouseButton::left, 2}, PointerRelative{3, 0}, PointerRelative{3, 0}},
         "DUDUM"},
        {"move, click, key",
         {PointerRelative{3, 0}, MultiClick{wire::MouseButton::left, 1},
          KeyCombo{0, wire::KeyModifiers{}}},
         "MDUK"},
        {"long text before a move", {TextInput{longText}, PointerRelative{3, 0}}, "TM"},
        {"everything mixed",
         {KeyCombo{0, wire::KeyModifiers{}}, MultiClick{wire::MouseButton::left, 1},
          TextInput{longText}, PointerRelative{3, 0}, MultiClick{wire::MouseButton::left, 1},
          TextInput{"ab"}},
         "KDUTMDUT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        backend_->clear();
        std::thread transport([&] {
            for (const auto& m : c.sent) {
                coordinator_->dispatch(m, device_.deviceID);
            }
        });
        transport.join();
        runUntil([&] { return signature(backend_->verbs()) == c.landed; }, 5s);
        main_->runFor(50ms); // and nothing after it
        EXPECT_EQ(signature(backend_->verbs()), c.landed);
    }
}

// One device's long text neither blocks the delivering thread nor holds back another device's
// pointer; a lock stops the typing within a piece.
TEST_F(HostCoordinatorTest, LongTextStallsNoOtherDeviceAndStopsAtTheLock) {
    const std::string text(200000, 'y');
    coordinator_->dispatch(wire::cm::TextInput{text}, device_.deviceID);
    coordinator_->dispatch(wire::cm::PointerRelative{4, 0}, "another-device");
    const auto events = backend_->verbs();
    const auto typed = std::count_if(events.begin(), events.end(), [](const auto& e) {
        return e.kind == platform::InputVerb::Kind::text;
    });
    EXPECT_LT(typed, 200000 / 20) << "the text was typed on the delivering thread";
    EXPECT_EQ(signature(events).find('M') != std::string::npos, true) << signature(events);

    ASSERT_TRUE(
        runUntil([&] { return signature(backend_->verbs()).find('T') != std::string::npos; }));
    coordinator_->handleLock();
    const std::size_t atLock = backend_->count();
    main_->runFor(300ms);
    // At most the piece in progress (20 characters, one key event pair each with its
    // modifiers) follows the lock.
    EXPECT_LE(backend_->count() - atLock, 40u * 2);
    const auto after = backend_->verbs();
    const auto typedInAll = std::count_if(after.begin(), after.end(), [](const auto& e) {
        return e.kind == platform::InputVerb::Kind::text;
    });
    EXPECT_LT(typedInAll, 200000 / 20) << "typing went on after the lock";
}

TEST_F(HostCoordinatorTest, ABurstOfInputIsFlushedOnceAfterItsLastMessage) {
    const auto flushesBefore = backend_->flushCount();
    std::vector<wire::ControlMessage> burst;
    for (int i = 0; i < 30; ++i) {
        burst.push_back(wire::cm::PointerRelative{1, 0});
    }
    coordinator_->dispatchBurst(burst, device_.deviceID);
    EXPECT_EQ(postedOfType(EventType::mouseMoved), 30u);
    EXPECT_EQ(backend_->flushCount(), flushesBefore + 1);
    EXPECT_EQ(backend_->count(), 30u) << "nothing but the moves";
}

// A burst that mixes runs of moves with a click that needs the main thread keeps the sent
// order: the moves after the click wait for it.
TEST_F(HostCoordinatorTest, ABurstKeepsItsOrderAroundMainThreadInput) {
    using namespace wire::cm;
    const std::vector<wire::ControlMessage> burst = {PointerRelative{1, 0},
                                                     PointerRelative{1, 0},
                                                     KeyCombo{36, wire::KeyModifiers{}},
                                                     MultiClick{wire::MouseButton::left, 1},
                                                     PointerRelative{1, 0},
                                                     PointerRelative{1, 0}};
    coordinator_->dispatchBurst(burst, device_.deviceID);
    EXPECT_EQ(signature(backend_->verbs()), "MK") << "nothing after the click before it ran";
    ASSERT_TRUE(runUntil([&] { return signature(backend_->verbs()) == "MKDUM"; }))
        << signature(backend_->verbs());
    main_->runFor(100ms);
    EXPECT_EQ(signature(backend_->verbs()), "MKDUM");
}

// Requests for the list while one is being built are answered by it: one list in flight per
// device, whatever a client repeats.
TEST_F(HostCoordinatorTest, RepeatedListRequestsAreCoalescedPerDevice) {
    for (int i = 0; i < 500; ++i) {
        coordinator_->dispatch(wire::cm::ListApplications{}, device_.deviceID);
    }
    coordinator_->dispatch(wire::cm::ListApplications{}, "other-device");
    main_->runFor(300ms);
    EXPECT_EQ(catalog_->lists.load(), 2);
    // Once answered, the next request builds a new list.
    coordinator_->dispatch(wire::cm::ListApplications{}, device_.deviceID);
    ASSERT_TRUE(runUntil([&] { return catalog_->lists.load() == 3; }));
    main_->runFor(100ms);
    EXPECT_EQ(catalog_->lists.load(), 3);
}

TEST_F(HostCoordinatorTest, CatalogRequestsReachTheCatalogAndTheListGoesBack) {
    // The real catalog over one desktop entry whose launch leaves a mark.
    TempDir dir;
    const std::string mark = dir.path() + "/launched";
    writeSolidPNG(dir.path() + "/marker.png", 48, 48, {0.2, 0.4, 0.8, 1});
    writeDesktopEntry(dir.path() + "/applications/org.example.Marker.desktop",
                      "Name=Marker\nIcon=" + dir.path() + "/marker.png\nExec=touch " + mark + "\n");
    auto catalog = std::make_shared<AppCatalogService>(
        std::vector<std::filesystem::path>{dir.path() + "/applications"});
    coordinator_->stop();
    HostCoordinator::Options options;
    options.server.advertise = false;
    coordinator_ = HostCoordinator::create(store_, injector_, false, catalog, services(), options);
    coordinator_->start();

    auto client = connectWifi();
    ASSERT_TRUE(runUntil([&] { return connected(device_.deviceID); }));
    client->send(wire::cm::ListApplications{});
    // The reply goes back over the device's Wi-Fi session, built on the main queue.
    std::optional<wire::ControlMessage> reply;
    ASSERT_TRUE(runUntil(
        [&] {
            reply = client->receive(10ms);
            return reply.has_value();
        },
        10s));
    ASSERT_TRUE(reply->is<wire::cm::ApplicationList>()) << reply->description();
    const auto& entries = reply->as<wire::cm::ApplicationList>().entries;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].bundleID, "org.example.Marker");

    client->send(wire::cm::ActivateApplication{"org.example.Marker"});
    EXPECT_TRUE(runUntil([&] { return std::filesystem::exists(mark); }, 10s));
}

TEST_F(HostCoordinatorTest, LockDropsEverythingAndUnlockRestartsTheListeners) {
    DbusFixture bus(DbusFixture::Kind::session);
    bus.exportAddress();
    DbusPeer screensaver(bus.address());
    screensaver.requestName("org.freedesktop.ScreenSaver"); // only the locker's own signals count
    coordinator_->start();
    auto client = connectWifi();
    ASSERT_TRUE(runUntil([&] { return connected(device_.deviceID); }));
    coordinator_->beginPairing();
    ASSERT_TRUE(coordinator_->pairingPIN());
    ASSERT_EQ(coordinator_->pairingPIN()->size(), 6u);
    ASSERT_TRUE(coordinator_->server().pairingPort());

    screensaver.emitBool("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                         "ActiveChanged", true);
    ASSERT_TRUE(runUntil([&] { return coordinator_->isScreenLocked(); }));
    EXPECT_TRUE(coordinator_->connectedIDs().empty());
    EXPECT_EQ(coordinator_->activeChannel(), std::nullopt);
    EXPECT_EQ(coordinator_->pairingPIN(), std::nullopt);
    EXPECT_EQ(coordinator_->arbiter(), ChannelArbiter());
    EXPECT_EQ(coordinator_->server().mainPort(), std::nullopt);
    EXPECT_EQ(coordinator_->server().pairingPort(), std::nullopt);
    EXPECT_TRUE(client->waitForClose(5s));
    EXPECT_EQ(countInLog("【锁屏】屏幕已锁定 —— 释放按键 + 断开全部连接 + 停止监听"), 1u);

    screensaver.emitBool("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                         "ActiveChanged", false);
    ASSERT_TRUE(runUntil([&] { return !coordinator_->isScreenLocked(); }));
    EXPECT_FALSE(coordinator_->inputGated());
    ASSERT_TRUE(coordinator_->server().mainPort());
    EXPECT_EQ(countInLog("【解锁】屏幕已解锁 —— 尝试恢复监听"), 1u);
    auto again = connectWifi();
    EXPECT_TRUE(runUntil([&] { return connected(device_.deviceID); }));
}

TEST_F(HostCoordinatorTest, LockActsInOneOrderAndLeavesTheTransportStopped) {
    coordinator_->start();
    auto client = connectWifi();
    ASSERT_TRUE(runUntil([&] { return connected(device_.deviceID); }));
    coordinator_->dispatch(wire::cm::MouseButton{wire::MouseButton::left, true}, device_.deviceID);
    coordinator_->beginPairing();
    ASSERT_TRUE(coordinator_->server().pairingPort());

    // What a watcher of the published state sees, in order, with the gate and the release.
    std::vector<std::string> trace;
    coordinator_->addObserver([&](Field f) {
        static const char* names[] = {"devices",        "connectedIDs", "pairingPIN",
                                      "isScreenLocked", "lastError",    "activeChannel"};
        trace.push_back(std::string(names[static_cast<int>(f)]) +
                        (coordinator_->inputGated() ? " gated" : " open") +
                        " up=" + std::to_string(postedOfType(EventType::leftMouseUp)));
    });
    coordinator_->handleLock();
    EXPECT_EQ(trace,
              (std::vector<std::string>{"isScreenLocked gated up=0", "connectedIDs gated up=1",
                                        "activeChannel gated up=1", "pairingPIN gated up=1"}));
    // The transport is down by the time handleLock returns: sessions, listeners and window.
    EXPECT_EQ(coordinator_->server().mainPort(), std::nullopt);
    EXPECT_EQ(coordinator_->server().pairingPort(), std::nullopt);
    EXPECT_TRUE(
        std::holds_alternative<PairingSession::Idle>(coordinator_->server().pairingState()));
    EXPECT_EQ(coordinator_->server().statistics().sessions, 0u);
    EXPECT_TRUE(client->waitForClose(5s));

    // Nothing follows: stopping reports no disconnect, and nothing else is published.
    main_->runFor(300ms);
    EXPECT_EQ(trace.size(), 4u);
    EXPECT_EQ(countInLog("【断开】"), 0u);
    EXPECT_EQ(countInLog("【锁屏】屏幕已锁定 —— 释放按键 + 断开全部连接 + 停止监听"), 1u);
    EXPECT_EQ(postedOfType(EventType::leftMouseUp), 1u);
}

TEST_F(HostCoordinatorTest, ListenerFailuresBecomeTheLastError) {
    store_->failSecret = true;
    coordinator_->start();
    ASSERT_TRUE(coordinator_->lastError());
    EXPECT_EQ(coordinator_->lastError()->rfind("启动监听失败：", 0), 0u)
        << *coordinator_->lastError();
    EXPECT_NE(coordinator_->lastError()->find("databaseCantOpen"), std::string::npos);
    store_->failSecret = false;
    coordinator_->start();
    ASSERT_TRUE(coordinator_->server().mainPort());

    // Resuming after an unlock fails: still locked, input still gated.
    coordinator_->handleLock();
    store_->failSecret = true;
    coordinator_->handleUnlock();
    EXPECT_TRUE(coordinator_->isScreenLocked());
    EXPECT_TRUE(coordinator_->inputGated());
    ASSERT_TRUE(coordinator_->lastError());
    EXPECT_EQ(coordinator_->lastError()->rfind("解锁后恢复监听失败：", 0), 0u)
        << *coordinator_->lastError();
    EXPECT_EQ(coordinator_->server().mainPort(), std::nullopt);
    // The next unlock tries again.
    store_->failSecret = false;
    coordinator_->handleUnlock();
    EXPECT_FALSE(coordinator_->isScreenLocked());
    EXPECT_TRUE(coordinator_->server().mainPort());
    // An unlock that was not preceded by a lock leaves the running listeners alone.
    const auto port = coordinator_->server().mainPort();
    coordinator_->handleUnlock();
    EXPECT_EQ(coordinator_->server().mainPort(), port);
    EXPECT_EQ(countInLog("【解锁】"), 2u);
}

TEST_F(HostCoordinatorTest, DevicesAreListedOldestFirstAndUnpairRemoves) {
    store_->save({"B", "second", wire::PSKProvider::randomBytes(32), 2000.0, std::nullopt});
    store_->save({"C", "zeroth", wire::PSKProvider::randomBytes(32), 10.0, std::nullopt});
    store_->save({"A", "third", wire::PSKProvider::randomBytes(32), 3000.0, std::nullopt});
    coordinator_->refreshDevices();
    std::vector<std::string> names;
    for (const auto& d : coordinator_->devices()) {
        names.push_back(d.deviceName);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"zeroth", "iPad", "second", "third"}));

    store_->failRemove = true;
    coordinator_->unpair("B"); // the store refuses: the device stays listed
    EXPECT_EQ(coordinator_->devices().size(), 4u);
    store_->failRemove = false;
    coordinator_->unpair("B");
    EXPECT_EQ(coordinator_->devices().size(), 3u);
    EXPECT_FALSE(store_->device("B"));

    EXPECT_EQ(coordinator_->storeProblem(), std::nullopt);
    store_->failList = true;
    coordinator_->refreshDevices();
    EXPECT_TRUE(coordinator_->devices().empty());
    ASSERT_TRUE(coordinator_->storeProblem());
    EXPECT_NE(coordinator_->storeProblem()->find("databaseReadOnly"), std::string::npos);
    store_->failList = false;
    coordinator_->refreshDevices();
    EXPECT_EQ(coordinator_->storeProblem(), std::nullopt);
    EXPECT_EQ(coordinator_->devices().size(), 3u);
}

TEST_F(HostCoordinatorTest, PairingFromPinToDeviceList) {
    store_->remove(device_.deviceID);
    coordinator_->refreshDevices();
    coordinator_->start();
    coordinator_->beginPairing();
    ASSERT_TRUE(coordinator_->pairingPIN());
    auto pairing = connectPairing(coordinator_->server(), *coordinator_->pairingPIN(),
                                  openWindowSalt(coordinator_->server()));
    pairing->send(wire::cm::PairRequest{"New iPad"});
    auto result = pairing->receive(5s);
    ASSERT_TRUE(result && result->is<wire::cm::PairResult>());
    EXPECT_TRUE(result->as<wire::cm::PairResult>().accepted);
    ASSERT_TRUE(runUntil([&] { return coordinator_->devices().size() == 1; }));
    EXPECT_EQ(coordinator_->pairingPIN(), std::nullopt);
    EXPECT_EQ(coordinator_->server().pairingPort(), std::nullopt) << "the coordinator ended it";
    EXPECT_EQ(coordinator_->devices()[0].deviceName, "New iPad");

    // A window opened again before the coordinator hears of a pairing stays, with its PIN.
    coordinator_->beginPairing();
    auto second = connectPairing(coordinator_->server(), *coordinator_->pairingPIN(),
                                 openWindowSalt(coordinator_->server()));
    second->send(wire::cm::PairRequest{"Second iPad"});
    ASSERT_TRUE(second->receive(5s));
    coordinator_->beginPairing(); // the main queue has not run the news of the pairing yet
    const auto thirdPIN = coordinator_->pairingPIN();
    ASSERT_TRUE(thirdPIN);
    ASSERT_TRUE(runUntil([&] { return coordinator_->devices().size() == 2; }));
    EXPECT_EQ(coordinator_->pairingPIN(), thirdPIN);
    EXPECT_TRUE(coordinator_->server().pairingPort());

    coordinator_->beginPairing();
    ASSERT_TRUE(coordinator_->pairingPIN());
    coordinator_->endPairing();
    EXPECT_EQ(coordinator_->pairingPIN(), std::nullopt);
    EXPECT_EQ(coordinator_->server().pairingPort(), std::nullopt);
}

TEST_F(HostCoordinatorTest, StopReleasesInputAndKeepsTheArbiter) {
    coordinator_->start();
    auto client = connectWifi();
    ASSERT_TRUE(runUntil([&] { return connected(device_.deviceID); }));
    coordinator_->dispatch(wire::cm::MouseButton{wire::MouseButton::right, true}, device_.deviceID);
    coordinator_->beginPairing();
    ASSERT_TRUE(coordinator_->pairingPIN());
    coordinator_->stop();
    EXPECT_TRUE(coordinator_->connectedIDs().empty());
    // The window closed with its listener, so no PIN is shown for it.
    EXPECT_EQ(coordinator_->pairingPIN(), std::nullopt);
    EXPECT_TRUE(
        std::holds_alternative<PairingSession::Idle>(coordinator_->server().pairingState()));
    EXPECT_EQ(coordinator_->activeChannel(), HostChannel::wifi);
    EXPECT_EQ(coordinator_->arbiter().channel(device_.deviceID), HostChannel::wifi);
    EXPECT_EQ(postedOfType(EventType::rightMouseUp), 1u);
    EXPECT_EQ(coordinator_->server().mainPort(), std::nullopt);
    EXPECT_TRUE(client->waitForClose(5s));
    // stop() reports no disconnect, so nothing more happens on the main queue.
    main_->runFor(200ms);
    EXPECT_EQ(countInLog("【断开】"), 0u);
}

// Without avahi-daemon the host listens, and says that tablets cannot find it: a state that
// goes when the daemon is back, not an error line that would stand.
TEST_F(HostCoordinatorTest, AMissingDnsSdDaemonIsShownAsUndiscoverable) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quillon-test-bus", 1);
    coordinator_->stop();
    HostCoordinator::Options options;
    options.server.advertise = true;
    coordinator_ = HostCoordinator::create(store_, injector_, false, catalog_, services(), options);
    changes_.clear();
    coordinator_->addObserver([this](Field f) { changes_.push_back(f); });
    EXPECT_TRUE(coordinator_->discoverable());
    coordinator_->start();
    ASSERT_TRUE(coordinator_->server().mainPort()); // the listener itself runs
    ASSERT_TRUE(runUntil([&] { return !coordinator_->discoverable(); }));
    EXPECT_EQ(changes_, std::vector<Field>{Field::discoverable});
    EXPECT_EQ(coordinator_->lastError(), std::nullopt);
    coordinator_->setDiscoverable(true); // as the advertiser tells a daemon that came back
    EXPECT_TRUE(coordinator_->discoverable());
}

// What the user reads goes when it stops being true: a wrong PIN once a new window opens or a
// device pairs, a listener failure once listening works, a refused device once one gets in on
// that channel; a window that ran out is said to have expired until the next one opens.
TEST_F(HostCoordinatorTest, NoticesAndErrorsClearWhenNoLongerTrue) {
    store_->failSecret = true;
    coordinator_->start();
    ASSERT_TRUE(coordinator_->lastError());
    store_->failSecret = false;
    coordinator_->start();
    EXPECT_EQ(coordinator_->lastError(), std::nullopt);

    coordinator_->beginPairing();
    ASSERT_TRUE(coordinator_->pairingPIN());
    const std::string pin = *coordinator_->pairingPIN();
    EXPECT_THROW(connectPairing(coordinator_->server(), pin == "000000" ? "000001" : "000000",
                                openWindowSalt(coordinator_->server())),
                 wire::WireClientError);
    ASSERT_TRUE(runUntil([&] { return coordinator_->notice().has_value(); }));
    // The right PIN pairs: the wrong one before it is history.
    auto pairing =
        connectPairing(coordinator_->server(), pin, openWindowSalt(coordinator_->server()));
    pairing->send(wire::cm::PairRequest{"New iPad"});
    ASSERT_TRUE(pairing->receive(5s));
    ASSERT_TRUE(runUntil([&] { return coordinator_->devices().size() == 2; }));
    EXPECT_EQ(coordinator_->notice(), std::nullopt);

    // A refused device on the cable goes when a device gets in on the cable.
    coordinator_->usb().onRefuse(403, "凭据无效");
    ASSERT_TRUE(runUntil([&] { return coordinator_->notice().has_value(); }));
    coordinator_->handleAccept(device_, HostChannel::wifi);
    ASSERT_TRUE(runUntil([&] { return connected(device_.deviceID); }));
    EXPECT_TRUE(coordinator_->notice()) << "another channel's news does not clear it";
    coordinator_->handleAccept(device_, HostChannel::usb);
    ASSERT_TRUE(runUntil([&] { return !coordinator_->notice().has_value(); }));

    // A window that runs out is said to have expired, until the next one opens.
    coordinator_->beginPairing();
    changes_.clear();
    coordinator_->expirePairing();
    EXPECT_EQ(coordinator_->pairingPIN(), std::nullopt);
    EXPECT_TRUE(coordinator_->pairingExpired());
    EXPECT_EQ(coordinator_->server().pairingPort(), std::nullopt);
    EXPECT_EQ(changes_, std::vector<Field>{Field::pairingPIN});
    coordinator_->expirePairing(); // nothing open: nothing changes
    EXPECT_EQ(changes_.size(), 1u);
    coordinator_->beginPairing();
    EXPECT_TRUE(coordinator_->pairingPIN());
    EXPECT_FALSE(coordinator_->pairingExpired());
    coordinator_->endPairing();
    EXPECT_FALSE(coordinator_->pairingExpired()) << "a cancelled window did not expire";
}

} // namespace
