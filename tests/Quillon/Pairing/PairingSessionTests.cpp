// test-labels: pairing
#include "Quillon/Pairing/PairingSession.hpp"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using Open = PairingSession::Open;

// A realistic wall-clock time with a fraction, so that T + 60 is computed in the same binade
// as real use.
constexpr double T = 1765360000.25;
const wire::Bytes kSalt{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                        0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10};

PairingSession openedAt(double t, std::string pin = "012345") {
    PairingSession session;
    session.open(std::move(pin), kSalt, t);
    return session;
}

TEST(PairingSession, NewSessionIsIdleAndAnswersNothing) {
    PairingSession session;
    EXPECT_FALSE(session.isOpen());
    EXPECT_EQ(session.state(), PairingSession::State(PairingSession::Idle{}));
    EXPECT_EQ(session.activeCredential(0), std::nullopt);
    EXPECT_EQ(session.activeCredential(T), std::nullopt);
}

TEST(PairingSession, OpenKeepsPinWithLeadingZeroAndSaltAndExpiresSixtySecondsLater) {
    const auto session = openedAt(T);
    EXPECT_EQ(session.state(), PairingSession::State(Open{"012345", kSalt, T + 60.0, 0}));
}

// The window is usable strictly before expiresAt; prune and activeCredential agree at every
// instant.
TEST(PairingSession, WindowBoundaryIsExactlySixtySeconds) {
    struct Case {
        double offset;
        bool usable;
    };
    for (const Case c : {Case{0.0, true}, Case{30.0, true}, Case{59.999, true}, Case{60.0, false},
                         Case{60.001, false}, Case{3600.0, false}}) {
        SCOPED_TRACE(c.offset);
        auto session = openedAt(T);
        const auto credential = session.activeCredential(T + c.offset);
        EXPECT_EQ(credential.has_value(), c.usable);
        if (credential) {
            EXPECT_EQ(credential->first, "012345");
            EXPECT_EQ(credential->second, kSalt);
        }
        EXPECT_TRUE(session.isOpen()) << "activeCredential must not change the state";

        session.prune(T + c.offset);
        EXPECT_EQ(session.isOpen(), c.usable);
        EXPECT_EQ(session.activeCredential(T + c.offset).has_value(), c.usable);
    }
}

TEST(PairingSession, FailuresCountUpAndTheThirdClosesWithoutExtendingTheWindow) {
    auto session = openedAt(T);
    session.recordFailure(T + 1);
    EXPECT_EQ(session.state(), PairingSession::State(Open{"012345", kSalt, T + 60.0, 1}));
    session.recordFailure(T + 50);
    EXPECT_EQ(session.state(), PairingSession::State(Open{"012345", kSalt, T + 60.0, 2}));
    // Failures are ignored by activeCredential.
    EXPECT_TRUE(session.activeCredential(T + 59).has_value());
    session.recordFailure(T + 59.999);
    EXPECT_FALSE(session.isOpen());
    EXPECT_EQ(session.activeCredential(T + 1), std::nullopt);
}

TEST(PairingSession, FailureAtOrAfterExpiryClosesWithoutCountingAndIdleIgnoresIt) {
    for (double at : {T + 60.0, T + 120.0}) {
        auto session = openedAt(T);
        session.recordFailure(at);
        EXPECT_FALSE(session.isOpen()) << at - T;
    }
    PairingSession idle;
    idle.recordFailure(T);
    EXPECT_FALSE(idle.isOpen());
}

TEST(PairingSession, ReopeningReplacesEverythingAndResetsFailures) {
    auto session = openedAt(T);
    session.recordFailure(T + 1);
    session.recordFailure(T + 2);
    const wire::Bytes otherSalt(16, 0xee);
    session.open("999999", otherSalt, T + 40);
    EXPECT_EQ(session.state(), PairingSession::State(Open{"999999", otherSalt, T + 100.0, 0}));
    // The new window is usable past the old expiry and allows three new failures.
    EXPECT_TRUE(session.activeCredential(T + 70).has_value());
    session.recordFailure(T + 71);
    session.recordFailure(T + 72);
    EXPECT_TRUE(session.isOpen());
}

TEST(PairingSession, SuccessAndCloseEndTheWindowAndAreHarmlessWhenIdle) {
    for (bool success : {true, false}) {
        auto session = openedAt(T);
        success ? session.recordSuccess() : session.close();
        EXPECT_FALSE(session.isOpen());
        EXPECT_EQ(session.activeCredential(T), std::nullopt);
        success ? session.recordSuccess() : session.close();
        EXPECT_FALSE(session.isOpen());
    }
}

TEST(PairingSession, EqualityComparesEveryValueOfTheOpenState) {
    const Open base{"123456", kSalt, T, 1};
    EXPECT_EQ(PairingSession::State(base), PairingSession::State(base));
    auto failures = base;
    failures.failedAttempts = 2;
    auto salt = base;
    salt.salt.back() ^= 0x01;
    auto expiry = base;
    expiry.expiresAt = T + 1e-6;
    auto pin = base;
    pin.pin = "123457";
    for (const auto& other : {failures, salt, expiry, pin}) {
        EXPECT_NE(PairingSession::State(base), PairingSession::State(other));
    }
    EXPECT_NE(PairingSession::State(base), PairingSession::State(PairingSession::Idle{}));
}

TEST(PairingSession, CopiesAreIndependentValues) {
    auto session = openedAt(T);
    const PairingSession copy = session;
    session.close();
    EXPECT_TRUE(copy.isOpen());
}

} // namespace
} // namespace quillon
