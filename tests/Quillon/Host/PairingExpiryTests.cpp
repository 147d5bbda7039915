// test-labels: coordinator
#include "Quillon/Host/PairingExpiry.hpp"

#include "Platform/Dispatch/MainQueue.hpp"

#include <gtest/gtest.h>

using namespace quillon;
using namespace std::chrono_literals;

namespace {

TEST(PairingExpiryTest, WhenAShownWindowIsOver) {
    const PairingSession::Open open{"123456", wire::Bytes(16, 1), 100.0};
    struct Case {
        const char* name;
        bool shown;
        PairingSession::State window;
        double now;
        bool over;
    };
    const Case cases[] = {
        {"running", true, open, 99.5, false},
        {"ran out", true, open, 100.0, true},
        {"closed by the transport", true, PairingSession::Idle{}, 50.0, true},
        {"no PIN shown", false, PairingSession::Idle{}, 50.0, false},
        {"no PIN shown, window past its time", false, open, 200.0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pairingWindowOver(c.shown, c.window, c.now), c.over) << c.name;
    }
}

// One timer for the host: it looks while a PIN is shown, ends the window once when it is over,
// and stops looking when the PIN goes some other way.
TEST(PairingExpiryTest, LooksWhileAPinIsShownAndEndsItOnce) {
    auto main = std::make_shared<platform::IoContextMainQueue>();
    bool shown = false;
    bool over = false;
    int looks = 0;
    int expired = 0;
    auto expiry = std::make_shared<PairingExpiry>(main,
                                                  PairingExpiry::Hooks{[&] {
                                                                           ++looks;
                                                                           return shown;
                                                                       },
                                                                       [&] { return over; },
                                                                       [&] {
                                                                           ++expired;
                                                                           shown = false;
                                                                       }},
                                                  10ms);
    shown = true;
    expiry->watch();
    expiry->watch(); // one timer
    main->runFor(55ms);
    EXPECT_EQ(expired, 0);
    const int looked = looks;
    EXPECT_GE(looked, 2);
    EXPECT_LE(looked, 6) << "two watches make one timer";
    over = true;
    EXPECT_TRUE(main->runUntil([&] { return expired == 1; }, 1s));
    main->runFor(50ms);
    EXPECT_EQ(expired, 1);

    // Ended some other way: the timer notices and stops.
    shown = true;
    over = false;
    expiry->watch();
    main->runFor(25ms);
    shown = false;
    main->runFor(25ms);
    const int settled = looks;
    main->runFor(50ms);
    EXPECT_EQ(looks, settled);
    EXPECT_EQ(expired, 1);
}

} // namespace
