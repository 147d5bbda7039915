// test-labels: coordinator
#include "Quillon/Host/ChannelArbiter.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace quillon;

namespace {

constexpr auto wifi = HostChannel::wifi;
constexpr auto usb = HostChannel::usb;

TEST(ChannelArbiterTest, AdmitTable) {
    struct Case {
        std::optional<HostChannel> before;
        HostChannel incoming;
        AdmitDecision decision;
        HostChannel after;
    };
    const std::vector<Case> cases = {
        {std::nullopt, wifi, AdmitDecision::accept, wifi},
        {std::nullopt, usb, AdmitDecision::accept, usb},
        {wifi, wifi, AdmitDecision::accept, wifi},
        {wifi, usb, AdmitDecision::acceptAndDropWiFi, usb},
        {usb, usb, AdmitDecision::accept, usb},
        {usb, wifi, AdmitDecision::reject, usb},
    };
    for (const auto& c : cases) {
        ChannelArbiter arbiter;
        if (c.before) {
            ASSERT_EQ(arbiter.admit("A", *c.before), AdmitDecision::accept);
        }
        EXPECT_EQ(arbiter.admit("A", c.incoming), c.decision)
            << "before=" << (c.before ? rawValue(*c.before) : "none")
            << " incoming=" << rawValue(c.incoming);
        EXPECT_EQ(arbiter.channel("A"), c.after);
    }
}

TEST(ChannelArbiterTest, StaleCloseAfterTakeoverOrRejectKeepsUsbEntry) {
    ChannelArbiter takeover;
    takeover.admit("A", wifi);
    ASSERT_EQ(takeover.admit("A", usb), AdmitDecision::acceptAndDropWiFi);
    takeover.remove("A", wifi); // the dropped Wi-Fi session closes later
    EXPECT_EQ(takeover.channel("A"), usb);

    ChannelArbiter rejected;
    rejected.admit("A", usb);
    ASSERT_EQ(rejected.admit("A", wifi), AdmitDecision::reject);
    rejected.remove("A", wifi);
    EXPECT_EQ(rejected.channel("A"), usb);
    rejected.remove("A", usb);
    EXPECT_EQ(rejected.channel("A"), std::nullopt);
}

TEST(ChannelArbiterTest, RemoveOfUnknownDeviceOrOtherChannelChangesNothing) {
    ChannelArbiter arbiter;
    arbiter.remove("A", wifi); // empty arbiter
    EXPECT_EQ(arbiter, ChannelArbiter());
    arbiter.admit("A", wifi);
    arbiter.admit("A", wifi); // second session on the same channel: still one entry
    const ChannelArbiter before = arbiter;
    arbiter.remove("B", wifi);
    arbiter.remove("A", usb);
    EXPECT_EQ(arbiter, before);
    arbiter.remove("A", wifi);
    EXPECT_EQ(arbiter, ChannelArbiter());
}

TEST(ChannelArbiterTest, DominantChannelPrefersUsb) {
    ChannelArbiter arbiter;
    EXPECT_EQ(arbiter.dominantChannel(), std::nullopt);
    EXPECT_EQ(arbiter.channel("anything"), std::nullopt);
    arbiter.admit("A", wifi);
    EXPECT_EQ(arbiter.dominantChannel(), wifi);
    arbiter.admit("B", usb);
    arbiter.admit("C", wifi);
    EXPECT_EQ(arbiter.dominantChannel(), usb);
    arbiter.remove("B", usb);
    EXPECT_EQ(arbiter.dominantChannel(), wifi);
    arbiter.remove("A", wifi);
    arbiter.remove("C", wifi);
    EXPECT_EQ(arbiter.dominantChannel(), std::nullopt);
}

TEST(ChannelArbiterTest, RawValues) {
    EXPECT_STREQ(rawValue(wifi), "wifi");
    EXPECT_STREQ(rawValue(usb), "usb");
    EXPECT_EQ(hostChannelFromRaw("wifi"), wifi);
    EXPECT_EQ(hostChannelFromRaw("usb"), usb);
    for (const char* other : {"", "WiFi", "USB", "wifi ", "wi-fi", "ethernet"}) {
        EXPECT_EQ(hostChannelFromRaw(other), std::nullopt) << '"' << other << '"';
    }
}

} // namespace
