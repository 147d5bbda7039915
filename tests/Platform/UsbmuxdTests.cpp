// test-labels: usb
#include "Platform/Usbmux/USBMuxClient.hpp"
#include "tests/support/UsbmuxStandIn.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

namespace quillon::platform::usbmux {
namespace {

// Debian's usbmuxd, started for real in a private mount namespace with no Apple device on the
// bus: what our client sees of it.
class Usbmuxd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!daemon.available()) {
            GTEST_SKIP() << daemon.whyUnavailable();
        }
    }
    USBMuxClient client() {
        USBMuxClient::Options options;
        options.socketPath = daemon.socketPath();
        return USBMuxClient(options);
    }
    testing::UsbmuxdFixture daemon;
};

template <typename F> std::optional<USBMuxError> muxErrorOf(F&& f) {
    try {
        f();
    } catch (const USBMuxError& e) {
        return e;
    }
    return std::nullopt;
}

TEST_F(Usbmuxd, ListsNoDevicesAndRejectsAConnectToAnUnknownOne) {
    auto c = client();
    EXPECT_EQ(c.listUSBDevices(), std::vector<USBMuxProtocol::Device>{});
    EXPECT_EQ(c.listUSBDevices(), std::vector<USBMuxProtocol::Device>{});
    EXPECT_EQ(muxErrorOf([&] { c.connect(999, 49281); }), USBMuxError::connectRejected(2))
        << "2: no such device";
    EXPECT_EQ(c.tag(), 3u);
}

TEST_F(Usbmuxd, AStoppedDaemonIsSocketUnavailable) {
    auto c = client();
    EXPECT_TRUE(c.listUSBDevices().empty());
    daemon.stopDaemon();
    ASSERT_EQ(::access(daemon.socketPath().c_str(), F_OK), 0) << "the socket file stays";
    EXPECT_EQ(muxErrorOf([&] { c.listUSBDevices(); }), USBMuxError::socketUnavailable())
        << "ECONNREFUSED";
    ::unlink(daemon.socketPath().c_str());
    EXPECT_EQ(muxErrorOf([&] { c.listUSBDevices(); }), USBMuxError::socketUnavailable())
        << "ENOENT";
}

} // namespace
} // namespace quillon::platform::usbmux
