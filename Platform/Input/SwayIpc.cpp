#include "Platform/Input/SwayIpc.hpp"

#include "Platform/Parsing/NestingScan.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::size_t kHeader = sizeof kMagic + 8;
constexpr std::uint32_t kMaxReply = 16u << 20;
constexpr int kTimeoutMs = 2000;

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kTimeoutMs) <= 0) {
            return false;
        }
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

SwayIpc::SwayIpc(std::string socketPath) : path_(std::move(socketPath)) {
    if (path_.empty()) {
        if (const char* env = std::getenv("SWAYSOCK"); env != nullptr) {
            path_ = env;
        }
    }
}

std::optional<std::string> SwayIpc::request(Type type, std::string_view payload) const {
    sockaddr_un addr{};
    if (path_.empty() || path_.size() >= sizeof addr.sun_path) {
        return std::nullopt;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.data(), path_.size());
    std::optional<std::string> reply;
    char header[kHeader];
    std::memcpy(header, kMagic, sizeof kMagic);
    const auto length = static_cast<std::uint32_t>(payload.size());
    const auto code = static_cast<std::uint32_t>(type);
    std::memcpy(header + sizeof kMagic, &length, 4);
    std::memcpy(header + sizeof kMagic + 4, &code, 4);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        sendAll(fd, header, kHeader) && sendAll(fd, payload.data(), payload.size()) &&
        readAll(fd, header, kHeader) && std::memcmp(header, kMagic, sizeof kMagic) == 0) {
        std::uint32_t size = 0;
        std::memcpy(&size, header + sizeof kMagic, 4);
        if (size <= kMaxReply) {
            std::string body(size, '\0');
            if (readAll(fd, body.data(), size)) {
                reply = std::move(body);
            }
        }
    }
    ::close(fd);
    return reply;
}

namespace {

// The compositor's replies are JSON of a few levels; the parser's copies and comparisons
// recurse, so a reply that nests deeper or holds more is not parsed at all.
bool parsable(std::string_view reply) {
    platform::NestingLimits limits;
    limits.maxDepth = 64;
    limits.maxNodes = 1 << 20;
    limits.maxBytes = kMaxReply;
    return platform::scanJSON(reply, limits) == platform::NestingVerdict::fits;
}

} // namespace

std::optional<std::vector<SwayWorkspace>> parseSwayWorkspaces(std::string_view reply) {
    if (!parsable(reply)) {
        return std::nullopt;
    }
    const auto json = nlohmann::json::parse(reply, nullptr, false);
    if (!json.is_array()) {
        return std::nullopt;
    }
    std::vector<SwayWorkspace> list;
    for (const auto& entry : json) {
        if (!entry.is_object()) {
            continue;
        }
        SwayWorkspace ws;
        if (const auto it = entry.find("name"); it != entry.end() && it->is_string()) {
            ws.name = it->get<std::string>();
        }
        if (const auto it = entry.find("num"); it != entry.end() && it->is_number_integer()) {
            const auto num = it->get<std::int64_t>();
            ws.num = num >= 0 && num <= 1'000'000 ? static_cast<int>(num) : -1;
        }
        if (const auto it = entry.find("focused"); it != entry.end() && it->is_boolean()) {
            ws.focused = it->get<bool>();
        }
        list.push_back(std::move(ws));
    }
    return list;
}

bool swayCommandSucceeded(std::string_view reply) {
    if (!parsable(reply)) {
        return false;
    }
    const auto json = nlohmann::json::parse(reply, nullptr, false);
    if (!json.is_array() || json.empty()) {
        return false;
    }
    return std::all_of(json.begin(), json.end(), [](const nlohmann::json& r) {
        if (!r.is_object()) {
            return false;
        }
        const auto it = r.find("success");
        return it != r.end() && it->is_boolean() && it->get<bool>();
    });
}

} // namespace quillon::platform
