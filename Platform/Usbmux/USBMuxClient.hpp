#pragma once

#include "Platform/Usbmux/USBMuxProtocol.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::platform::usbmux {

// Talks to the usbmuxd daemon over its Unix socket: lists attached devices and opens a byte
// stream to a TCP port of one of them. Each operation opens its own connection, runs one
// exchange on the caller's thread and blocks for it; used from one thread at a time (the tag is
// not locked). A failed exchange never leaves a socket open.
class USBMuxClient {
public:
    static constexpr const char* defaultSocketPath = "/var/run/usbmuxd";

    struct Options {
        // Empty: $USBMUXD_SOCKET_ADDRESS when it has the form "UNIX:/path" (the convention of
        // the Linux usbmuxd clients), else the default path.
        std::string socketPath;
        // The daemon answers nothing to a request it cannot parse and keeps the connection
        // open, so every exchange (connect, request, reply) has a deadline; running past it is
        // socketUnavailable.
        std::chrono::milliseconds exchangeTimeout{5000};
        // Replies announcing more than this are malformed (a device list is a few KiB).
        std::uint32_t maxReplyLength = 4 * 1024 * 1024;
        // The tag of the first request is this plus one.
        std::uint32_t initialTag = 0;
    };

    USBMuxClient();
    explicit USBMuxClient(Options options);

    const std::string& socketPath() const noexcept { return socketPath_; }
    std::uint32_t tag() const noexcept { return tag_; }

    // The USB-attached devices, in the daemon's order. Throws USBMuxError or PropertyListError.
    std::vector<USBMuxProtocol::Device> listUSBDevices();
    // A socket carrying the raw byte stream of the device's TCP port. The caller owns and
    // closes it. The socket is blocking with no timeouts left on it. Throws USBMuxError
    // (connectRejected with the daemon's code) or PropertyListError.
    int connect(std::int64_t deviceID, std::uint16_t port);

    // The socket path a client uses for this environment value (null or unusable: default).
    static std::string socketPathFromEnvironment(const char* value);

private:
    int openSocket(std::chrono::steady_clock::time_point deadline);
    PlistDictionary exchange(int fd, const PlistDictionary& request,
                             std::chrono::steady_clock::time_point deadline);

    std::string socketPath_;
    Options options_;
    std::uint32_t tag_;
};

} // namespace quillon::platform::usbmux
