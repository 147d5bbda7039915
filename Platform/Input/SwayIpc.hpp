#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::platform {

// One request and its reply over Sway's IPC socket ($SWAYSOCK): a header of the magic
// "i3-ipc", the payload length and the message type (both 32-bit, native byte order), then
// the payload. A connection per request: desktop verbs are rare, and a restarted compositor
// needs no reconnect logic.
class SwayIpc {
public:
    enum class Type : std::uint32_t { runCommand = 0, getWorkspaces = 1 };

    // `socketPath` empty: $SWAYSOCK.
    explicit SwayIpc(std::string socketPath = {});
    bool available() const { return !path_.empty(); }
    // The reply payload, or nothing when the socket is not there or the exchange failed
    // (a reply is limited to 16 MiB).
    std::optional<std::string> request(Type type, std::string_view payload) const;

private:
    std::string path_;
};

struct SwayWorkspace {
    std::string name;
    int num = -1; // -1: a named workspace without a number
    bool focused = false;
    bool operator==(const SwayWorkspace&) const = default;
};

// The GET_WORKSPACES reply: nothing when it is not a JSON array; entries that are not objects
// are skipped, and fields of another type read as absent. Never throws.
std::optional<std::vector<SwayWorkspace>> parseSwayWorkspaces(std::string_view reply);
// The RUN_COMMAND reply: true when it lists results and every one succeeded. Never throws.
bool swayCommandSucceeded(std::string_view reply);

} // namespace quillon::platform
