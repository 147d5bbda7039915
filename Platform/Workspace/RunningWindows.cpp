#include "Platform/Workspace/RunningWindows.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>

namespace quillon::platform {

namespace {

constexpr std::size_t kMaxEnvironBytes = 1 << 20;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) {
                   return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

struct Connection {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;

    Connection() {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0') {
            return;
        }
        int screenIndex = 0;
        c = xcb_connect(display, &screenIndex);
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            c = nullptr;
            return;
        }
        auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; i < screenIndex && it.rem > 0; ++i) {
            xcb_screen_next(&it);
        }
        root = it.rem > 0 ? it.data->root : 0;
    }
    ~Connection() {
        if (c != nullptr) {
            xcb_disconnect(c);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    explicit operator bool() const { return c != nullptr && root != 0; }

    xcb_atom_t atom(const char* name) {
        auto cookie = xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name);
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(c, cookie, nullptr), &std::free);
        return reply ? reply->atom : XCB_ATOM_NONE;
    }

    // The property's raw bytes (a failed request, e.g. on a vanished window, gives nothing).
    std::optional<std::string> property(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type) {
        if (prop == XCB_ATOM_NONE) {
            return std::nullopt;
        }
        // At most 4 MiB (the length is in 32-bit units).
        auto cookie = xcb_get_property(c, 0, w, prop, type, 0, 1 << 20);
        xcb_generic_error_t* error = nullptr;
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(c, cookie, &error), &std::free);
        std::free(error);
        if (!reply || reply->type == XCB_ATOM_NONE) {
            return std::nullopt;
        }
        const auto* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
        const int length = xcb_get_property_value_length(reply.get());
        if (data == nullptr || length <= 0) {
            return std::string();
        }
        return std::string(data, data + length);
    }

    std::vector<std::uint32_t> cardinals(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type) {
        std::vector<std::uint32_t> out;
        if (const auto bytes = property(w, prop, type)) {
            out.resize(bytes->size() / 4);
            if (!out.empty()) { // a value shorter than one cardinal: no data() to copy into
                std::memcpy(out.data(), bytes->data(), out.size() * 4);
            }
        }
        return out;
    }

    void sendToRoot(xcb_window_t window, xcb_atom_t type, std::uint32_t d0, std::uint32_t d1,
                    std::uint32_t d2) {
        xcb_client_message_event_t ev{};
        ev.response_type = XCB_CLIENT_MESSAGE;
        ev.format = 32;
        ev.window = window;
        ev.type = type;
        ev.data.data32[0] = d0;
        ev.data.data32[1] = d1;
        ev.data.data32[2] = d2;
        xcb_send_event(c, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&ev));
    }
};

} // namespace

bool wmClassMatches(const WindowMatch& match, const std::string& instance,
                    const std::string& wmClass) {
    const auto either = [&](const std::string& wanted) {
        return !wanted.empty() &&
               (equalsIgnoringCase(instance, wanted) || equalsIgnoringCase(wmClass, wanted));
    };
    if (!match.startupWMClass.empty()) {
        return either(match.startupWMClass);
    }
    return std::any_of(match.names.begin(), match.names.end(), either);
}

std::string launchedDesktopFile(std::uint32_t pid) {
    if (pid == 0) {
        return {};
    }
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    if (!in) {
        return {};
    }
    std::string environ(kMaxEnvironBytes, '\0');
    in.read(environ.data(), std::streamsize(environ.size()));
    environ.resize(std::size_t(in.gcount()));
    constexpr std::string_view key = "GIO_LAUNCHED_DESKTOP_FILE=";
    std::string_view rest(environ);
    while (!rest.empty()) {
        const auto end = rest.find('\0');
        const auto item = rest.substr(0, end);
        if (item.substr(0, key.size()) == key) {
            return std::string(item.substr(key.size()));
        }
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end + 1);
    }
    return {};
}

std::optional<std::uint32_t> RunningWindows::find(const WindowMatch& match) {
    Connection x;
    if (!x) {
        return std::nullopt;
    }
    auto windows = x.cardinals(x.root, x.atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW);
    if (windows.empty()) {
        windows = x.cardinals(x.root, x.atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
    } else {
        std::reverse(windows.begin(), windows.end()); // topmost first
    }
    const xcb_atom_t pidAtom = x.atom("_NET_WM_PID");
    std::error_code ec;
    const auto wantedFile = match.desktopFile.empty()
                                ? std::filesystem::path()
                                : std::filesystem::weakly_canonical(match.desktopFile, ec);
    for (const auto w : windows) {
        if (const auto cls = x.property(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)) {
            // "instance\0class\0"
            const auto nul = cls->find('\0');
            const std::string instance = cls->substr(0, nul);
            std::string wmClass;
            if (nul != std::string::npos) {
                wmClass = cls->substr(nul + 1);
                wmClass = wmClass.substr(0, wmClass.find('\0'));
            }
            if (wmClassMatches(match, instance, wmClass)) {
                return w;
            }
        }
        if (!wantedFile.empty()) {
            const auto pid = x.cardinals(w, pidAtom, XCB_ATOM_CARDINAL);
            if (!pid.empty()) {
                const std::string launched = launchedDesktopFile(pid.front());
                if (!launched.empty() &&
                    std::filesystem::weakly_canonical(launched, ec) == wantedFile) {
                    return w;
                }
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> RunningWindows::activate(std::uint32_t window) {
    Connection x;
    if (!x) {
        return std::string("cannot open the X display");
    }
    const xcb_atom_t currentDesktop = x.atom("_NET_CURRENT_DESKTOP");
    const auto current = x.cardinals(x.root, currentDesktop, XCB_ATOM_CARDINAL);
    const auto onDesktop = x.cardinals(window, x.atom("_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL);
    if (!current.empty() && !onDesktop.empty() && onDesktop.front() != 0xFFFFFFFFu &&
        onDesktop.front() != current.front()) {
        x.sendToRoot(x.root, currentDesktop, onDesktop.front(), XCB_CURRENT_TIME, 0);
    }
    // Source 2: a pager or similar tool acting for the user.
    x.sendToRoot(window, x.atom("_NET_ACTIVE_WINDOW"), 2, XCB_CURRENT_TIME, 0);
    const auto cookie = xcb_get_input_focus(x.c); // a round trip: the requests have been sent
    std::free(xcb_get_input_focus_reply(x.c, cookie, nullptr));
    if (xcb_connection_has_error(x.c)) {
        return std::string("the X connection failed");
    }
    return std::nullopt;
}

} // namespace quillon::platform
