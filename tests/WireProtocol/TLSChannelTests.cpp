// test-labels: wire
#include "WireProtocol/TLSChannel.hpp"

#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace quillon::wire;
using Handshake = TLSChannel::Handshake;

namespace {

// Two engines wired back to back in memory: what one takes, the other is fed.
struct Pair {
    Pair(const SymmetricKey& serverKey, const SymmetricKey& clientKey,
         std::string_view identity = ServiceConstants::sessionIdentity)
        : serverCtx(PSKParameters::make(serverKey, identity, PSKParameters::Role::server)),
          clientCtx(PSKParameters::make(clientKey, identity, PSKParameters::Role::client)),
          server(serverCtx, PSKParameters::Role::server),
          client(clientCtx, PSKParameters::Role::client) {}

    static void carry(TLSChannel& from, TLSChannel& to) {
        Bytes bytes;
        from.takeCiphertext(bytes);
        to.feed(bytes);
    }

    // Runs both handshakes to an end; the server's result.
    Handshake handshake() {
        Handshake s = Handshake::inProgress;
        for (int round = 0; round < 8; ++round) {
            const Handshake c = client.handshake();
            carry(client, server);
            s = server.handshake();
            carry(server, client);
            if (s != Handshake::inProgress &&
                (c != Handshake::inProgress || s != Handshake::done)) {
                break;
            }
        }
        client.handshake(); // reads the server's last flight
        return s;
    }

    SSLContextPtr serverCtx, clientCtx;
    TLSChannel server, client;
};

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

TEST(TLSChannelTest, HandshakeThenRecordsOfOneReadComeOutTogether) {
    const auto key = PSKProvider::sessionKey(PSKProvider::randomBytes(32));
    Pair p(key, key);
    Bytes plain;
    EXPECT_FALSE(p.server.write(text("early"))) << "nothing is sent before the handshake";
    EXPECT_FALSE(p.server.readPlaintext(plain));
    ASSERT_EQ(p.handshake(), Handshake::done);
    ASSERT_TRUE(p.client.established());
    EXPECT_EQ(p.server.handshake(), Handshake::done) << "stays done";

    // Three records, fed as one read: one call returns all of them.
    for (const char* part : {"one ", "two ", "three"}) {
        ASSERT_TRUE(p.client.write(text(part)));
    }
    Bytes ciphertext;
    p.client.takeCiphertext(ciphertext);
    EXPECT_EQ(p.client.pendingCiphertext(), 0u);
    // All but the last byte: the third record waits for it.
    p.server.feed(ByteView(ciphertext.data(), ciphertext.size() - 1));
    ASSERT_TRUE(p.server.readPlaintext(plain));
    EXPECT_EQ(plain, text("one two "));
    p.server.feed(ByteView(ciphertext.data() + ciphertext.size() - 1, 1));
    ASSERT_TRUE(p.server.readPlaintext(plain));
    EXPECT_EQ(plain, text("one two three"));
    EXPECT_EQ(p.server.bufferedCiphertext(), 0u);

    // Larger than one record, the other way.
    const Bytes big(100000, 0x5A);
    ASSERT_TRUE(p.server.write(big));
    Pair::carry(p.server, p.client);
    Bytes received;
    ASSERT_TRUE(p.client.readPlaintext(received));
    EXPECT_EQ(received, big);

    // close_notify ends the reading side; what came before it is still returned.
    ASSERT_TRUE(p.client.write(text("last")));
    p.client.shutdown();
    Pair::carry(p.client, p.server);
    plain.clear();
    EXPECT_FALSE(p.server.readPlaintext(plain));
    EXPECT_EQ(plain, text("last"));
}

TEST(TLSChannelTest, WrongKeysAndGarbageFailTheHandshake) {
    const auto salt = PSKProvider::randomBytes(16);
    {
        Pair p(PSKProvider::pairingKey("123456", salt), PSKProvider::pairingKey("654321", salt),
               ServiceConstants::pairingIdentity);
        EXPECT_EQ(p.handshake(), Handshake::wrongKey);
        EXPECT_FALSE(p.server.established());
    }
    {
        const auto key = PSKProvider::sessionKey(PSKProvider::randomBytes(32));
        const auto ctx = PSKParameters::make(key, ServiceConstants::sessionIdentity,
                                             PSKParameters::Role::server);
        TLSChannel server(ctx, PSKParameters::Role::server);
        EXPECT_EQ(server.handshake(), Handshake::inProgress);
        const Bytes garbage = text("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        server.feed(garbage);
        EXPECT_EQ(server.handshake(), Handshake::failed);
        Bytes plain;
        EXPECT_FALSE(server.readPlaintext(plain));
        EXPECT_TRUE(plain.empty());
    }
}

} // namespace
