// test-labels: wire
// test-timeout: 120
#include "WireProtocol/PSKParameters.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace quillon::wire;
using quillon::testing::ChildProcess;
using quillon::testing::TempDir;

namespace {

constexpr const char* kSession = "corvane";
constexpr const char* kPairing = "corvane-pair";

class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(Socket&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    int get() const { return fd_; }

private:
    int fd_;
};

void setTimeouts(int fd) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A listener on 127.0.0.1 with a port the system picks.
Socket listenLoopback(std::uint16_t& port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(s.get(), 4) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    setTimeouts(s.get()); // accept() gives up too, should the peer never come
    socklen_t len = sizeof addr;
    ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return s;
}

Socket connectLoopback(std::uint16_t port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("cannot connect on loopback");
    }
    return s;
}

struct Outcome {
    bool handshake = false;
    bool sound = false;     // PSKParameters::handshakeIsSound
    bool exchanged = false; // application data went both ways
    std::string cipher;
    std::string version;
    int group = 0; // NID of the (EC)DHE group, 0 when none
    bool pskUsed = false;
    int ticketsReceived = 0;
    Bytes clientHello;
    std::string error;
};

// Records what the peer sends (tickets) and what we send (the ClientHello).
void observe(int writeP, int /*version*/, int contentType, const void* buf, std::size_t len,
             SSL* /*ssl*/, void* arg) {
    auto* out = static_cast<Outcome*>(arg);
    if (contentType != SSL3_RT_HANDSHAKE || len == 0) {
        return;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buf);
    if (!writeP && bytes[0] == SSL3_MT_NEWSESSION_TICKET) {
        ++out->ticketsReceived;
    }
    if (writeP && bytes[0] == SSL3_MT_CLIENT_HELLO && out->clientHello.empty()) {
        out->clientHello.assign(bytes, bytes + len);
    }
}

std::string drainErrors() {
    std::string text;
    while (const unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        text += buf;
        text += ' ';
    }
    return text;
}

void describe(SSL* ssl, Outcome& out) {
    out.cipher = SSL_get_cipher_name(ssl);
    out.version = SSL_get_version(ssl);
    out.group = SSL_get_negotiated_group(ssl);
    out.pskUsed = SSL_session_reused(ssl) == 1;
    out.sound = PSKParameters::handshakeIsSound(ssl);
}

// The server end: accept one connection, handshake, send "ping", expect "pong".
Outcome serve(SSL_CTX* ctx, int listenFd) {
    Outcome out;
    Socket conn(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
    if (conn.get() < 0) {
        out.error = "no connection arrived";
        return out;
    }
    setTimeouts(conn.get());
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx), SSL_free);
    SSL_set_fd(ssl.get(), conn.get());
    SSL_set_msg_callback(ssl.get(), observe);
    SSL_set_msg_callback_arg(ssl.get(), &out);
    if (SSL_accept(ssl.get()) != 1) {
        out.error = drainErrors();
        return out;
    }
    out.handshake = true;
    describe(ssl.get(), out);
    char buf[16] = {};
    out.exchanged = SSL_write(ssl.get(), "ping", 4) == 4 &&
                    SSL_read(ssl.get(), buf, sizeof buf) >= 4 && std::string(buf, 4) == "pong";
    SSL_shutdown(ssl.get());
    return out;
}

Outcome connectAndTalk(SSL_CTX* ctx, std::uint16_t port) {
    Outcome out;
    Socket conn = connectLoopback(port);
    setTimeouts(conn.get());
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx), SSL_free);
    SSL_set_fd(ssl.get(), conn.get());
    SSL_set_msg_callback(ssl.get(), observe);
    SSL_set_msg_callback_arg(ssl.get(), &out);
    if (SSL_connect(ssl.get()) != 1) {
        out.error = drainErrors();
        return out;
    }
    out.handshake = true;
    describe(ssl.get(), out);
    char buf[16] = {};
    // Reading first lets any NewSessionTicket the server sent reach the message callback.
    out.exchanged = SSL_read(ssl.get(), buf, sizeof buf) == 4 && std::string(buf, 4) == "ping" &&
                    SSL_write(ssl.get(), "pong", 4) == 4;
    SSL_shutdown(ssl.get());
    return out;
}

