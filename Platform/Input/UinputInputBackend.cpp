#include "Platform/Input/UinputInputBackend.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Input/EvdevKeys.hpp"
#include "Platform/Input/OverviewCombination.hpp"
#include "Platform/Input/UinputDevice.hpp"
#include "Platform/Locale/Translation.hpp"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace quillon::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxClicksPerCall = 100; // absurd amounts must not become a flood of clicks
// libinput takes a button that changes again within 25 ms for a bouncing switch and drops the
// change: a double click's release and second press are kept this far apart.
constexpr auto kButtonSettle = std::chrono::milliseconds(30);

std::string utf8(std::u32string_view text) {
    std::string out;
    for (const char32_t c : text) {
        const auto cp = static_cast<std::uint32_t>(c);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

} // namespace

struct UinputInputBackend::Impl {
    enum class Device { pointer, absolute };

    Options options;
    std::unique_ptr<UinputDevice> pointer;
    std::unique_ptr<UinputDevice> absolute;
    std::unique_ptr<UinputDevice> keyboard;
    Clock::time_point lastAttempt{};

    mutable std::mutex reasonMutex; // permission() may be asked from another thread
    std::string reason;
    mutable std::mutex statsMutex;
    Stats stats;

    std::set<int> heldKeys;
    std::map<int, Device> heldButtons; // each button is released on the device that pressed it
    std::map<int, Clock::time_point> buttonChanged;
    Device lastMoved = Device::pointer;
    double remainder[2] = {0, 0}; // relative motion below one unit, per axis
    WheelTurns wheelTurns;
    bool capsLockOn = false; // the keyboard's Caps Lock LED, as the session last set it

    std::optional<LayoutIndex> layout;
    Clock::time_point layoutRead{};
    int tapsInBurst = 0;

    explicit Impl(Options o) : options(std::move(o)) { createDevices(); }

    void setReason(std::string r) {
        std::lock_guard lock(reasonMutex);
        reason = std::move(r);
    }

    void drop(std::uint64_t n = 1) {
        std::lock_guard lock(statsMutex);
        stats.dropped += n;
    }

    void createDevices() {
        lastAttempt = Clock::now();
        std::string error;
        auto p = UinputDevice::create(options.devicePath, UinputDevices::pointer(), error);
        auto a =
            p ? UinputDevice::create(options.devicePath, UinputDevices::absolutePointer(), error)
              : nullptr;
        auto k = a ? UinputDevice::create(options.devicePath, UinputDevices::keyboard(), error)
                   : nullptr;
        if (!k) {
            setReason(error);
            return;
        }
        pointer = std::move(p);
        absolute = std::move(a);
        keyboard = std::move(k);
        setReason({});
    }

    // The devices, made again when they are missing and the last attempt is old enough;
    // false: drop the verb.
    bool ready() {
        if (!writeFailure.empty()) {
            DiagLog::write(
                i18n::fill(i18n::tr("uinput: {1}; the devices are made again"), {writeFailure}));
            setReason(writeFailure);
            writeFailure.clear();
            pointer.reset();
            absolute.reset();
            keyboard.reset();
            heldKeys.clear();
            heldButtons.clear();
            lastAttempt = Clock::now();
        }
        if (keyboard) {
            return true;
        }
        if (Clock::now() - lastAttempt >= options.retryInterval) {
            createDevices();
        }
        if (!keyboard) {
            drop();
            return false;
        }
        return true;
    }

    UinputDevice& device(Device d) { return d == Device::pointer ? *pointer : *absolute; }

    // A write the kernel refused: the devices are given up at the next verb (destroying them
    // lets the kernel release whatever they held) and made again after `retryInterval`.
    std::string writeFailure;

    void emit(UinputDevice& dev, std::span<const EvdevEvent> events) {
        if (!writeFailure.empty()) {
            drop();
            return;
        }
        if (!dev.emit(events)) {
            writeFailure = i18n::fill(i18n::tr("the kernel refused input for \"{1}\": {2}"),
                                      {dev.name(), std::strerror(errno)});
            drop();
        }
    }
    void emit(UinputDevice& dev, std::initializer_list<EvdevEvent> events) {
        emit(dev, std::span<const EvdevEvent>(events.begin(), events.size()));
    }

    // --- pointer -----------------------------------------------------------------------

    void moveTo(Point to) {
        const auto space = options.pointerSpace ? options.pointerSpace() : std::nullopt;
        if (!space || space->desktop.width <= 0 || space->desktop.height <= 0 ||
            !std::isfinite(to.x) || !std::isfinite(to.y)) {
            drop();
            return;
        }
        // Inside the selected area (its last unit included), then as a fraction of the
        // desktop the device spans.
        const auto inside = [](double v, double size) {
            return std::clamp(v, 0.0, std::max(0.0, size - 1));
        };
        const double x = space->area.x + inside(to.x * space->scale, space->area.width);
        const double y = space->area.y + inside(to.y * space->scale, space->area.height);
        // Rounded up: the session scales the value back to value * size / range, and a point
        // a hair short of a whole pixel would land on the pixel before it (a step is at most
        // a fiftieth of a pixel on a desktop up to 1300 pixels across, and stays below one up
        // to 65536).
        const auto value = [](double v, double origin, double size) {
            const double f = (v - origin) / size;
            return static_cast<std::int32_t>(
                std::clamp(std::ceil(f * UinputDevices::kAbsoluteRange - 1e-6), 0.0,
                           double(UinputDevices::kAbsoluteRange - 1)));
        };
        emit(*absolute, {{EV_ABS, ABS_X, value(x, space->desktop.x, space->desktop.width)},
                         {EV_ABS, ABS_Y, value(y, space->desktop.y, space->desktop.height)}});
        lastMoved = Device::absolute;
        remainder[0] = remainder[1] = 0;
    }

    void moveBy(double dx, double dy) {
        if (!std::isfinite(dx) || !std::isfinite(dy)) {
            drop();
            return;
        }
        const auto space = options.pointerSpace ? options.pointerSpace() : std::nullopt;
        const double scale = space ? space->scale : 1.0;
        // Whole units now, the fraction kept for the next move (a slow finger still moves).
        const auto units = [](double& rest, double delta) {
            const double total = std::clamp(rest + delta, -1e6, 1e6);
            const double whole = std::trunc(total);
            rest = total - whole;
            return static_cast<std::int32_t>(whole);
        };
        const std::int32_t ux = units(remainder[0], dx * scale);
        const std::int32_t uy = units(remainder[1], dy * scale);
        lastMoved = Device::pointer;
        if (ux == 0 && uy == 0) {
            return;
        }
        if (ux == 0) {
            emit(*pointer, {{EV_REL, REL_Y, uy}});
        } else if (uy == 0) {
            emit(*pointer, {{EV_REL, REL_X, ux}});
        } else {
            emit(*pointer, {{EV_REL, REL_X, ux}, {EV_REL, REL_Y, uy}});
        }
    }

    void button(int code, bool down) {
        if (code != BTN_LEFT && code != BTN_RIGHT && code != BTN_MIDDLE) {
            drop();
            return;
        }
        const auto held = heldButtons.find(code);
        if (down == (held != heldButtons.end())) {
            return;
        }
        Device d = lastMoved;
        if (down) {
            heldButtons.emplace(code, d);
        } else {
            d = held->second;
            heldButtons.erase(held);
        }
        auto& changed = buttonChanged[code];
        if (Clock::now() < changed + kButtonSettle) {
            std::this_thread::sleep_until(changed + kButtonSettle);
        }
        emit(device(d), {{EV_KEY, static_cast<std::uint16_t>(code), down ? 1 : 0}});
        changed = Clock::now();
    }

    void wheel(int vertical, int horizontal) {
        const auto events = wheelTurns.turn(vertical, horizontal);
        if (!events.empty()) {
            emit(*pointer, events);
        }
    }

    // --- keys --------------------------------------------------------------------------

    void key(int code, bool down) {
        if (code <= 0 || code > 255) {
            drop();
            return;
        }
        if (down) {
            heldKeys.insert(code);
        } else {
            heldKeys.erase(code);
        }
        emit(*keyboard, {{EV_KEY, static_cast<std::uint16_t>(code), down ? 1 : 0}});
    }

    void pace() {
        if (++tapsInBurst >= std::max(1, options.tapsPerBurst)) {
            tapsInBurst = 0;
            std::this_thread::sleep_for(options.burstPause);
        }
    }

    void tap(int code, bool shift) {
        if (shift) {
            emit(*keyboard,
                 {{EV_KEY, KEY_LEFTSHIFT, 1}, {EV_KEY, static_cast<std::uint16_t>(code), 1}});
            emit(*keyboard,
                 {{EV_KEY, static_cast<std::uint16_t>(code), 0}, {EV_KEY, KEY_LEFTSHIFT, 0}});
        } else {
            emit(*keyboard, {{EV_KEY, static_cast<std::uint16_t>(code), 1}});
            emit(*keyboard, {{EV_KEY, static_cast<std::uint16_t>(code), 0}});
        }
        pace();
    }

    void readFeedback() {
        keyboard->readFeedback([this](const EvdevEvent& e) {
            if (e.type == EV_LED && e.code == LED_CAPSL) {
                capsLockOn = e.value != 0;
            }
        });
    }

    const LayoutIndex* currentLayout() {
        const auto now = Clock::now();
        if (!layout || now - layoutRead >= options.layoutMaxAge) {
            if (auto fresh = options.layout ? options.layout() : std::nullopt) {
                layout = std::move(fresh);
                layoutRead = now;
            }
        }
        return layout ? &*layout : nullptr;
    }

    // Runs `typing` with the held modifiers lifted and Caps Lock off, then puts both back.
    template <typename F> void withPlainKeyboard(F&& typing) {
        std::vector<int> lifted;
        for (const int k : heldKeys) {
            if (isModifierKey(k)) {
                lifted.push_back(k);
            }
        }
        for (const int k : lifted) {
            emit(*keyboard, {{EV_KEY, static_cast<std::uint16_t>(k), 0}});
        }
        readFeedback();
        const bool caps = capsLockOn;
        if (caps) {
            tap(KEY_CAPSLOCK, false);
        }
        typing();
        if (caps) {
            tap(KEY_CAPSLOCK, false);
        }
        for (const int k : lifted) {
            emit(*keyboard, {{EV_KEY, static_cast<std::uint16_t>(k), 1}});
        }
    }

    void typeText(std::u32string_view text) {
        tapsInBurst = 0;
        const LayoutIndex* keys = currentLayout();
        std::vector<std::pair<int, bool>> taps; // evdev code, Shift
        std::size_t missing = 0;
        for (const char32_t cp : text) {
            const xkb_keysym_t sym = xkb_utf32_to_keysym(static_cast<std::uint32_t>(cp));
            const auto it = keys != nullptr && sym != XKB_KEY_NoSymbol
                                ? keys->find(sym)
                                : LayoutIndex::const_iterator{};
            if (keys == nullptr || sym == XKB_KEY_NoSymbol || it == keys->end() ||
                it->second.keycode < 9 || it->second.keycode > 255 + 8) {
                ++missing;
                continue;
            }
            taps.emplace_back(static_cast<int>(it->second.keycode) - 8, it->second.shift);
        }
        bool pasteFailed = false;
        if (missing > 0 && options.paste) {
            // Typing the rest and pasting the others would race: the paste arrives when the
            // application reads the clipboard, keys may overtake it. The whole text goes.
            pasteFailed = !options.paste(utf8(text));
            if (!pasteFailed) {
                {
                    std::lock_guard lock(statsMutex);
                    ++stats.pastes;
                }
                withPlainKeyboard([&] {
                    emit(*keyboard, {{EV_KEY, KEY_LEFTCTRL, 1}});
                    tap(KEY_V, false);
                    emit(*keyboard, {{EV_KEY, KEY_LEFTCTRL, 0}});
                });
                return;
            }
        }
        if (missing > 0) {
            drop(missing);
            DiagLog::write(i18n::fill(
                pasteFailed ? i18n::tr("uinput: {1} of {2} characters are not on the keyboard "
                                       "layout and the session's clipboard could not be set: "
                                       "they were dropped")
                            : i18n::tr("uinput: {1} of {2} characters are not on the keyboard "
                                       "layout and the session offers no clipboard Quillon can "
                                       "set: they were dropped"),
                {std::to_string(missing), std::to_string(text.size())}));
        }
        withPlainKeyboard([&] {
            for (const auto& [code, shift] : taps) {
                tap(code, shift);
            }
        });
    }

    void releaseAll() {
        for (const auto& [code, d] : std::map<int, Device>(heldButtons)) {
            emit(device(d), {{EV_KEY, static_cast<std::uint16_t>(code), 0}});
        }
        heldButtons.clear();
        for (const int k : std::set<int>(heldKeys)) {
            key(k, false);
        }
        wheelTurns.reset();
        remainder[0] = remainder[1] = 0;
    }
};

UinputInputBackend::UinputInputBackend(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

UinputInputBackend::~UinputInputBackend() {
    if (impl_->keyboard) {
        impl_->releaseAll();
    }
}

InputPermission UinputInputBackend::permission() const {
    std::lock_guard lock(impl_->reasonMutex);
    return {impl_->reason.empty(), impl_->reason};
}

UinputInputBackend::Stats UinputInputBackend::stats() const {
    std::lock_guard lock(impl_->statsMutex);
    return impl_->stats;
}

void UinputInputBackend::movePointerTo(Point to) {
    if (impl_->ready()) {
        impl_->moveTo(to);
    }
}

void UinputInputBackend::movePointerBy(double dx, double dy) {
    if (impl_->ready()) {
        impl_->moveBy(dx, dy);
    }
}

void UinputInputBackend::button(int button, bool down) {
    if (impl_->ready()) {
        impl_->button(button, down);
    }
}

void UinputInputBackend::key(int evdevCode, bool down) {
    if (impl_->ready()) {
        impl_->key(evdevCode, down);
    }
}

void UinputInputBackend::typeText(std::u32string_view text) {
    if (!text.empty() && impl_->ready()) {
        impl_->typeText(text);
    }
}

void UinputInputBackend::wheel(int vertical, int horizontal) {
    if (impl_->ready()) {
        impl_->wheel(vertical, horizontal);
    }
}

void UinputInputBackend::zoom(int steps) {
    if (steps == 0 || !impl_->ready()) {
        return;
    }
    // Control + wheel clicks, as toolkits zoom; a Control the caller already holds stays down.
    const bool pressCtrl = impl_->heldKeys.count(KEY_LEFTCTRL) == 0;
    if (pressCtrl) {
        impl_->key(KEY_LEFTCTRL, true);
    }
    // Whole clicks of their own, apart from the scrolling's rest of a click.
    const int clicks = std::clamp(steps, -kMaxClicksPerCall, kMaxClicksPerCall);
    WheelTurns zoomTurns;
    impl_->emit(*impl_->pointer, zoomTurns.turn(clicks * kWheelUnitsPerClick, 0));
    if (pressCtrl) {
        impl_->key(KEY_LEFTCTRL, false);
    }
}

void UinputInputBackend::switchDesktop(int delta) {
    if (delta != 0) {
        impl_->drop();
    }
}

void UinputInputBackend::toggleShowDesktop() {
    impl_->drop();
}

void UinputInputBackend::openOverview() {
    if (!impl_->ready()) {
        return;
    }
    const std::string text =
        impl_->options.overviewCombination ? impl_->options.overviewCombination() : "Super";
    const LayoutIndex* layout = impl_->currentLayout();
    const auto keys = evdevCombination(text, layout != nullptr ? *layout : LayoutIndex{});
    if (!keys) {
        // Pressing part of a combination would type or trigger something else.
        DiagLog::write("overviewKey \"" + text +
                       "\" is not a key combination of this keyboard layout: nothing pressed");
        impl_->drop();
        return;
    }
    // A key the tablet holds down is left alone: its release would cut the user's hold.
    for (const int k : *keys) {
        if (impl_->heldKeys.count(k) != 0) {
            return;
        }
    }
    for (const int k : *keys) {
        impl_->key(k, true);
    }
    for (auto it = keys->rbegin(); it != keys->rend(); ++it) {
        impl_->key(*it, false);
    }
}

void UinputInputBackend::releaseAll() {
    if (impl_->keyboard) {
        impl_->releaseAll();
    }
}

void UinputInputBackend::flush() {
    // Every frame is written as it is made: nothing is buffered. The session's LED changes
    // are read here so the queue of them never fills.
    if (impl_->keyboard) {
        impl_->readFeedback();
    }
}

} // namespace quillon::platform
