#include "Platform/Input/Wayland/XkbLayoutIndex.hpp"

#include <algorithm>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client-protocol.h>

namespace quillon::platform {

LayoutIndex indexLayout(xkb_keymap* keymap) {
    LayoutIndex index;
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

LayoutIndex indexKeymapText(const std::string& keymapText) {
    LayoutIndex index;
    xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (xkb == nullptr) {
        return index;
    }
    xkb_keymap* keymap = nullptr;
    if (!keymapText.empty()) {
        keymap = xkb_keymap_new_from_string(xkb, keymapText.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                            XKB_KEYMAP_COMPILE_NO_FLAGS);
    }
    if (keymap == nullptr) {
        keymap = xkb_keymap_new_from_names(xkb, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
    }
    if (keymap != nullptr) {
        index = indexLayout(keymap);
        xkb_keymap_unref(keymap);
    }
    xkb_context_unref(xkb);
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
