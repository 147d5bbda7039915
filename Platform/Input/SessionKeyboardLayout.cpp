#include "Platform/Input/SessionKeyboardLayout.hpp"

#include "Platform/Display/X11Connection.hpp"
#include "Platform/Input/Wayland/WaylandClient.hpp"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

namespace quillon::platform {

namespace {

struct XkbRelease {
    void operator()(xkb_context* c) const { xkb_context_unref(c); }
    void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
};

std::optional<LayoutIndex> indexOf(xkb_keymap* keymap) {
    if (keymap == nullptr) {
        return std::nullopt;
    }
    std::unique_ptr<xkb_keymap, XkbRelease> owned(keymap);
    return indexLayout(keymap);
}

// KEY="value" lines of a shell-style configuration file.
std::string configValue(const std::string& text, const std::string& key) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        std::string line =
            text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (line.rfind(key + "=", 0) != 0) {
            continue;
        }
        std::string value = line.substr(key.size() + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return {};
}

} // namespace

std::optional<LayoutIndex> waylandSeatLayout(const std::string& display) {
    wayland::Client client({.display = display});
    if (!client.connect()) {
        return std::nullopt;
    }
    const std::string keymap = client.seatKeymap();
    if (keymap.empty()) {
        return std::nullopt; // no keyboard on the seat yet: not xkb's default in its place
    }
    return indexKeymapText(keymap);
}

std::optional<LayoutIndex> x11Layout(const std::string& display) {
    x11::Connection connection(display);
    Display* dpy = connection.get();
    if (dpy == nullptr) {
        return std::nullopt;
    }
    int minKc = 0, maxKc = 0, per = 0;
    XDisplayKeycodes(dpy, &minKc, &maxKc);
    KeySym* map = XGetKeyboardMapping(dpy, static_cast<KeyCode>(minKc), maxKc - minKc + 1, &per);
    // The X server's layout group is one for every keyboard: keys type the active group's
    // characters (columns 2g and 2g + 1 of the core mapping). A group the core mapping does not
    // show leaves the index empty, so text goes by the clipboard rather than as wrong keys.
    XkbStateRec state{};
    const int group = XkbGetState(dpy, XkbUseCoreKbd, &state) == Success ? state.group : 0;
    LayoutIndex index;
    if (map != nullptr && per >= 2 * group + 2) {
        // Plain positions first, so a keysym on two keys prefers the one without Shift.
        for (int level = 0; level < 2; ++level) {
            for (int kc = minKc; kc <= maxKc; ++kc) {
                const KeySym sym = map[(kc - minKc) * per + 2 * group + level];
                if (sym != NoSymbol) {
                    index.try_emplace(static_cast<xkb_keysym_t>(sym),
                                      KeyPosition{static_cast<xkb_keycode_t>(kc), level == 1});
                }
            }
        }
    }
    if (map != nullptr) {
        XFree(map);
    }
    return index;
}

LayoutIndex systemLayout(const std::string& keyboardFile) {
    std::unique_ptr<xkb_context, XkbRelease> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    xkb_rule_names names{};
    std::string layout, variant, options;
    if (std::getenv("XKB_DEFAULT_LAYOUT") == nullptr) {
        std::ifstream in(keyboardFile);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        layout = configValue(text, "XKBLAYOUT");
        variant = configValue(text, "XKBVARIANT");
        options = configValue(text, "XKBOPTIONS");
        if (!layout.empty()) {
            names.layout = layout.c_str();
            names.variant = variant.c_str();
            names.options = options.c_str();
        }
    }
    if (auto index = indexOf(
            xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS))) {
        return *index;
    }
    const xkb_rule_names us{nullptr, nullptr, "us", nullptr, nullptr};
    return indexOf(xkb_keymap_new_from_names(context.get(), &us, XKB_KEYMAP_COMPILE_NO_FLAGS))
        .value_or(LayoutIndex{});
}

} // namespace quillon::platform
