// test-labels: coordinator
#include "Quillon/Host/HostStatePublisher.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace quillon;

namespace {

using F = HostField;

const PairedDevice kIPad{"AAAA", "iPad", wire::Bytes(32, 1), 1.0, std::nullopt};

// Every setter, from a state where it changes something and from one where it does not: what
// subscribers are told, and nothing else.
TEST(HostStatePublisherTest, EachChangeIsToldOnceAndNoChangeIsNotTold) {
    struct Case {
        const char* name;
        std::function<void(HostStatePublisher&)> before; // not observed
        std::function<void(HostStatePublisher&)> act;
        std::vector<F> told;
    };
    const auto noop = [](HostStatePublisher&) {};
    const std::vector<Case> cases = {
        {"devices", noop, [](auto& p) { p.setDevices({kIPad}, std::nullopt); }, {F::devices}},
        {"same devices",
         [](auto& p) { p.setDevices({kIPad}, std::nullopt); },
         [](auto& p) { p.setDevices({kIPad}, std::nullopt); },
         {}},
        {"a store problem is a devices change",
         noop,
         [](auto& p) { p.setDevices({}, "unreadable"); },
         {F::devices}},
        {"connected", noop, [](auto& p) { p.addConnected("AAAA"); }, {F::connectedIDs}},
        {"connected twice",
         [](auto& p) { p.addConnected("AAAA"); },
         [](auto& p) { p.addConnected("AAAA"); },
         {}},
        {"disconnected",
         [](auto& p) { p.addConnected("AAAA"); },
         [](auto& p) { p.removeConnected("AAAA"); },
         {F::connectedIDs}},
        {"not connected, gone", noop, [](auto& p) { p.removeConnected("AAAA"); }, {}},
        {"a PIN", noop, [](auto& p) { p.showPIN("123456", 60.0); }, {F::pairingPIN}},
        {"no PIN to hide", noop, [](auto& p) { p.hidePIN(true); }, {}},
        {"PIN hidden",
         [](auto& p) { p.showPIN("123456", 60.0); },
         [](auto& p) { p.hidePIN(); },
         {F::pairingPIN}},
        {"locked", noop, [](auto& p) { p.setScreenLocked(true); }, {F::isScreenLocked}},
        {"unlocked while unlocked", noop, [](auto& p) { p.setScreenLocked(false); }, {}},
        {"an error, again: told again",
         [](auto& p) { p.setLastError("x"); },
         [](auto& p) { p.setLastError("x"); },
         {F::lastError}},
        {"no error to clear", noop, [](auto& p) { p.clearLastError(); }, {}},
        {"error cleared",
         [](auto& p) { p.setLastError("x"); },
         [](auto& p) { p.clearLastError(); },
         {F::lastError}},
        {"channel",
         noop,
         [](auto& p) { p.setActiveChannel(HostChannel::usb); },
         {F::activeChannel}},
        {"notice", noop, [](auto& p) { p.publishNotice({}); }, {F::notice}},
        {"notice that still holds",
         [](auto& p) { p.publishNotice({}); },
         [](auto& p) { p.clearNotice([](const HostNotice&) { return false; }); },
         {}},
        {"notice gone",
         [](auto& p) { p.publishNotice({}); },
         [](auto& p) { p.clearNotice([](const HostNotice&) { return true; }); },
         {F::notice}},
        {"undiscoverable", noop, [](auto& p) { p.setDiscoverable(false); }, {F::discoverable}},
        {"ports, with the rest", noop, [](auto& p) { p.setPorts(50100, 50101); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostStatePublisher publisher;
        c.before(publisher);
        std::vector<F> told;
        publisher.subscribe([&](F f) { told.push_back(f); });
        c.act(publisher);
        EXPECT_EQ(told, c.told);
    }
}

TEST(HostStatePublisherTest, APinThatRanOutIsSaidToHaveExpiredUntilTheNextOne) {
    HostStatePublisher p;
    p.showPIN("123456", 60.0);
    EXPECT_EQ(p.state().pinExpiresAt, 60.0);
    p.hidePIN(/*expired=*/true);
    EXPECT_EQ(p.state().pairingPIN, std::nullopt);
    EXPECT_EQ(p.state().pinExpiresAt, std::nullopt);
    EXPECT_TRUE(p.state().pairingExpired);
    p.hidePIN(); // nothing shown: what was said stays
    EXPECT_TRUE(p.state().pairingExpired);
    p.showPIN("654321", 120.0);
    EXPECT_FALSE(p.state().pairingExpired);
    p.hidePIN();
    EXPECT_FALSE(p.state().pairingExpired) << "an ended window did not expire";
}

// An observer may subscribe and unsubscribe others, itself included, while it is told; the
// change it is told of reaches everyone subscribed when it happened.
TEST(HostStatePublisherTest, ObserversMayChangeTheObserversWhileTold) {
    HostStatePublisher p;
    std::vector<std::string> heard;
    HostStatePublisher::Token second = 0;
    HostStatePublisher::Token first = p.subscribe([&](F) {
        heard.push_back("first");
        p.unsubscribe(first);
        p.unsubscribe(second);
        p.subscribe([&](F) { heard.push_back("late"); });
    });
    second = p.subscribe([&](F) { heard.push_back("second"); });
    EXPECT_NE(first, 0u);
    p.setScreenLocked(true);
    p.setScreenLocked(false);
    EXPECT_EQ(heard, (std::vector<std::string>{"first", "second", "late"}));
}

} // namespace
