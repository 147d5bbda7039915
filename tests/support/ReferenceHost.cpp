#include "tests/support/ReferenceHost.hpp"

#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/Frame.hpp"
#include "WireProtocol/PSKParameters.hpp"
#include "WireProtocol/ServiceConstants.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillon::testing {

ReferenceHost::ReferenceHost(const std::string& display, const wire::SymmetricKey& key, int width,
                             int height)
    : key_(key), dpy_(XOpenDisplay(display.c_str())), width_(width), height_(height) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_, 4);
    socklen_t len = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

ReferenceHost::~ReferenceHost() {
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
    if (dpy_ != nullptr) {
        XCloseDisplay(dpy_);
    }
}

void ReferenceHost::serve() {
    const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 || dpy_ == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    auto ctx = wire::PSKParameters::make(key_, wire::ServiceConstants::sessionIdentity,
                                         wire::PSKParameters::Role::server);
    wire::PSKParameters::configureSocket(fd);
    SSL* ssl = SSL_new(ctx.get());
    SSL_set_fd(ssl, fd);
    // Read ahead: one receive takes whatever the socket holds, so SSL_has_pending tells whether
    // more records of the same burst are already here.
    SSL_set_read_ahead(ssl, 1);
    if (SSL_accept(ssl) == 1) {
        wire::FrameDecoder decoder;
        unsigned char buf[65536];
        for (;;) {
            const int n = SSL_read(ssl, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            decoder.append(wire::ByteView(buf, static_cast<std::size_t>(n)));
            while (auto frame = decoder.nextFrameView()) {
                const auto message = wire::ControlMessage::decode(*frame);
                if (const auto* m = message.getIf<wire::cm::PointerAbsolute>()) {
                    XTestFakeMotionEvent(dpy_, -1, static_cast<int>(m->x * width_ + 0.5f),
                                         static_cast<int>(m->y * height_ + 0.5f), CurrentTime);
                }
            }
            // Flushed once per burst: only when no decrypted or received bytes wait for the
            // next SSL_read.
            if (SSL_has_pending(ssl) == 0) {
                XFlush(dpy_);
            }
        }
    }
    SSL_free(ssl);
    ::close(fd);
}

} // namespace quillon::testing
