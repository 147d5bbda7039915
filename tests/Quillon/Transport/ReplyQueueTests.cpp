// test-labels: transport
#include "Quillon/Transport/ReplyQueue.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace quillon {
namespace {

using Verdict = ReplyQueue::Verdict;

// Each step pushes a reply (bytes > 0 or a zero-length one with push) or records bytes sent.
TEST(ReplyQueue, Sequences) {
    struct Step {
        enum { push, sent } what;
        std::size_t bytes;
        Verdict verdict; // push only
        std::size_t queuedBytes;
        std::size_t queuedReplies;
    };
    struct Case {
        const char* name;
        ReplyQueue::Limits limits;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"within the cap",
         {100, 3},
         {{Step::push, 40, Verdict::queued, 40, 1}, {Step::push, 60, Verdict::queued, 100, 2}}},
        {"a byte over the cap overflows and queues nothing",
         {100, 3},
         {{Step::push, 40, Verdict::queued, 40, 1}, {Step::push, 61, Verdict::overflow, 40, 1}}},
        {"the count cap",
         {1000, 2},
         {{Step::push, 1, Verdict::queued, 1, 1},
          {Step::push, 1, Verdict::queued, 2, 2},
          {Step::push, 1, Verdict::overflow, 2, 2}}},
        {"one oversized reply into an empty queue still goes",
         {100, 3},
         {{Step::push, 5000, Verdict::queued, 5000, 1},
          {Step::push, 1, Verdict::overflow, 5000, 1}}},
        {"partial sends keep a reply counted until its last byte",
         {100, 3},
         {{Step::push, 50, Verdict::queued, 50, 1},
          {Step::push, 30, Verdict::queued, 80, 2},
          {Step::sent, 49, Verdict::queued, 31, 2},
          {Step::sent, 1, Verdict::queued, 30, 1},
          {Step::push, 70, Verdict::queued, 100, 2}}},
        {"sent beyond what is queued (handshake bytes) empties it",
         {100, 3},
         {{Step::push, 10, Verdict::queued, 10, 1}, {Step::sent, 500, Verdict::queued, 0, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReplyQueue queue(c.limits);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const auto& s = c.steps[i];
            if (s.what == Step::push) {
                EXPECT_EQ(queue.push(s.bytes), s.verdict) << "step " << i;
            } else {
                queue.sent(s.bytes);
            }
            EXPECT_EQ(queue.bytes(), s.queuedBytes) << "step " << i;
            EXPECT_EQ(queue.replies(), s.queuedReplies) << "step " << i;
        }
    }
}

// A peer that never reads: whatever it asks for, the queue stays within its cap.
TEST(ReplyQueue, PeerThatNeverReadsIsBounded) {
    ReplyQueue queue({8 << 20, 1024});
    std::size_t pushes = 0;
    while (queue.push(65000) == Verdict::queued) {
        ++pushes;
        ASSERT_LT(pushes, 13000U);
    }
    EXPECT_LE(queue.bytes(), std::size_t{8} << 20);
    queue.clear();
    EXPECT_EQ(queue.bytes(), 0U);
    EXPECT_EQ(queue.replies(), 0U);
}

} // namespace
} // namespace quillon
