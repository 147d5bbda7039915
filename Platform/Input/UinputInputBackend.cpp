#include "Platform/Input/UinputInputBackend.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Input/Clipboard/SessionClipboard.hpp"
#include "Platform/Input/LayoutText.hpp"
#include "Platform/Input/UinputDevice.hpp"
#include "Platform/Locale/Translation.hpp"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace quillon::platform {

namespace {

using Clock = std::chrono::steady_clock;

// libinput takes a button that changes again within 25 ms for a bouncing switch and drops the
// change: a double click's release and second press are kept this far apart.
constexpr auto kButtonSettle = std::chrono::milliseconds(30);

// The buttons the pointers have, by index.
constexpr int kButtons[] = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE};

int buttonIndex(int code) {
    for (int i = 0; i < 3; ++i) {
        if (kButtons[i] == code) {
            return i;
        }
    }
    return -1;
}

} // namespace

struct UinputInputBackend::Impl {
    enum class Device : std::uint8_t { pointer, absolute };

    Options options;
    std::unique_ptr<UinputDevice> pointer;
    std::unique_ptr<UinputDevice> absolute;
    std::unique_ptr<UinputDevice> keyboard;
    Clock::time_point lastAttempt{};
    std::atomic<std::uint64_t> made{0};

    mutable std::mutex reasonMutex; // permission() may be asked from another thread
    std::string reason;
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> pastes{0};

    // What the devices are in the middle of: where each held button went down, when each
    // button last changed, which device moved last, motion below one unit, a wheel's part of a
    // click, the keyboard's Caps Lock light.
    Device pressedOn[3] = {Device::pointer, Device::pointer, Device::pointer};
    Clock::time_point buttonChanged[3] = {};
    Device lastMoved = Device::pointer;
    double remainder[2] = {0, 0};
    WheelTurns wheelTurns;
    bool capsLockOn = false;
    // A write the kernel refused: the devices are given up at the next verb.
    std::string writeFailure;

    std::optional<LayoutIndex> layout;
    Clock::time_point layoutRead{};
    std::vector<KeyPlace> textKeys; // typeText's keys, kept so that typing allocates nothing
    int tapsInBurst = 0;

    explicit Impl(Options o) : options(std::move(o)) { createDevices(); }

