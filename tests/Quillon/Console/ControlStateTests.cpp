// test-labels: coordinator
// test-language: zh_CN
// What the control interface answers for a published state, and the state a window of a host
// that runs elsewhere builds back from those answers: the same state, whatever it holds; the
// PIN only to whom it may go.
#include "Quillon/Console/HostControl.hpp"
#include "Quillon/Host/HostState.hpp"

#include <gtest/gtest.h>

using namespace quillon;

namespace {

PairedDevice device(const std::string& id, const std::string& name) {
    PairedDevice d;
    d.deviceID = id;
    d.deviceName = name;
    return d;
}

// What Devices() answers for a state (the host's order, connected or not).
std::vector<platform::ControlDevice> devicesOf(const HostState& s) {
    std::vector<platform::ControlDevice> out;
    for (const auto& d : s.devices) {
        out.push_back({d.deviceID, d.deviceName, s.isConnected(d.deviceID)});
    }
    return out;
}

TEST(ControlState, AWindowElsewhereBuildsBackTheStateTheHostPublished) {
    const double now = 1000.0;
    HostState pairing;
    pairing.pairingPIN = "042042";
    pairing.pinExpiresAt = 1042.5;
    pairing.port = 50100;
    pairing.pairingPort = 50101;
    pairing.pairingExpired = false;

    HostState busy;
    busy.devices = {device("AAAA-1", "iPad Pro"), device("BBBB-2", "Kitchen “iPad”")};
    busy.connectedIDs = {"BBBB-2"};
    busy.activeChannel = HostChannel::wifi;
    busy.lastError = "启动监听失败：端口被占用";
    busy.notice =
        HostNotice{HostNotice::Kind::wrongPIN, HostChannel::wifi, "192.0.2.7", 401, "PIN 错误"};
    busy.port = 50100;

    HostState troubled;
    troubled.storeProblem = "pairing store error -26008";
    troubled.pairingExpired = true;
    troubled.discoverable = false;
    troubled.activeChannel = HostChannel::usb;
    troubled.notice = HostNotice{HostNotice::Kind::badToken, HostChannel::usb, "", 403, "x"};

    HostState locked;
    locked.isScreenLocked = true;
    locked.devices = {device("AAAA-1", "iPad Pro")};

    const struct {
        const char* name;
        HostState state;
    } cases[] = {{"nothing", {}},
                 {"pairing", pairing},
                 {"connected with a notice and an error", busy},
                 {"unreadable records, undiscoverable, on the cable", troubled},
                 {"locked", locked}};
    PermissionChecker::Status permission{false, "no DISPLAY is set", {}};
    permission.guide.steps = {"一", "二"};
    permission.guide.offersKdeGrant = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A host with a screen does not put the PIN in its status; its own window asks for it.
        const auto status = controlStateOf(c.state, permission, true, "desk", false, now);
        EXPECT_EQ(status.pin, std::nullopt);
        EXPECT_EQ(status.pinSecondsLeft.has_value(), c.state.pairingPIN.has_value());
        EXPECT_EQ(hostStateOf(status, devicesOf(c.state), c.state.pairingPIN), c.state);
        if (c.state.notice) {
            EXPECT_EQ(status.notice, noticeLine(*c.state.notice));
        }
        // A host without a screen tells everyone: nothing more to ask.
        const auto told = controlStateOf(c.state, permission, true, "desk", true, now);
        EXPECT_EQ(told.pin, c.state.pairingPIN);
        EXPECT_EQ(hostStateOf(told, devicesOf(c.state), std::nullopt), c.state);
    }
    // A window the host would not tell: the pairing window is open, its code not known here.
    const auto untold = hostStateOf(controlStateOf(pairing, permission, true, "desk", false, now),
                                    {}, std::string());
    EXPECT_EQ(untold.pairingPIN, std::string());
    EXPECT_EQ(pinSecondsLeft(untold, now), 43);

    const auto back = permissionOf(controlStateOf({}, permission, false, "desk", false, now));
    EXPECT_EQ(back.permitted, false);
    EXPECT_EQ(back.reason, "no DISPLAY is set");
    EXPECT_EQ(back.guide.steps, permission.guide.steps);
    EXPECT_TRUE(back.guide.offersKdeGrant);
}

} // namespace
