// Icon files come from any package on the machine. Whatever their bytes, rendering must not
// crash, must not allocate what a forged header claims, and must give a valid PNG or nothing.
#include "Platform/Workspace/IconRenderer.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto png = quillon::platform::renderIconData({data, size}, 16, 4096);
    if (png) {
        static constexpr std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        if (png->size() > 4096 || png->size() < 8 || std::memcmp(png->data(), signature, 8) != 0) {
            __builtin_trap();
        }
    }
    return 0;
}