    void setReason(std::string r) {
        std::lock_guard lock(reasonMutex);
        reason = std::move(r);
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
        lastMoved = Device::pointer;
        remainder[0] = remainder[1] = 0;
        wheelTurns.reset();
        capsLockOn = false;
        ++made;
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
            lastAttempt = Clock::now();
        }
        if (!keyboard && Clock::now() - lastAttempt >= options.retryInterval) {
            createDevices();
        }
        if (!keyboard) {
            ++dropped;
            return false;
        }
        return true;
    }

    UinputDevice& device(Device d) { return d == Device::pointer ? *pointer : *absolute; }

    void emit(UinputDevice& dev, std::span<const EvdevEvent> events) {
        if (!writeFailure.empty()) {
            ++dropped;
            return;
        }
        if (!dev.emit(events)) {
            writeFailure = i18n::fill(i18n::tr("the kernel refused input for \"{1}\": {2}"),
                                      {dev.name(), std::strerror(errno)});
            ++dropped;
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
            ++dropped;
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
            ++dropped;
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
        const int i = buttonIndex(code);
        if (i < 0) {
            ++dropped;
            return;
        }
        // A press goes where the pointer moved last; its release where the press went.
        if (down) {
            pressedOn[i] = lastMoved;
        }
        if (Clock::now() < buttonChanged[i] + kButtonSettle) {
            std::this_thread::sleep_until(buttonChanged[i] + kButtonSettle);
        }
        emit(device(pressedOn[i]), {{EV_KEY, static_cast<std::uint16_t>(code), down ? 1 : 0}});
        buttonChanged[i] = Clock::now();
    }

    void wheel(int vertical, int horizontal) {
        const auto turn = wheelTurns.turn(vertical, horizontal);
        if (!turn.empty()) {
            emit(*pointer, turn.span());
        }
    }

    // --- keys --------------------------------------------------------------------------

    void key(int code, bool down) {
        if (code <= 0 || code > 255) {
            ++dropped;
            return;
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
        const auto c = static_cast<std::uint16_t>(code);
        if (shift) {
            emit(*keyboard, {{EV_KEY, KEY_LEFTSHIFT, 1}, {EV_KEY, c, 1}});
            emit(*keyboard, {{EV_KEY, c, 0}, {EV_KEY, KEY_LEFTSHIFT, 0}});
        } else {
            emit(*keyboard, {{EV_KEY, c, 1}});
            emit(*keyboard, {{EV_KEY, c, 0}});
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

    // Runs `typing` with Caps Lock off, then puts it back: the session applies it to every key
    // of every keyboard, ours included.
    template <typename F> void withoutCapsLock(F&& typing) {
        readFeedback();
        const bool caps = capsLockOn;
        if (caps) {
            tap(KEY_CAPSLOCK, false);
        }
        typing();
        if (caps) {
            tap(KEY_CAPSLOCK, false);
        }
    }

    void typeText(std::u32string_view text) {
        tapsInBurst = 0;
        static const LayoutIndex kNone;
        const LayoutIndex* keys = currentLayout();
        const std::size_t missing = keysForText(text, keys != nullptr ? *keys : kNone, textKeys);
        bool pasteFailed = false;
        if (missing > 0 && options.clipboard) {
            pasteFailed = !options.clipboard->offerPaste(utf8(text));
            if (!pasteFailed) {
                ++pastes;
                const int v = pasteKey(keys != nullptr ? *keys : kNone);
                withoutCapsLock([&] {
                    emit(*keyboard, {{EV_KEY, KEY_LEFTCTRL, 1}});
                    tap(v, false);
                    emit(*keyboard, {{EV_KEY, KEY_LEFTCTRL, 0}});
                });
                return;
            }
        }
        if (missing > 0) {
            dropped += missing;
            DiagLog::write(i18n::fill(
                pasteFailed ? i18n::tr("uinput: {1} of {2} characters are not on the keyboard "
                                       "layout and the session's clipboard could not be set: "
                                       "they were dropped")
                            : i18n::tr("uinput: {1} of {2} characters are not on the keyboard "
                                       "layout and the session offers no clipboard Quillon can "
                                       "set: they were dropped"),
                {std::to_string(missing), std::to_string(text.size())}));
        }
        if (options.clipboard && !textKeys.empty()) {
            options.clipboard->awaitPasteRead(); // an earlier run's paste comes first
        }
        withoutCapsLock([&] {
            for (const auto& k : textKeys) {
                tap(k.code, k.shift);
            }
        });
    }
};

UinputInputBackend::UinputInputBackend(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

// The devices go with the backend; the kernel releases what they held.
UinputInputBackend::~UinputInputBackend() = default;

InputPermission UinputInputBackend::permission() const {
    std::lock_guard lock(impl_->reasonMutex);
    return {impl_->reason.empty(), impl_->reason};
}

std::uint64_t UinputInputBackend::connections() const {
    return impl_->made.load();
}

UinputInputBackend::Stats UinputInputBackend::stats() const {
    return {impl_->dropped.load(), impl_->pastes.load()};
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

std::optional<KeyPlace> UinputInputBackend::keyForKeysym(std::uint32_t keysym) {
    const LayoutIndex* layout = impl_->currentLayout();
    return layout != nullptr ? keyPlaceOf(*layout, keysym) : std::nullopt;
}

void UinputInputBackend::flush() {
    // The session's LED changes are read here so the queue of them never fills.
    if (impl_->keyboard) {
        impl_->readFeedback();
    }
}

} // namespace quillon::platform
