// Replies of Sway's IPC as the wlroots backend reads them: any bytes, never a crash or throw.
#include "Platform/Input/SwayIpc.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const auto list = quillon::platform::parseSwayWorkspaces(reply);
    if (list) {
        for (const auto& ws : *list) {
            if (ws.num < -1) {
                __builtin_trap();
            }
        }
    }
    quillon::platform::swayCommandSucceeded(reply);
    return 0;
}
