#include "WireProtocol/PSKParameters.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

namespace quillon::wire {

void SSLContextDeleter::operator()(SSL_CTX* ctx) const noexcept {
    SSL_CTX_free(ctx);
}

namespace PSKParameters {

namespace {

// TLS_AES_128_GCM_SHA256 (0x1301): the only suite either end offers or accepts.
constexpr unsigned char kCipherSuiteID[2] = {0x13, 0x01};
constexpr const char* kCipherSuiteName = "TLS_AES_128_GCM_SHA256";

// How long a session handed to a handshake counts as fresh. OpenSSL treats an external PSK like
// a resumed session and refuses it once the session's creation time plus its timeout (304 s by
// default) has passed; a listener that kept one session from its start would then turn every
// tablet away five minutes later. Every handshake therefore gets a copy stamped with the time it
// starts, valid for far longer than any handshake takes.
constexpr long kHandshakeSessionLifetime = 24L * 60 * 60;

// What a context's callbacks need: the one identity and a session object that carries the key.
// The session owns the only copy of the key; OpenSSL cleanses it when the session is freed.
struct PSKState {
    std::string identity;
    SSL_SESSION* session = nullptr;
};

void freeState(void* /*parent*/, void* ptr, CRYPTO_EX_DATA* /*ad*/, int /*idx*/, long /*argl*/,
               void* /*argp*/) {
    auto* state = static_cast<PSKState*>(ptr);
    if (state != nullptr) {
        SSL_SESSION_free(state->session);
        delete state;
    }
}

// The state lives in the context's ex-data and is freed with the context's last reference, so
// connections that outlive the caller's handle keep a valid key.
int stateIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeState);
    return index;
}

const PSKState* stateOf(SSL* ssl) {
    return static_cast<const PSKState*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), stateIndex()));
}

std::string openSSLErrors() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        if (!text.empty()) {
            text += "; ";
        }
        text += buf;
    }
    return text;
}

[[noreturn]] void fail(const char* what) {
    std::string message = std::string("TLS parameters: ") + what;
    const std::string details = openSSLErrors();
    if (!details.empty()) {
        message += " (" + details + ")";
    }
    throw std::runtime_error(message);
}

// A copy of the context's session for one handshake, stamped fresh (see
// kHandshakeSessionLifetime); null when OpenSSL cannot make one.
SSL_SESSION* freshCopy(const SSL_SESSION* session) {
    SSL_SESSION* copy = SSL_SESSION_dup(session);
    if (copy == nullptr) {
        return nullptr;
    }
    if (SSL_SESSION_set_time(copy, static_cast<long>(std::time(nullptr))) == 0 ||
        SSL_SESSION_set_timeout(copy, kHandshakeSessionLifetime) == 0) {
        SSL_SESSION_free(copy);
        return nullptr;
    }
    return copy;
}

// Server: accept exactly our identity. Any other identity gets no session, so the handshake
// would need a certificate, which this context does not have: it fails.
int findSession(SSL* ssl, const unsigned char* identity, std::size_t identityLength,
                SSL_SESSION** session) {
    *session = nullptr;
    const PSKState* state = stateOf(ssl);
    if (state == nullptr) {
        return 0;
    }
    if (identityLength != state->identity.size() ||
        std::memcmp(identity, state->identity.data(), identityLength) != 0) {
        return 1; // no match: not an error, just no PSK
    }
    // Each connection gets its own copy; OpenSSL frees it (and cleanses the key) when done.
    *session = freshCopy(state->session);
    return *session != nullptr ? 1 : 0;
}

// Client: offer our identity and key. On a second call (after a HelloRetryRequest) `md` is the
// hash the server chose; our suite's hash is the only one it can be.
int useSession(SSL* ssl, const EVP_MD* md, const unsigned char** identity,
               std::size_t* identityLength, SSL_SESSION** session) {
    *session = nullptr;
    const PSKState* state = stateOf(ssl);
    if (state == nullptr) {
        return 0;
    }
    const SSL_CIPHER* cipher = SSL_SESSION_get0_cipher(state->session);
    if (md != nullptr && md != SSL_CIPHER_get_handshake_digest(cipher)) {
        return 1; // no usable PSK for this hash: the handshake fails for want of one
    }
    SSL_SESSION* copy = freshCopy(state->session);
    if (copy == nullptr) {
        return 0;
    }
    *identity = reinterpret_cast<const unsigned char*>(state->identity.data());
    *identityLength = state->identity.size();
    *session = copy;
    return 1;
}

