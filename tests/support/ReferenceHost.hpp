#pragma once

#include "WireProtocol/PSKProvider.hpp"

#include <cstdint>
#include <string>
#include <thread>

typedef struct _XDisplay Display;

namespace quillon::testing {

// The smallest host that does the job, for benchmarks to measure the real one against: one
// TLS listener on a loopback port of the system's choosing with the session key, every read
// with read-ahead (one receive takes whatever the socket holds), frames decoded, absolute
// pointer moves faked with XTest onto a `width` x `height` screen, and one XFlush whenever a
// read leaves nothing pending. Nothing else: no admission, no heartbeats, one connection.
class ReferenceHost {
public:
    ReferenceHost(const std::string& display, const wire::SymmetricKey& key, int width, int height);
    ~ReferenceHost();
    ReferenceHost(const ReferenceHost&) = delete;
    ReferenceHost& operator=(const ReferenceHost&) = delete;

    std::uint16_t port() const { return port_; }

private:
    void serve();

    wire::SymmetricKey key_;
    Display* dpy_;
    int width_;
    int height_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

} // namespace quillon::testing
