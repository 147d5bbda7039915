#include "Platform/Input/InputBackendChooser.hpp"

#include "Platform/Input/UinputDevice.hpp"
#include "Platform/Locale/Translation.hpp"

#include <systemd/sd-bus.h>
#include <wayland-client.h>

#include <cstdlib>
#include <cstring>

namespace quillon::platform {

namespace {

std::string envOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::string desktopName(const SessionEnvironment& env) {
    return env.currentDesktop.empty() ? i18n::tr("an unnamed desktop") : env.currentDesktop;
}

const char* const kXWaylandOnly = i18n::N_("input reaches only XWayland windows");
const char* const kWhatToDo = i18n::N_(
    "Log into an X11 session to reach every window, or set inputBackend to x11 to accept this");

std::string unavailable(InputBackendKind kind) {
    switch (kind) {
    case InputBackendKind::gnome:
        return i18n::tr("GNOME's remote desktop input is not supported by this build");
    case InputBackendKind::kde:
        return i18n::tr("KDE's fake input is not supported by this build");
    case InputBackendKind::wlroots:
        return i18n::tr("wlroots virtual input is not supported by this build");
    case InputBackendKind::x11:
        return i18n::tr("X11 input is not supported by this build");
    case InputBackendKind::uinput:
        return i18n::tr("uinput is not supported by this build");
    }
    return {};
}

// Why the kernel's input was no way out either, for a refusal (nothing when it was not asked).
std::string uinputAside(const SessionOffers& offers) {
    return offers.uinputProblem.empty()
               ? std::string()
               : i18n::fill(i18n::tr(". Input through the kernel (uinput) would reach every "
                                     "window, but {1}"),
                            {offers.uinputProblem});
}

// Globals of the compositor, after one round trip.
struct GlobalScan {
    SessionOffers* offers;
    static void global(void* data, wl_registry*, std::uint32_t, const char* interface,
                       std::uint32_t) {
        auto* o = static_cast<GlobalScan*>(data)->offers;
        if (std::strcmp(interface, "zwlr_virtual_pointer_manager_v1") == 0) {
            o->wlrootsVirtualPointer = true;
        } else if (std::strcmp(interface, "zwp_virtual_keyboard_manager_v1") == 0) {
            o->wlrootsVirtualKeyboard = true;
        } else if (std::strcmp(interface, "org_kde_kwin_fake_input") == 0) {
            o->kdeFakeInput = true;
        }
    }
    static void globalRemove(void*, wl_registry*, std::uint32_t) {}
    static constexpr wl_registry_listener listener{global, globalRemove};
};

bool sessionBusHasOwner(const char* name) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) {
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int has = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                           name) >= 0) {
        if (sd_bus_message_read(reply, "b", &has) < 0) {
            has = 0;
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return has != 0;
}

} // namespace

std::string_view toString(InputBackendKind kind) {
    switch (kind) {
    case InputBackendKind::x11:
        return "x11";
    case InputBackendKind::wlroots:
        return "wlroots";
    case InputBackendKind::gnome:
        return "gnome";
    case InputBackendKind::kde:
        return "kde";
    case InputBackendKind::uinput:
        return "uinput";
    }
    return "x11";
}

SessionEnvironment SessionEnvironment::current() {
    return {envOrEmpty("XDG_SESSION_TYPE"), envOrEmpty("WAYLAND_DISPLAY"), envOrEmpty("DISPLAY"),
            envOrEmpty("XDG_CURRENT_DESKTOP")};
}