// A client must never accept a certificate in place of the PSK: a peer without the key could
// otherwise complete a handshake with any self-signed certificate.
int rejectCertificate(int /*preverified*/, X509_STORE_CTX* /*ctx*/) {
    return 0;
}

SSL_SESSION* makeSession(SSL_CTX* ctx, const SymmetricKey& key) {
    // SSL_CIPHER_find needs a connection object; a throwaway one of this context will do.
    SSL* probe = SSL_new(ctx);
    if (probe == nullptr) {
        fail("cannot create a connection object");
    }
    const SSL_CIPHER* cipher = SSL_CIPHER_find(probe, kCipherSuiteID);
    SSL_free(probe);
    if (cipher == nullptr) {
        fail("TLS_AES_128_GCM_SHA256 is not available");
    }
    SSL_SESSION* session = SSL_SESSION_new();
    if (session == nullptr) {
        fail("cannot create a session object");
    }
    if (SSL_SESSION_set1_master_key(session, key.data(), key.size()) != 1 ||
        SSL_SESSION_set_cipher(session, cipher) != 1 ||
        SSL_SESSION_set_protocol_version(session, TLS1_3_VERSION) != 1 ||
        SSL_SESSION_set_max_early_data(session, 0) != 1) {
        SSL_SESSION_free(session);
        fail("cannot set up the pre-shared key");
    }
    return session;
}

} // namespace

SSLContextPtr make(const SymmetricKey& key, std::string_view identity, Role role) {
    if (identity.empty()) {
        throw std::invalid_argument("TLS parameters: the PSK identity must not be empty");
    }
    ERR_clear_error();
    SSLContextPtr ctx(
        SSL_CTX_new(role == Role::server ? TLS_server_method() : TLS_client_method()));
    if (!ctx) {
        fail("cannot create a TLS context");
    }
    SSL_CTX* c = ctx.get();

    if (SSL_CTX_set_min_proto_version(c, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION) != 1) {
        fail("cannot restrict the context to TLS 1.3");
    }
    if (SSL_CTX_set_ciphersuites(c, kCipherSuiteName) != 1) {
        fail("cannot select TLS_AES_128_GCM_SHA256");
    }

    // psk_dhe_ke only: without ALLOW_NO_DHE_KEX a client offers only the DHE mode and a server
    // refuses a PSK-only key exchange, so every session gets forward secrecy.
    SSL_CTX_clear_options(c, SSL_OP_ALLOW_NO_DHE_KEX);
    // No resumption state of any kind: no tickets (stateless or stateful), no session cache,
    // no early data.
    SSL_CTX_set_options(c, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_set_num_tickets(c, 0) != 1) {
        fail("cannot turn session tickets off");
    }
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    if (SSL_CTX_set_max_early_data(c, 0) != 1 || SSL_CTX_set_recv_max_early_data(c, 0) != 1) {
        fail("cannot turn early data off");
    }

    auto* state = new PSKState{std::string(identity), nullptr};
    try {
        state->session = makeSession(c, key);
    } catch (...) {
        delete state;
        throw;
    }
    if (stateIndex() < 0 || SSL_CTX_set_ex_data(c, stateIndex(), state) != 1) {
        SSL_SESSION_free(state->session);
        delete state;
        fail("cannot attach the pre-shared key to the context");
    }

    if (role == Role::server) {
        // No certificate is loaded and no client certificate is asked for: the PSK is the only
        // way through.
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_psk_find_session_callback(c, findSession);
    } else {
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, rejectCertificate);
        SSL_CTX_set_psk_use_session_callback(c, useSession);
    }
    return ctx;
}

bool handshakeIsSound(SSL* ssl) {
    if (ssl == nullptr || SSL_is_init_finished(ssl) != 1 || SSL_version(ssl) != TLS1_3_VERSION) {
        return false;
    }
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    // The PSK counts as a resumed session; a certificate handshake would not.
    return cipher != nullptr && SSL_CIPHER_get_protocol_id(cipher) == 0x1301 &&
           SSL_session_reused(ssl) == 1 && SSL_get_negotiated_group(ssl) != 0;
}

bool configureSocket(int fd) {
    const int on = 1;
    return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool configureListener(int fd, int seconds) {
    return setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds) == 0;
}

} // namespace PSKParameters
} // namespace quillon::wire
