#include "Platform/Input/RecordingInputBackend.hpp"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <cstdio>
#include <sstream>
#include <unordered_map>

namespace quillon::platform {

namespace {

const char* actionName(int action) {
    switch (static_cast<DesktopAction>(action)) {
    case DesktopAction::workspaceLeft:
        return "workspaceLeft";
    case DesktopAction::workspaceRight:
        return "workspaceRight";
    case DesktopAction::toggleShowDesktop:
        return "toggleShowDesktop";
    }
    return "?";
}

// A US layout, in Linux key codes.
const std::unordered_map<std::uint32_t, KeyPlace>& usLayout() {
    static const auto* layout = [] {
        auto* m = new std::unordered_map<std::uint32_t, KeyPlace>;
        const char* rows[] = {"1234567890", "qwertyuiop", "asdfghjkl", "zxcvbnm"};
        const int firstCode[] = {2, 16, 30, 44};
        for (int r = 0; r < 4; ++r) {
            for (int i = 0; rows[r][i] != '\0'; ++i) {
                const auto c = static_cast<std::uint32_t>(rows[r][i]);
                (*m)[c] = {firstCode[r] + i, false};
                if (c >= 'a' && c <= 'z') {
                    (*m)[c - 'a' + 'A'] = {firstCode[r] + i, true};
                }
            }
        }
        (*m)[XKB_KEY_minus] = {12, false};
        (*m)[XKB_KEY_equal] = {13, false};
        (*m)[XKB_KEY_plus] = {13, true};
        (*m)[XKB_KEY_Tab] = {15, false};
        (*m)[XKB_KEY_Return] = {28, false};
        (*m)[XKB_KEY_space] = {57, false};
        (*m)[XKB_KEY_Home] = {102, false};
        (*m)[XKB_KEY_Up] = {103, false};
        (*m)[XKB_KEY_Page_Up] = {104, false};
        (*m)[XKB_KEY_Left] = {105, false};
        (*m)[XKB_KEY_Right] = {106, false};
        (*m)[XKB_KEY_End] = {107, false};
        (*m)[XKB_KEY_Down] = {108, false};
        (*m)[XKB_KEY_Page_Down] = {109, false};
        (*m)[XKB_KEY_Control_L] = {29, false};
        (*m)[XKB_KEY_Shift_L] = {42, false};
        (*m)[XKB_KEY_Alt_L] = {56, false};
        (*m)[XKB_KEY_Super_L] = {125, false};
        for (int f = 0; f < 10; ++f) {
            (*m)[XKB_KEY_F1 + static_cast<std::uint32_t>(f)] = {59 + f, false};
        }
        (*m)[XKB_KEY_F11] = {87, false};
        (*m)[XKB_KEY_F12] = {88, false};
        return m;
    }();
    return *layout;
}

} // namespace

std::string InputVerb::description() const {
    std::ostringstream os;
    switch (kind) {
    case Kind::moveTo:
        os << "moveTo(" << x << "," << y << ")";
        break;
    case Kind::moveBy:
        os << "moveBy(" << x << "," << y << ")";
        break;
    case Kind::button:
        os << "button(" << a << "," << (b != 0 ? "down" : "up") << ")";
        break;
    case Kind::key:
        os << "key(" << a << "," << (b != 0 ? "down" : "up") << ")";
        break;
    case Kind::text:
        os << "text(";
        for (const char32_t cp : text) {
            if (cp >= 0x20 && cp < 0x7F) {
                os << static_cast<char>(cp);
            } else {
                char hex[16];
                std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(cp));
                os << hex;
            }
        }
        os << ")";
        break;
    case Kind::wheel:
        os << "wheel(" << a << "," << b << ")";
        break;
    case Kind::desktop:
        os << "desktop(" << actionName(a) << ")";
        break;
    }
    return os.str();
}

void RecordingInputBackend::record(InputVerb verb) {
    std::lock_guard lock(mutex_);
    verbs_.push_back(std::move(verb));
}

std::uint64_t RecordingInputBackend::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

void RecordingInputBackend::reconnect() {
    std::lock_guard lock(mutex_);
    ++connections_;
}

void RecordingInputBackend::movePointerTo(Point to) {
    record({InputVerb::Kind::moveTo, to.x, to.y, 0, 0, {}});
}

void RecordingInputBackend::movePointerBy(double dx, double dy) {
    record({InputVerb::Kind::moveBy, dx, dy, 0, 0, {}});
}

void RecordingInputBackend::button(int button, bool down) {
    record({InputVerb::Kind::button, 0, 0, button, down ? 1 : 0, {}});
}

void RecordingInputBackend::key(int evdevCode, bool down) {
    record({InputVerb::Kind::key, 0, 0, evdevCode, down ? 1 : 0, {}});
}

void RecordingInputBackend::typeText(std::u32string_view text) {
    record({InputVerb::Kind::text, 0, 0, 0, 0, std::u32string(text)});
}

void RecordingInputBackend::wheel(int vertical, int horizontal) {
    record({InputVerb::Kind::wheel, 0, 0, vertical, horizontal, {}});
}

std::optional<KeyPlace> RecordingInputBackend::keyForKeysym(std::uint32_t keysym) {
    const auto& layout = usLayout();
    const auto it = layout.find(keysym);
    return it == layout.end() ? std::nullopt : std::optional<KeyPlace>(it->second);
}

bool RecordingInputBackend::desktopAction(DesktopAction action) {
    if (!ownDesktopActions_) {
        return false;
    }
    record({InputVerb::Kind::desktop, 0, 0, static_cast<int>(action), 0, {}});
    return true;
}

std::vector<int> RecordingInputBackend::desktopShortcut(DesktopAction action) const {
    const auto it = shortcuts_.find(action);
    return it == shortcuts_.end() ? std::vector<int>{} : it->second;
}

void RecordingInputBackend::flush() {
    std::lock_guard lock(mutex_);
    ++flushes_;
}

std::vector<InputVerb> RecordingInputBackend::verbs() const {
    std::lock_guard lock(mutex_);
    return verbs_;
}

std::vector<std::string> RecordingInputBackend::take() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(verbs_.size());
    for (const auto& v : verbs_) {
        out.push_back(v.description());
    }
    verbs_.clear();
    return out;
}

std::size_t RecordingInputBackend::count() const {
    std::lock_guard lock(mutex_);
    return verbs_.size();
}

std::size_t RecordingInputBackend::flushCount() const {
    std::lock_guard lock(mutex_);
    return flushes_;
}

void RecordingInputBackend::clear() {
    std::lock_guard lock(mutex_);
    verbs_.clear();
}

void RecordingInputBackend::reserve(std::size_t verbs) {
    std::lock_guard lock(mutex_);
    verbs_.reserve(verbs);
}

} // namespace quillon::platform
