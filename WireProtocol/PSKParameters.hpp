#pragma once

#include "WireProtocol/PSKProvider.hpp"

#include <memory>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace quillon::wire {

struct SSLContextDeleter {
    void operator()(SSL_CTX* ctx) const noexcept;
};
using SSLContextPtr = std::unique_ptr<SSL_CTX, SSLContextDeleter>;

// TLS connection parameters for one external pre-shared key: TLS 1.3 only,
// TLS_AES_128_GCM_SHA256 only, no certificates, the PSK with DHE key exchange only
// (psk_dhe_ke: a recorded session stays secret even if the key is later learned), no session
// tickets, no early data. Both ends of a link are built here.
namespace PSKParameters {

enum class Role { server, client };

// A context that completes a handshake only with a peer holding `key` under `identity`, for as
// long as it lives (a listener made at start-up keeps admitting days later). The key is held
// only inside the context (cleansed when its last reference goes); the caller's copy is not
// kept. Throws std::invalid_argument for an empty identity and
// std::runtime_error when OpenSSL cannot build the context.
SSLContextPtr make(const SymmetricKey& key, std::string_view identity, Role role);

// After a completed handshake on a connection of such a context: true only when it is TLS 1.3
// with TLS_AES_128_GCM_SHA256, authenticated by the PSK, with an (EC)DHE key exchange. The
// contexts already refuse anything else; this is the check a transport can assert before
// trusting the connection.
bool handshakeIsSound(SSL* ssl);

// TCP no-delay on a connected socket (Nagle off: small control frames are not held back).
// False when the option cannot be set (e.g. not a TCP socket); the link still works, only
// with Nagle's delay.
bool configureSocket(int fd);

// A listening socket whose connections are handed to accept() only once the peer has sent its
// first bytes (TCP_DEFER_ACCEPT): a client of this protocol always speaks first (its
// ClientHello), so connections that never do stay in the kernel's queue of half-made
// connections, for up to about `seconds`, instead of taking the places of real clients in the
// queue of established connections (where, once it is full, every newcomer's SYN is dropped and
// retried a second later). False when the option cannot be set; the listener still works.
bool configureListener(int fd, int seconds);

} // namespace PSKParameters
} // namespace quillon::wire
