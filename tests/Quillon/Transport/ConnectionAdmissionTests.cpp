// test-labels: transport
#include "Quillon/Transport/ConnectionAdmission.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace quillon {
namespace {

using Progress = ConnectionAdmission::Progress;
using Ticket = ConnectionAdmission::Ticket;
using Tickets = std::vector<Ticket>;

TEST(ConnectionAdmission, SourceKeys) {
    struct Case {
        const char* address;
        const char* source;
    };
    for (const Case c : {
             Case{"192.0.2.7", "192.0.2.7"},
             Case{"::ffff:192.0.2.7", "192.0.2.7"},
             Case{"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"},
             Case{"2001:db8:1:2::1", "2001:db8:1:2::/64"},
             Case{"2001:db8:1:3::1", "2001:db8:1:3::/64"},
             Case{"fe80::1", "fe80::/64"},
             Case{"::1", "::/64"},
             Case{"", ""},
             Case{"not an address", "not an address"},
         }) {
        EXPECT_EQ(ConnectionAdmission::sourceOf(c.address), c.source) << c.address;
    }
}

// Who is evicted to make room, for a newcomer from "N" into a full table (total 4). Each case
// fills the table in order with (source, progress); the expected victim is an index into that.
TEST(ConnectionAdmission, VictimWhenTableIsFull) {
    struct Waiting {
        const char* source;
        Progress progress;
    };
    struct Case {
        const char* name;
        std::vector<Waiting> table;
        std::size_t victim;
    };
    const std::vector<Case> cases = {
        {"all equal: oldest",
         {{"a", Progress::connected},
          {"b", Progress::connected},
          {"c", Progress::connected},
          {"d", Progress::connected}},
         0},
        {"the source holding the most, even when its entries are younger",
         {{"a", Progress::connected},
          {"b", Progress::connected},
          {"b", Progress::handshakeDone},
          {"b", Progress::connected}},
         1},
        {"least progress before age",
         {{"a", Progress::handshaking},
          {"b", Progress::framing},
          {"c", Progress::connected},
          {"d", Progress::handshakeDone}},
         2},
        {"a real client's ClientHello outlives newer idle connections",
         {{"real", Progress::handshaking},
          {"x", Progress::connected},
          {"y", Progress::connected},
          {"z", Progress::connected}},
         1},
        {"within the biggest source: least progress, then oldest",
         {{"a", Progress::handshaking},
          {"a", Progress::connected},
          {"a", Progress::connected},
          {"b", Progress::connected}},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectionAdmission table({4, 4});
        Tickets tickets;
        for (const auto& w : c.table) {
            const auto d = table.admit(w.source);
            ASSERT_TRUE(d.evicted.empty());
            table.advance(d.ticket, w.progress);
            tickets.push_back(d.ticket);
        }
        const auto d = table.admit("N");
        EXPECT_EQ(d.evicted, Tickets{tickets[c.victim]});
        EXPECT_EQ(table.size(), 4U);
        EXPECT_TRUE(table.contains(d.ticket));
        EXPECT_FALSE(table.contains(tickets[c.victim]));
    }
}

TEST(ConnectionAdmission, SourceAtItsShareDisplacesItsOwnOldest) {
    ConnectionAdmission table({10, 2});
    const auto other = table.admit("b").ticket;
    const auto first = table.admit("a").ticket;
    const auto second = table.admit("a").ticket;
    table.advance(first, Progress::handshaking);
    const auto third = table.admit("a");
    EXPECT_EQ(third.evicted, Tickets{second}); // less progress than the older one
    EXPECT_EQ(table.waitingFrom("a"), 2U);
    EXPECT_TRUE(table.contains(other));
    EXPECT_TRUE(table.contains(first));
    EXPECT_EQ(table.size(), 3U);
}

TEST(ConnectionAdmission, ProgressNeverGoesBackAndUnknownTicketsAreIgnored) {
    ConnectionAdmission table({2, 2});
    const auto a = table.admit("a").ticket;
    const auto b = table.admit("b").ticket;
    table.advance(a, Progress::framing);
    table.advance(a, Progress::connected); // ignored
    table.advance(999, Progress::framing);
    table.release(999);
    EXPECT_EQ(table.admit("c").evicted, Tickets{b});
    table.release(a);
    table.release(a);
    EXPECT_EQ(table.size(), 1U);
    EXPECT_EQ(table.waitingFrom("a"), 0U);
}

// The floods of the field report, replayed on the bookkeeping: attackers reopen as fast as
// they are closed, a real client says hello in between. The real connection must never be the
// one evicted while it waits (its ClientHello arrives before the next attacker's connection).
TEST(ConnectionAdmission, FloodsNeverDisplaceTheRealClient) {
    struct Case {
        const char* name;
        std::vector<std::string> attackers;
        std::string real;
    };
    std::vector<std::string> four, sixtyThree, fortyV6;
    for (int i = 0; i < 4; ++i) {
        four.push_back(ConnectionAdmission::sourceOf("127.0.0." + std::to_string(10 + i)));
    }
    for (int i = 0; i < 63; ++i) {
        sixtyThree.push_back(ConnectionAdmission::sourceOf("127.0.1." + std::to_string(10 + i)));
    }
    for (int i = 0; i < 40; ++i) {
        fortyV6.push_back(ConnectionAdmission::sourceOf("fd00::" + std::to_string(100 + i)));
    }
    const std::vector<Case> cases = {
        {"four addresses", four, ConnectionAdmission::sourceOf("127.0.0.2")},
        {"sixty-three addresses", sixtyThree, ConnectionAdmission::sourceOf("127.0.0.2")},
        {"forty addresses of one /64", fortyV6, ConnectionAdmission::sourceOf("fd01::2")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectionAdmission table({32, 8});
        std::size_t next = 0;
        const auto attack = [&](int connections) {
            for (int i = 0; i < connections; ++i) {
                table.admit(c.attackers[next++ % c.attackers.size()]);
            }
        };
        attack(500);
        for (int attempt = 0; attempt < 10; ++attempt) {
            const auto real = table.admit(c.real).ticket;
            ASSERT_TRUE(table.contains(real));
            attack(3); // before the ClientHello is read
            ASSERT_TRUE(table.contains(real)) << "attempt " << attempt;
            table.advance(real, Progress::handshaking);
            attack(500); // the handshake and hello take a few round trips
            ASSERT_TRUE(table.contains(real)) << "attempt " << attempt;
            table.release(real); // admitted
            EXPECT_LE(table.size(), 32U);
        }
    }
}

} // namespace
} // namespace quillon