struct Pair {
    Outcome server, client;
};

Pair handshake(SSL_CTX* serverCtx, SSL_CTX* clientCtx) {
    std::uint16_t port = 0;
    Socket listener = listenLoopback(port);
    auto server = std::async(std::launch::async, [&] { return serve(serverCtx, listener.get()); });
    Pair result;
    result.client = connectAndTalk(clientCtx, port);
    result.server = server.get();
    return result;
}

SymmetricKey sessionKeyOf(std::uint8_t fill) {
    return PSKProvider::sessionKey(Bytes(32, fill));
}

std::string hex(const SymmetricKey& key) {
    std::string out;
    char buf[3];
    for (auto b : key) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

// Extensions of a ClientHello handshake message: type -> body.
std::vector<std::pair<std::uint16_t, Bytes>> extensionsOf(const Bytes& hello) {
    std::vector<std::pair<std::uint16_t, Bytes>> out;
    std::size_t p = 4 + 2 + 32; // header, legacy version, random
    auto u16 = [&](std::size_t at) {
        return static_cast<std::size_t>(hello.at(at) << 8 | hello.at(at + 1));
    };
    p += 1 + hello.at(p); // session id
    p += 2 + u16(p);      // cipher suites
    p += 1 + hello.at(p); // compression methods
    const std::size_t end = p + 2 + u16(p);
    p += 2;
    while (p + 4 <= end) {
        const auto type = static_cast<std::uint16_t>(u16(p));
        const std::size_t len = u16(p + 2);
        out.emplace_back(type, Bytes(hello.begin() + p + 4, hello.begin() + p + 4 + len));
        p += 4 + len;
    }
    return out;
}

Bytes cipherSuitesOf(const Bytes& hello) {
    std::size_t p = 4 + 2 + 32;
    p += 1 + hello.at(p);
    const std::size_t len = static_cast<std::size_t>(hello.at(p) << 8 | hello.at(p + 1));
    return Bytes(hello.begin() + p + 2, hello.begin() + p + 2 + len);
}

TEST(PSKParameters, LoopbackHandshakes) {
    const SymmetricKey key = sessionKeyOf(0x11);
    const SymmetricKey otherKey = sessionKeyOf(0x12);
    const SymmetricKey pairingKey = PSKProvider::pairingKey("123456", Bytes(16, 0x01));
    struct Case {
        const char* name;
        const SymmetricKey& serverKey;
        const char* serverIdentity;
        const SymmetricKey& clientKey;
        const char* clientIdentity;
        bool succeeds;
    };
    const Case cases[] = {
        {"same key and identity", key, kSession, key, kSession, true},
        {"pairing listener", pairingKey, kPairing, pairingKey, kPairing, true},
        {"different key", key, kSession, otherKey, kSession, false},
        {"different identity", key, kSession, key, kPairing, false},
        {"pairing key on the session listener", key, kSession, pairingKey, kSession, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto serverCtx =
            PSKParameters::make(c.serverKey, c.serverIdentity, PSKParameters::Role::server);
        auto clientCtx =
            PSKParameters::make(c.clientKey, c.clientIdentity, PSKParameters::Role::client);
        const Pair r = handshake(serverCtx.get(), clientCtx.get());
        EXPECT_EQ(r.server.handshake, c.succeeds) << r.server.error;
        EXPECT_EQ(r.client.handshake, c.succeeds) << r.client.error;
        if (!c.succeeds) {
            continue;
        }
        EXPECT_TRUE(r.server.exchanged);
        EXPECT_TRUE(r.client.exchanged);
        for (const Outcome* side : {&r.server, &r.client}) {
            EXPECT_EQ(side->version, "TLSv1.3");
            EXPECT_EQ(side->cipher, "TLS_AES_128_GCM_SHA256");
            EXPECT_TRUE(side->pskUsed);
            EXPECT_NE(side->group, 0) << "no (EC)DHE share: the session has no forward secrecy";
            EXPECT_TRUE(side->sound);
        }
        EXPECT_EQ(r.client.ticketsReceived, 0);
    }
}

// What the client puts on the wire: one suite, only the DHE PSK mode, no early data.
TEST(PSKParameters, ClientHelloOffersOnlyWhatIsAllowed) {
    const SymmetricKey key = sessionKeyOf(0x21);
    auto serverCtx = PSKParameters::make(key, kSession, PSKParameters::Role::server);
    auto clientCtx = PSKParameters::make(key, kSession, PSKParameters::Role::client);
    const Pair r = handshake(serverCtx.get(), clientCtx.get());
    ASSERT_TRUE(r.client.handshake) << r.client.error;
    const Bytes& hello = r.client.clientHello;
    ASSERT_FALSE(hello.empty());
    // TLS_AES_128_GCM_SHA256 and nothing else (00 FF is the renegotiation signal, not a suite).
    EXPECT_EQ(cipherSuitesOf(hello), (Bytes{0x13, 0x01, 0x00, 0xFF}));
    std::optional<Bytes> kexModes, versions;
    bool earlyData = false, preSharedKey = false, ticketExt = false;
    for (const auto& [type, body] : extensionsOf(hello)) {
        if (type == 0x002D) {
            kexModes = body;
        } else if (type == 0x002B) {
            versions = body;
        } else if (type == 0x002A) {
            earlyData = true;
        } else if (type == 0x0029) {
            preSharedKey = true;
        } else if (type == 0x0023) {
            ticketExt = true; // session_ticket (TLS 1.2 tickets)
        }
    }
    EXPECT_EQ(kexModes, (Bytes{0x01, 0x01}));       // one mode: psk_dhe_ke
    EXPECT_EQ(versions, (Bytes{0x02, 0x03, 0x04})); // TLS 1.3 only
    EXPECT_TRUE(preSharedKey);
    EXPECT_FALSE(earlyData);
    EXPECT_FALSE(ticketExt);
}

// The "no ticket" check can see tickets: the same server with tickets switched back on sends
// some.
TEST(PSKParameters, TicketObservationWorks) {
    const SymmetricKey key = sessionKeyOf(0x31);
    auto serverCtx = PSKParameters::make(key, kSession, PSKParameters::Role::server);
    auto clientCtx = PSKParameters::make(key, kSession, PSKParameters::Role::client);
    SSL_CTX_clear_options(serverCtx.get(), SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(serverCtx.get(), 2);
    const Pair r = handshake(serverCtx.get(), clientCtx.get());
    ASSERT_TRUE(r.client.exchanged) << r.client.error;
    EXPECT_GT(r.client.ticketsReceived, 0);
}

// A server without the key that presents a certificate instead must not get through to our
// client. The permissive client shows the rogue server itself is a working TLS 1.3 server.
TEST(PSKParameters, ClientRejectsACertificateInPlaceOfThePSK) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    ASSERT_TRUE(pkey && cert);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), pkey.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("rogue"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    ASSERT_GT(X509_sign(cert.get(), pkey.get(), EVP_sha256()), 0);

    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> rogue(SSL_CTX_new(TLS_server_method()),
                                                            SSL_CTX_free);
    ASSERT_EQ(SSL_CTX_use_certificate(rogue.get(), cert.get()), 1);
    ASSERT_EQ(SSL_CTX_use_PrivateKey(rogue.get(), pkey.get()), 1);
    SSL_CTX_set_min_proto_version(rogue.get(), TLS1_3_VERSION);

    auto ours = PSKParameters::make(sessionKeyOf(0x41), kSession, PSKParameters::Role::client);
    const Pair rejected = handshake(rogue.get(), ours.get());
    EXPECT_FALSE(rejected.client.handshake);

    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> permissive(SSL_CTX_new(TLS_client_method()),
                                                                 SSL_CTX_free);
    SSL_CTX_set_verify(permissive.get(), SSL_VERIFY_NONE, nullptr);
    const Pair accepted = handshake(rogue.get(), permissive.get());
    EXPECT_TRUE(accepted.client.handshake) << accepted.client.error;
    EXPECT_FALSE(accepted.client.sound); // a certificate handshake is not a PSK one
}

TEST(PSKParameters, ContextOutlivesItsHandleWhileConnectionsExist) {
    auto ctx = PSKParameters::make(sessionKeyOf(0x51), kSession, PSKParameters::Role::client);
    SSL* ssl = SSL_new(ctx.get());
    ASSERT_NE(ssl, nullptr);
    ctx.reset(); // the connection still holds a reference; its key must stay valid
    SSL_free(ssl);
    EXPECT_THROW(PSKParameters::make(sessionKeyOf(0x51), "", PSKParameters::Role::server),
                 std::invalid_argument);
}

TEST(PSKParameters, ConfigureSocketTurnsNagleOff) {
    std::uint16_t port = 0;
    Socket listener = listenLoopback(port);
    Socket client = connectLoopback(port);
    int value = 0;
    socklen_t len = sizeof value;
    ASSERT_EQ(::getsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &value, &len), 0);
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(PSKParameters::configureSocket(client.get()));
    ASSERT_EQ(::getsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &value, &len), 0);
    EXPECT_NE(value, 0);

    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    EXPECT_FALSE(PSKParameters::configureSocket(fds[0])); // not TCP: reported, not fatal
    ::close(fds[0]);
    ::close(fds[1]);
}