InputBackendChoice chooseInputBackend(std::string_view setting, const SessionOffers& offers,
                                      const std::set<InputBackendKind>& available) {
    InputBackendChoice choice;
    for (const auto kind :
         {InputBackendKind::x11, InputBackendKind::wlroots, InputBackendKind::gnome,
          InputBackendKind::kde, InputBackendKind::uinput}) {
        if (setting == toString(kind)) {
            // The user's word: their backend, whatever the session looks like (its own
            // permission check says what is missing).
            if (available.count(kind) != 0) {
                choice.kind = kind;
            } else {
                choice.refusal = i18n::fill(i18n::tr("inputBackend is {1}, but {2}: {3}"),
                                            {setting, unavailable(kind), i18n::tr(kXWaylandOnly)});
            }
            return choice;
        }
    }
    if (!setting.empty() && setting != "auto") {
        choice.note = i18n::fill(i18n::tr("inputBackend \"{1}\" is not one of auto, x11, wlroots, "
                                          "gnome, kde, uinput: choosing by the session"),
                                 {setting});
    }

    const auto& env = offers.env;
    // The kernel's input reaches any session, but knows less of it than the session's own
    // interfaces (no workspaces, text through the layout or the clipboard): the last resort.
    const bool uinput = offers.uinputWritable && available.count(InputBackendKind::uinput) != 0;
    if (!env.wayland()) {
        if (env.x11Display.empty() && uinput) {
            choice.kind = InputBackendKind::uinput; // a text console
        }
        return choice; // X11 (its own check says when there is no DISPLAY)
    }
    const std::string session =
        i18n::fill(i18n::tr("this is a Wayland session ({1})"), {desktopName(env)});
    if (!offers.compositorAnswered && uinput) {
        choice.kind = InputBackendKind::uinput;
        return choice;
    }
    if (!offers.compositorAnswered) {
        choice.refusal =
            (env.waylandDisplay.empty()
                 ? i18n::fill(i18n::tr("{1}, but its compositor did not answer: {2}. {3}"),
                              {session, i18n::tr(kXWaylandOnly), i18n::tr(kWhatToDo)})
                 : i18n::fill(i18n::tr("{1}, but its compositor at {2} did not answer: {3}. {4}"),
                              {session, env.waylandDisplay, i18n::tr(kXWaylandOnly),
                               i18n::tr(kWhatToDo)})) +
            uinputAside(offers);
        return choice;
    }
    const auto pick = [&](InputBackendKind kind) {
        if (available.count(kind) != 0) {
            choice.kind = kind;
        } else {
            choice.refusal = i18n::fill(
                i18n::tr("{1}: {2}, so {3}. {4}"),
                {session, unavailable(kind), i18n::tr(kXWaylandOnly), i18n::tr(kWhatToDo)});
        }
        return choice;
    };
    if (offers.wlrootsVirtualPointer && offers.wlrootsVirtualKeyboard) {
        return pick(InputBackendKind::wlroots);
    }
    if (offers.mutterRemoteDesktop) {
        return pick(InputBackendKind::gnome);
    }
    if (offers.kdeFakeInput) {
        return pick(InputBackendKind::kde);
    }
    if (uinput) {
        choice.kind = InputBackendKind::uinput;
        return choice;
    }
    choice.refusal =
        i18n::fill(i18n::tr("{1} whose compositor offers no input interface Quillon can use "
                            "(wlroots virtual pointer and keyboard, GNOME remote desktop, KDE "
                            "fake input): {2}. {3}"),
                   {session, i18n::tr(kXWaylandOnly), i18n::tr(kWhatToDo)}) +
        uinputAside(offers);
    return choice;
}

SessionOffers probeSession(const SessionEnvironment& env) {
    SessionOffers offers;
    offers.env = env;
    offers.uinputProblem = uinputAccessProblem("/dev/uinput");
    offers.uinputWritable = offers.uinputProblem.empty();
    if (!env.wayland()) {
        return offers;
    }
    if (wl_display* display =
            wl_display_connect(env.waylandDisplay.empty() ? nullptr : env.waylandDisplay.c_str())) {
        GlobalScan scan{&offers};
        wl_registry* registry = wl_display_get_registry(display);
        wl_registry_add_listener(registry, &GlobalScan::listener, &scan);
        offers.compositorAnswered = wl_display_roundtrip(display) >= 0;
        wl_registry_destroy(registry);
        wl_display_disconnect(display);
    }
    offers.mutterRemoteDesktop = sessionBusHasOwner("org.gnome.Mutter.RemoteDesktop");
    return offers;
}

} // namespace quillon::platform
