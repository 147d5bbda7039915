// test-labels: coordinator
#include "Quillon/Host/LockPolicy.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quillon;

namespace {

using S = LockState;
using E = LockEvent;

TEST(LockPolicyTest, ThePlanForEachStateAndEvent) {
    struct Case {
        S state;
        E event;
        std::optional<LockPlan> plan;
    };
    const Case cases[] = {
        {S::unlocked, E::locked, LockPlan{true, true, false}},
        {S::locked, E::locked, std::nullopt},     // a repeated lock
        {S::unlocked, E::unlocked, std::nullopt}, // an unlock without a lock acted on
        {S::locked, E::unlocked, LockPlan{false, false, true}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lockPlan(c.state, c.event), c.plan)
            << (c.state == S::locked ? "locked" : "unlocked") << " + "
            << (c.event == E::locked ? "lock" : "unlock");
    }
}

TEST(LockPolicyTest, WhatTheLockForbids) {
    using O = GuardedOperation;
    struct Case {
        O operation;
        bool whileLocked;
    };
    const Case cases[] = {
        {O::openPairingWindow, false},
        {O::unpair, false},
        {O::endPairingWindow, true},
        {O::disconnect, true},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(lockPermits(S::unlocked, c.operation));
        EXPECT_EQ(lockPermits(S::locked, c.operation), c.whileLocked);
    }
}

// The steps in their order, and a host that cannot listen again stays locked.
TEST(LockPolicyTest, StepsRunInOrderAndAFailedResumeStaysLocked) {
    std::vector<std::string> steps;
    bool resumes = false;
    LockPolicy policy({[&](E e) { steps.push_back(e == E::locked ? "log lock" : "log unlock"); },
                       [&] { steps.push_back("stop input"); },
                       [&] { steps.push_back("drop transports"); },
                       [&] {
                           steps.push_back("resume transports");
                           return resumes;
                       },
                       [&](bool locked) { steps.push_back(locked ? "locked" : "unlocked"); }});
    policy.handle(E::unlocked); // nothing acted on
    policy.handle(E::locked);
    policy.handle(E::locked); // repeated
    EXPECT_EQ(steps,
              (std::vector<std::string>{"log lock", "locked", "stop input", "drop transports"}));
    EXPECT_FALSE(policy.permits(GuardedOperation::openPairingWindow));

    steps.clear();
    policy.handle(E::unlocked);
    EXPECT_EQ(steps, (std::vector<std::string>{"log unlock", "resume transports"}));
    EXPECT_EQ(policy.state(), S::locked);

    steps.clear();
    resumes = true;
    policy.handle(E::unlocked);
    EXPECT_EQ(steps, (std::vector<std::string>{"log unlock", "resume transports", "unlocked"}));
    EXPECT_EQ(policy.state(), S::unlocked);
    EXPECT_TRUE(policy.permits(GuardedOperation::unpair));
}

} // namespace
