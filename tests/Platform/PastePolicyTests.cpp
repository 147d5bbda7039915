// test-labels: injection
// When the pasted text gives way to the user's clipboard, and what the user gets back.
#include "Platform/Input/Clipboard/PastePolicy.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace quillon::platform::clipboard {
namespace {

using namespace std::chrono_literals;
using Time = PastePolicy::Time;

const Time t0{};

TEST(PastePolicy, ThePastedTextStaysForTheHoldUntilReadsAreQuietAndAtMostTheTimeout) {
    struct Case {
        const char* name;
        std::vector<std::chrono::milliseconds> reads; // of the pasted text, after the paste
        std::chrono::milliseconds notYet;             // still the paste then
        std::chrono::milliseconds due;                // the user's clipboard back by then
    };
    const Case cases[] = {
        {"no reads: the hold", {}, 999ms, 1000ms},
        {"a read late in the hold: quiet after it", {900ms}, 1199ms, 1200ms},
        {"reads early in the hold change nothing", {10ms, 20ms}, 999ms, 1000ms},
        {"reads that never stop: the timeout",
         {800ms, 1100ms, 1400ms, 1700ms, 2000ms, 2300ms, 2600ms, 2900ms},
         2999ms,
         3000ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PastePolicy p;
        ASSERT_TRUE(p.needsUsersClipboard());
        p.beginPaste("é", textContent("the user's"), t0);
        for (const auto r : c.reads) {
            p.pasteRead(t0 + r);
        }
        EXPECT_FALSE(p.restoreDue(t0 + c.notYet));
        EXPECT_EQ(p.offered()->front().second, "é");
        ASSERT_TRUE(p.nextCheck());
        EXPECT_LE(*p.nextCheck(), t0 + c.due);
        EXPECT_TRUE(p.restoreDue(t0 + c.due));
        EXPECT_EQ(p.restore(), textContent("the user's"));
        EXPECT_EQ(p.state(), PastePolicy::State::restored);
        EXPECT_FALSE(p.restoreDue(t0 + 1h));
    }
}

// A paste whose text nobody has read yet must not be overtaken by the next one: its paste keys
// would read the later text.
TEST(PastePolicy, APasteAwaitsItsReadBeforeTheNextTextTakesItsPlace) {
    PastePolicy p;
    EXPECT_FALSE(p.awaitingRead());
    p.beginPaste("first", std::nullopt, t0);
    EXPECT_TRUE(p.awaitingRead());
    p.pasteRead(t0 + 5ms);
    EXPECT_FALSE(p.awaitingRead());
    p.beginPaste("second", std::nullopt, t0 + 10ms);
    EXPECT_TRUE(p.awaitingRead());
    p.someoneCopied(); // someone else's clipboard now: nothing of ours to wait for
    EXPECT_FALSE(p.awaitingRead());
    p.beginPaste("third", std::nullopt, t0 + 20ms);
    ASSERT_TRUE(p.restoreDue(t0 + 2s)); // never read: the hold ends it
    p.restore();
    EXPECT_FALSE(p.awaitingRead());
}

TEST(UsersClipboard, AReadCountsOnlyForTheSelectionItWasMadeOf) {
    UsersClipboard u;
    EXPECT_TRUE(u.readDue());
    const auto first = u.startRead();
    EXPECT_FALSE(u.readDue()); // under way
    u.selectionChanged();      // someone copied meanwhile
    u.finishRead(first, textContent("stale"));
    EXPECT_FALSE(u.ready());
    EXPECT_TRUE(u.readDue());
    u.finishRead(u.startRead(), textContent("current"));
    ASSERT_TRUE(u.ready());
    EXPECT_EQ(u.content(), textContent("current"));
    u.selectionChanged();
    u.empty(); // the clipboard was cleared: nothing to read
    EXPECT_TRUE(u.ready());
    EXPECT_FALSE(u.content());
}

TEST(PastePolicy, WhatTheUserGetsBack) {
    const Content image = {{"image/png", std::string("\x89PNG", 4)}, {"text/plain", "alt"}};
    struct Case {
        const char* name;
        std::function<void(PastePolicy&)> steps;
        std::optional<Content> back; // nothing: no restore at all
    };
    const Case cases[] = {
        {"every type it was offered in", [&](PastePolicy& p) { p.beginPaste("x", image, t0); },
         image},
        {"an empty text when it held nothing: never the pasted text",
         [](PastePolicy& p) { p.beginPaste("secret", std::nullopt, t0); }, textContent("")},
        {"nothing over a copy made meanwhile",
         [](PastePolicy& p) {
             p.beginPaste("x", textContent("old"), t0);
             p.someoneCopied();
         },
         std::nullopt},
        {"a second paste before the restore keeps the first one's clipboard",
         [](PastePolicy& p) {
             p.beginPaste("a", textContent("user"), t0);
             EXPECT_FALSE(p.needsUsersClipboard());
             p.beginPaste("b", std::nullopt, t0 + 100ms);
         },
         textContent("user")},
        {"a paste after a restore keeps what was restored",
         [](PastePolicy& p) {
             p.beginPaste("a", textContent("user"), t0);
             p.restore();
             EXPECT_FALSE(p.needsUsersClipboard());
             p.beginPaste("b", std::nullopt, t0 + 5s);
         },
         textContent("user")},
        {"a read of the user's clipboard that ends after the paste still counts",
         [](PastePolicy& p) {
             p.beginPaste("x", std::nullopt, t0, false);
             p.usersArrived(textContent("read late"));
             p.usersArrived(textContent("not twice"));
         },
         textContent("read late")},
        {"one that ends after the restore does not",
         [](PastePolicy& p) {
             p.beginPaste("x", std::nullopt, t0, false);
             p.restore();
             p.usersArrived(textContent("too late"));
             p.beginPaste("y", std::nullopt, t0 + 5s);
         },
         textContent("")},
        {"after a copy the next paste reads the clipboard again",
         [](PastePolicy& p) {
             p.beginPaste("a", textContent("user"), t0);
             p.restore();
             p.someoneCopied();
             EXPECT_TRUE(p.needsUsersClipboard());
             EXPECT_EQ(p.offered(), nullptr);
             p.beginPaste("b", textContent("newer"), t0 + 5s);
         },
         textContent("newer")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PastePolicy p;
        c.steps(p);
        if (!c.back) {
            EXPECT_FALSE(p.restoreDue(t0 + 1h));
            EXPECT_EQ(p.state(), PastePolicy::State::foreign);
            continue;
        }
        ASSERT_TRUE(p.restoreDue(t0 + 1h));
        EXPECT_EQ(p.restore(), *c.back);
    }
}

} // namespace
} // namespace quillon::platform::clipboard
