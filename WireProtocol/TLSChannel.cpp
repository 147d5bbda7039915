#include "WireProtocol/TLSChannel.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace quillon::wire {

namespace {
// Plaintext is read in steps of at most one record's worth.
constexpr std::size_t kReadStep = 16384;
} // namespace

struct TLSChannel::State {
    SSL* ssl = nullptr;
    BIO* in = nullptr;  // ciphertext from the peer (owned by ssl once attached)
    BIO* out = nullptr; // ciphertext for the peer (owned by ssl once attached)
};

TLSChannel::TLSChannel(const SSLContextPtr& context, PSKParameters::Role role) : state_(new State) {
    ERR_clear_error();
    state_->ssl = context ? SSL_new(context.get()) : nullptr;
    state_->in = BIO_new(BIO_s_mem());
    state_->out = BIO_new(BIO_s_mem());
    if (state_->ssl == nullptr || state_->in == nullptr || state_->out == nullptr) {
        BIO_free(state_->in);
        BIO_free(state_->out);
        SSL_free(state_->ssl);
        ERR_clear_error();
        throw std::runtime_error("cannot create a TLS connection");
    }
    // An empty memory BIO reports "retry" rather than end of file.
    BIO_set_mem_eof_return(state_->in, -1);
    SSL_set_bio(state_->ssl, state_->in, state_->out);
    if (role == PSKParameters::Role::server) {
        SSL_set_accept_state(state_->ssl);
    } else {
        SSL_set_connect_state(state_->ssl);
    }
}

TLSChannel::~TLSChannel() {
    SSL_free(state_->ssl); // frees both memory BIOs
}

void TLSChannel::feed(ByteView ciphertext) {
    // A memory BIO takes at most INT_MAX per write; callers feed one socket read at a time.
    std::size_t offset = 0;
    while (offset < ciphertext.size()) {
        const int n = static_cast<int>(std::min<std::size_t>(
            ciphertext.size() - offset, static_cast<std::size_t>(std::numeric_limits<int>::max())));
        if (BIO_write(state_->in, ciphertext.data() + offset, n) <= 0) {
            break; // out of memory: the handshake or the next read fails on the missing bytes
        }
        offset += static_cast<std::size_t>(n);
    }
}

TLSChannel::Handshake TLSChannel::handshake() {
    if (established_) {
        return Handshake::done;
    }
    ERR_clear_error();
    const int r = SSL_do_handshake(state_->ssl);
    if (r == 1) {
        if (!PSKParameters::handshakeIsSound(state_->ssl)) {
            ERR_clear_error();
            return Handshake::failed;
        }
        established_ = true;
        return Handshake::done;
    }
    if (SSL_get_error(state_->ssl, r) == SSL_ERROR_WANT_READ) {
        return Handshake::inProgress;
    }
    const unsigned long code = ERR_peek_error();
    ERR_clear_error();
    if (ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_BINDER_DOES_NOT_VERIFY) {
        return Handshake::wrongKey;
    }
    return Handshake::failed;
}

bool TLSChannel::readPlaintext(Bytes& out) {
    if (!established_) {
        return false;
    }
    for (;;) {
        const std::size_t offset = out.size();
        out.resize(offset + kReadStep);
        ERR_clear_error();
        const int r = SSL_read(state_->ssl, out.data() + offset, static_cast<int>(kReadStep));
        out.resize(offset + static_cast<std::size_t>(std::max(r, 0)));
        if (r > 0) {
            continue;
        }
        const int error = SSL_get_error(state_->ssl, r);
        ERR_clear_error();
        return error == SSL_ERROR_WANT_READ; // else close_notify or a broken record
    }
}

bool TLSChannel::write(ByteView plaintext) {
    if (!established_) {
        return false;
    }
    if (plaintext.empty()) {
        return true;
    }
    ERR_clear_error();
    std::size_t written = 0;
    // SSL_write_ex takes the whole buffer (a memory BIO never asks to retry a write).
    const int ok = SSL_write_ex(state_->ssl, plaintext.data(), plaintext.size(), &written);
    ERR_clear_error();
    return ok == 1 && written == plaintext.size();
}

void TLSChannel::shutdown() noexcept {
    if (!established_) {
        return;
    }
    ERR_clear_error();
    SSL_shutdown(state_->ssl);
    ERR_clear_error();
}

void TLSChannel::takeCiphertext(Bytes& out) {
    const std::size_t pending = BIO_ctrl_pending(state_->out);
    if (pending == 0) {
        return;
    }
    const std::size_t offset = out.size();
    out.resize(offset + pending);
    std::size_t n = 0;
    if (BIO_read_ex(state_->out, out.data() + offset, pending, &n) != 1) {
        n = 0;
    }
    out.resize(offset + n);
}

std::size_t TLSChannel::bufferedCiphertext() const noexcept {
    return BIO_ctrl_pending(state_->in);
}

std::size_t TLSChannel::pendingCiphertext() const noexcept {
    return BIO_ctrl_pending(state_->out);
}

} // namespace quillon::wire