// Another TLS implementation as the client: it must complete the handshake with the derived key
// and only with the DHE PSK mode.
TEST(PSKParameters, GnuTLSClientInterop) {
    const Bytes secret(32, 0x77);
    const SymmetricKey key = PSKProvider::sessionKey(secret);
    const SymmetricKey wrongKey = PSKProvider::sessionKey(Bytes(32, 0x78));
    const std::string dhePSK =
        "NORMAL:-VERS-ALL:+VERS-TLS1.3:-KX-ALL:+ECDHE-PSK:+DHE-PSK:-CIPHER-ALL:+AES-128-GCM";
    const std::string pskOnly =
        "NORMAL:-VERS-ALL:+VERS-TLS1.3:-KX-ALL:+PSK:-CIPHER-ALL:+AES-128-GCM";
    struct Case {
        const char* name;
        const SymmetricKey& clientKey;
        std::string priority;
        bool succeeds;
    };
    const Case cases[] = {
        {"derived key", key, dhePSK, true},
        {"wrong key", wrongKey, dhePSK, false},
        // A client that offers only psk_ke (no key exchange, no forward secrecy) is refused.
        {"PSK without DHE", key, pskOnly, false},
    };
    auto serverCtx = PSKParameters::make(key, kSession, PSKParameters::Role::server);
    TempDir dir;
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint16_t port = 0;
        Socket listener = listenLoopback(port);
        auto server =
            std::async(std::launch::async, [&] { return serve(serverCtx.get(), listener.get()); });
        ChildProcess client(
            {.argv = {"gnutls-cli", "--pskusername", kSession, "--pskkey", hex(c.clientKey),
                      "--priority", c.priority, "-p", std::to_string(port), "127.0.0.1"},
             .env = {},
             .outputFile = dir.path() + "/gnutls-" + std::to_string(run++),
             .pipeStdin = true,
             .workingDirectory = {}});
        client.writeStdin("pong\n");
        const Outcome served = server.get();
        client.closeStdin();
        const auto status = client.wait(std::chrono::seconds(10));
        client.stop();
        const std::string output = client.output();
        EXPECT_TRUE(status.has_value()) << "gnutls-cli did not exit";
        EXPECT_EQ(served.handshake, c.succeeds) << served.error << "\n" << output;
        EXPECT_EQ(output.find("Handshake was completed") != std::string::npos, c.succeeds)
            << output;
        if (c.succeeds) {
            EXPECT_TRUE(served.exchanged) << output;
            EXPECT_EQ(served.cipher, "TLS_AES_128_GCM_SHA256");
            EXPECT_NE(served.group, 0);
            EXPECT_TRUE(served.sound);
            EXPECT_NE(output.find("PSK authentication. Connected as 'corvane'"), std::string::npos)
                << output;
            EXPECT_NE(output.find("ping"), std::string::npos) << output;
        }
    }
}

} // namespace
