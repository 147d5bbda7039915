#include "Platform/EventStream/X11OverviewOpener.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Display/X11Connection.hpp"
#include "Platform/Locale/Translation.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <map>
#include <set>

namespace quillon::platform {

namespace {

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) {
        return {};
    }
    const auto e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

} // namespace

X11OverviewOpener::X11OverviewOpener(std::string display, std::function<std::string()> combination)
    : display_(std::move(display)), combination_(std::move(combination)) {
    if (!combination_) {
        combination_ = [] { return std::string(kDefaultCombination); };
    }
}

X11OverviewOpener::~X11OverviewOpener() = default;

std::optional<std::vector<unsigned long>>
X11OverviewOpener::parseCombination(const std::string& text) {
    static const std::map<std::string, KeySym> aliases = {
        {"super", XK_Super_L}, {"control", XK_Control_L}, {"ctrl", XK_Control_L},
        {"alt", XK_Alt_L},     {"shift", XK_Shift_L},     {"meta", XK_Meta_L},
    };
    std::vector<unsigned long> keys;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto plus = text.find('+', start);
        const std::string name =
            trim(text.substr(start, plus == std::string::npos ? std::string::npos : plus - start));
        if (name.empty()) {
            return std::nullopt;
        }
        std::string lower;
        for (const char c : name) {
            lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        KeySym sym = NoSymbol;
        if (const auto a = aliases.find(lower); a != aliases.end()) {
            sym = a->second;
        } else {
            sym = XStringToKeysym(name.c_str());
        }
        if (sym == NoSymbol) {
            return std::nullopt;
        }
        keys.push_back(sym);
        if (plus == std::string::npos) {
            break;
        }
        start = plus + 1;
    }
    if (keys.empty()) {
        return std::nullopt;
    }
    return keys;
}

bool X11OverviewOpener::tap(Display* dpy, const std::string& combination) {
    const auto keys = parseCombination(combination);
    if (!keys) {
        static std::mutex logMutex;
        static std::set<std::string> logged;
        std::lock_guard lock(logMutex);
        if (logged.insert(combination).second) {
            DiagLog::write(
                i18n::fill(i18n::tr("[input] unknown overview shortcut \"{1}\""), {combination}));
        }
        return false;
    }
    std::vector<KeyCode> codes;
    for (const unsigned long sym : *keys) {
        const KeyCode kc = XKeysymToKeycode(dpy, sym);
        if (kc == 0) {
            return false; // the keymap has no such key: the rest would be a different shortcut
        }
        codes.push_back(kc);
    }
    for (const KeyCode kc : codes) {
        XTestFakeKeyEvent(dpy, kc, True, CurrentTime);
    }
    for (auto it = codes.rbegin(); it != codes.rend(); ++it) {
        XTestFakeKeyEvent(dpy, *it, False, CurrentTime);
    }
    return true;
}

void X11OverviewOpener::openOverview() {
    const std::string text = combination_();
    if (!parseCombination(text)) {
        tap(nullptr, text); // logs it once
        return;
    }
    std::lock_guard lock(mutex_);
    if (!conn_ || !*conn_ || conn_->lost()) {
        conn_ = std::make_unique<x11::Connection>(display_);
    }
    if (!*conn_) {
        return;
    }
    if (tap(conn_->get(), text)) {
        XFlush(conn_->get());
    }
}

} // namespace quillon::platform
