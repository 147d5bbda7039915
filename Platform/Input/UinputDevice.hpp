#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace quillon::platform {

// One evdev event as a virtual device emits it (type EV_*, code, value).
struct EvdevEvent {
    std::uint16_t type = 0;
    std::uint16_t code = 0;
    std::int32_t value = 0;
    bool operator==(const EvdevEvent&) const = default;
};

// What a virtual input device announces: the kernel, udev and libinput classify it from these
// bits alone (relative axes with buttons: a mouse; absolute axes with a button: an absolute
// pointer; many keys: a keyboard), so the description decides what the session makes of it.
struct UinputDeviceDescription {
    struct Axis {
        std::uint16_t code = 0;
        std::int32_t minimum = 0;
        std::int32_t maximum = 0;
    };
    std::string name; // what the session shows (libinput list-devices, xinput, settings)
    std::uint16_t product = 0;
    std::vector<std::uint16_t> keys;     // EV_KEY codes (keys and buttons)
    std::vector<std::uint16_t> relative; // EV_REL codes
    std::vector<Axis> absolute;          // EV_ABS axes
    std::vector<std::uint16_t> leds;     // EV_LED codes the session may set (lock keys)
};

// The devices the host makes. Bus "virtual", one vendor number for all, a product number each.
namespace UinputDevices {
// The absolute pointer's axes span 0 ... kAbsoluteRange - 1: the whole desktop
// (every monitor's bounding box), as compositors and the X server map an absolute pointer.
inline constexpr std::int32_t kAbsoluteRange = 65536;
// A relative mouse: motion, left/right/middle buttons, both wheels in whole clicks and in
// high-resolution units.
UinputDeviceDescription pointer(std::string name = "Quillon pointer");
// An absolute pointer over the desktop (a button, so that udev calls it a mouse).
UinputDeviceDescription absolutePointer();
// A keyboard with every key code below 256 and the three lock LEDs.
UinputDeviceDescription keyboard();
} // namespace UinputDevices

// A wheel turned in high-resolution units (120 a click): each turn is REL_WHEEL_HI_RES /
// REL_HWHEEL_HI_RES as given (at most 100 clicks' worth a call) and, for readers without high
// resolution, REL_WHEEL / REL_HWHEEL for the whole clicks it completes; the rest of a click is
// kept per axis, and dropped when the axis turns the other way. Signs as evdev's (away from
// the user, right: > 0). Shared by the uinput backend and X11's smooth wheel.
class WheelTurns {
public:
    struct Turn {
        std::array<EvdevEvent, 4> events{};
        std::size_t count = 0;
        std::span<const EvdevEvent> span() const { return {events.data(), count}; }
        bool empty() const { return count == 0; }
    };
    Turn turn(int vertical, int horizontal);
    void reset() { rest_[0] = rest_[1] = 0; }

private:
    int rest_[2] = {0, 0};
};

// A virtual input device made through /dev/uinput, destroyed with this object.
//
// Frames: emit() writes the events and a SYN_REPORT in one write, so a reader never sees half
// a frame. The kernel keeps only a few dozen events per reader (evdev's buffer), and overflow
// drops events for a reader that is behind: callers pace long runs (typing) themselves.
class UinputDevice {
public:
    // Opens `path` and creates the device; null and `error` (in words a user can act on) when
    // it cannot.
    static std::unique_ptr<UinputDevice>
    create(const std::string& path, const UinputDeviceDescription& description, std::string& error);
    ~UinputDevice();
    UinputDevice(const UinputDevice&) = delete;
    UinputDevice& operator=(const UinputDevice&) = delete;

    // One frame: `events` followed by SYN_REPORT. False when the kernel refused the write.
    bool emit(std::span<const EvdevEvent> events);
    // Events the session sent to the device (EV_LED: lock states), read without blocking.
    void readFeedback(const std::function<void(const EvdevEvent&)>& each);

    const std::string& name() const noexcept { return name_; }
    // The kernel's name of the device ("input12" under /sys/devices/virtual/input/).
    const std::string& sysName() const noexcept { return sysName_; }

private:
    UinputDevice(int fd, std::string name, std::string sysName);
    int fd_ = -1;
    std::string name_;
    std::string sysName_;
};

// Why `path` cannot be used to make devices, in words a user can act on (missing node, no
// write permission, ...), or empty when it can. Opens and closes the node.
std::string uinputAccessProblem(const std::string& path);

} // namespace quillon::platform
