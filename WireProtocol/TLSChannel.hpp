#pragma once

#include "WireProtocol/Bytes.hpp"
#include "WireProtocol/PSKParameters.hpp"

#include <cstddef>
#include <memory>

namespace quillon::wire {

// One TLS connection as a byte engine, with no socket of its own: the owner feeds it the
// ciphertext it received, reads the plaintext out, queues plaintext to send and takes the
// ciphertext to write. Whoever owns the socket decides when to read and write, so one
// event loop can drive any number of connections and nothing here blocks.
//
// Not thread-safe: one thread at a time. Errors never throw after construction; they come back
// as results, and OpenSSL's error queue is left empty.
class TLSChannel {
public:
    enum class Handshake {
        inProgress, // more bytes from the peer are needed (take the ciphertext first)
        done,       // established, and sound (see PSKParameters::handshakeIsSound)
        wrongKey,   // the peer proved it does not hold the key (a wrong PIN, on pairing)
        failed,     // anything else: a broken or refused handshake
    };

    // A connection of `context` in `role`. Throws std::runtime_error when OpenSSL cannot make
    // one (out of memory).
    TLSChannel(const SSLContextPtr& context, PSKParameters::Role role);
    ~TLSChannel();
    TLSChannel(const TLSChannel&) = delete;
    TLSChannel& operator=(const TLSChannel&) = delete;

    // Ciphertext from the peer, consumed by handshake() and readPlaintext().
    void feed(ByteView ciphertext);
    // Advances the handshake with what was fed. After done it stays done.
    Handshake handshake();
    bool established() const noexcept { return established_; }

    // Decrypts every whole record fed so far and appends the plaintext to `out` (one call per
    // socket read: a burst of records becomes one run of plaintext). False when the peer ended
    // the connection (close_notify) or sent something that is not a valid record; what was
    // decrypted before that is still appended.
    bool readPlaintext(Bytes& out);
    // Encrypts `plaintext` into records waiting to be taken. False when the connection is
    // broken (or not established).
    bool write(ByteView plaintext);
    // Queues a close_notify (after an established handshake only; best effort).
    void shutdown() noexcept;
    // Appends the ciphertext waiting for the peer to `out`.
    void takeCiphertext(Bytes& out);

    // Ciphertext fed and not yet consumed (part of a record).
    std::size_t bufferedCiphertext() const noexcept;
    // Ciphertext waiting to be taken.
    std::size_t pendingCiphertext() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
    bool established_ = false;
};

} // namespace quillon::wire
