#include "Platform/Input/Wayland/XkbLayoutIndex.hpp"

#include <algorithm>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client-protocol.h>

namespace quillon::platform {

std::unordered_map<xkb_keysym_t, KeyPosition> indexLayout(xkb_keymap* keymap) {
    std::unordered_map<xkb_keysym_t, KeyPosition> index;
    const xkb_mod_index_t shiftIndex = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    const xkb_mod_mask_t shift = shiftIndex == XKB_MOD_INVALID ? 0 : 1u << shiftIndex;
    const xkb_keycode_t min = xkb_keymap_min_keycode(keymap);
    const xkb_keycode_t max = xkb_keymap_max_keycode(keymap);
    // Unshifted positions first, so a keysym on two keys prefers the one without Shift.
    for (const bool wantShift : {false, true}) {
        if (wantShift && shift == 0) {
            break;
        }
        for (xkb_keycode_t kc = min; kc <= max && kc >= min; ++kc) {
            const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, kc, 0);
            for (xkb_level_index_t level = 0; level < levels; ++level) {
                const xkb_keysym_t* syms = nullptr;
                if (xkb_keymap_key_get_syms_by_level(keymap, kc, 0, level, &syms) != 1) {
                    continue;
                }
                xkb_mod_mask_t masks[8];
                const std::size_t n =
                    xkb_keymap_key_get_mods_for_level(keymap, kc, 0, level, masks, 8);
                const bool reachable = std::any_of(masks, masks + n, [&](xkb_mod_mask_t m) {
                    return m == (wantShift ? shift : 0u);
                });
                if (reachable) {
                    index.try_emplace(syms[0], KeyPosition{kc, wantShift});
                }
            }
        }
    }
    return index;
}

std::string readSeatKeymap(std::uint32_t format, int fd, std::uint32_t size) {
    std::string text;
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0 && size < (64u << 20)) {
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            text.assign(static_cast<const char*>(map),
                        ::strnlen(static_cast<const char*>(map), size));
            ::munmap(map, size);
        }
    }
    ::close(fd);
    return text;
}

} // namespace quillon::platform
