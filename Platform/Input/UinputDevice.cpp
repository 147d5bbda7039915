#include "Platform/Input/UinputDevice.hpp"

#include "Platform/Locale/Translation.hpp"

#include <linux/input.h>
#include <linux/uinput.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

constexpr std::uint16_t kVendor = 0x5175; // ours; no hardware quirk of libinput matches it

std::string userName() {
    if (const passwd* pw = ::getpwuid(::geteuid())) {
        return pw->pw_name;
    }
    return "uid " + std::to_string(::geteuid());
}

std::string problemFor(const std::string& path, int error) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return i18n::fill(
            i18n::tr("{1} does not exist: the kernel's uinput module is not loaded. Load it with "
                     "\"sudo modprobe uinput\"; Quillon's package loads it at every boot "
                     "(modules-load.d), and after building from source \"sudo "
                     "scripts/install-uinput-access\" sets that up"),
            {path});
    case EACCES:
    case EPERM:
    case EROFS:
        return i18n::fill(
            i18n::tr("{1} is not writable by {2}: Quillon's udev rule gives the user logged in at "
                     "the seat access to it. Install the package, or after building from source "
                     "run \"sudo scripts/install-uinput-access\" (it takes effect at once for the "
                     "logged-in user)"),
            {path, userName()});
    default:
        return i18n::fill(i18n::tr("cannot open {1}: {2}"), {path, std::strerror(error)});
    }
}

bool setBits(int fd, unsigned long typeRequest, unsigned type, unsigned long codeRequest,
             const std::vector<std::uint16_t>& codes) {
    if (codes.empty()) {
        return true;
    }
    if (::ioctl(fd, typeRequest, type) < 0) {
        return false;
    }
    for (const auto code : codes) {
        if (::ioctl(fd, codeRequest, static_cast<unsigned>(code)) < 0) {
            return false;
        }
    }
    return true;
}

} // namespace

namespace UinputDevices {

UinputDeviceDescription pointer(std::string name) {
    UinputDeviceDescription d;
    d.name = std::move(name);
    d.product = 1;
    d.keys = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE};
    d.relative = {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES};
    return d;
}

UinputDeviceDescription absolutePointer() {
    UinputDeviceDescription d;
    d.name = "Quillon absolute pointer";
    d.product = 2;
    d.keys = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE};
    d.absolute = {{ABS_X, 0, kAbsoluteRange - 1}, {ABS_Y, 0, kAbsoluteRange - 1}};
    return d;
}

UinputDeviceDescription keyboard() {
    UinputDeviceDescription d;
    d.name = "Quillon keyboard";
    d.product = 3;
    for (std::uint16_t code = KEY_ESC; code < 256; ++code) {
        d.keys.push_back(code);
    }
    d.leds = {LED_NUML, LED_CAPSL, LED_SCROLLL};
    return d;
}

} // namespace UinputDevices

WheelTurns::Turn WheelTurns::turn(int vertical, int horizontal) {
    constexpr int kUnitsPerClick = 120;
    constexpr int kLimit = 100 * kUnitsPerClick; // absurd amounts must not become a flood
    Turn out;
    const auto axis = [&](int units, int& rest, std::uint16_t hiRes, std::uint16_t clicks) {
        if (units == 0) {
            return;
        }
        units = std::clamp(units, -kLimit, kLimit);
        out.events[out.count++] = {EV_REL, hiRes, units};
        if ((rest < 0) != (units < 0)) {
            rest = 0; // the other way: the part of a click turned before does not count
        }
        rest += units;
        const int whole = rest / kUnitsPerClick; // toward zero: the rest keeps its sign
        rest -= whole * kUnitsPerClick;
        if (whole != 0) {
            out.events[out.count++] = {EV_REL, clicks, whole};
        }
    };
    axis(vertical, rest_[0], REL_WHEEL_HI_RES, REL_WHEEL);
    axis(horizontal, rest_[1], REL_HWHEEL_HI_RES, REL_HWHEEL);
    return out;
}

std::unique_ptr<UinputDevice> UinputDevice::create(const std::string& path,
                                                   const UinputDeviceDescription& description,
                                                   std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = problemFor(path, errno);
        return nullptr;
    }
    std::vector<std::uint16_t> absCodes;
    for (const auto& axis : description.absolute) {
        absCodes.push_back(axis.code);
    }
    bool ok = setBits(fd, UI_SET_EVBIT, EV_KEY, UI_SET_KEYBIT, description.keys) &&
              setBits(fd, UI_SET_EVBIT, EV_REL, UI_SET_RELBIT, description.relative) &&
              setBits(fd, UI_SET_EVBIT, EV_ABS, UI_SET_ABSBIT, absCodes) &&
              setBits(fd, UI_SET_EVBIT, EV_LED, UI_SET_LEDBIT, description.leds);
    for (const auto& axis : description.absolute) {
        uinput_abs_setup abs{};
        abs.code = axis.code;
        abs.absinfo.minimum = axis.minimum;
        abs.absinfo.maximum = axis.maximum;
        ok = ok && ::ioctl(fd, UI_ABS_SETUP, &abs) == 0;
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = kVendor;
    setup.id.product = description.product;
    setup.id.version = 1;
    description.name.copy(setup.name, sizeof setup.name - 1);
    ok = ok && ::ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ::ioctl(fd, UI_DEV_CREATE) == 0;
    if (!ok) {
        error = i18n::fill(
            i18n::tr("the kernel refused to create the virtual device \"{1}\" through {2}: {3}"),
            {description.name, path, std::strerror(errno)});
        ::close(fd);
        return nullptr;
    }
    char sysName[64] = {};
    if (::ioctl(fd, UI_GET_SYSNAME(sizeof sysName - 1), sysName) < 0) {
        sysName[0] = '\0';
    }
    return std::unique_ptr<UinputDevice>(new UinputDevice(fd, description.name, sysName));
}

UinputDevice::UinputDevice(int fd, std::string name, std::string sysName)
    : fd_(fd), name_(std::move(name)), sysName_(std::move(sysName)) {}

UinputDevice::~UinputDevice() {
    ::ioctl(fd_, UI_DEV_DESTROY);
    ::close(fd_);
}

bool UinputDevice::emit(std::span<const EvdevEvent> events) {
    // Small frames (a key with Shift, a move, a wheel turn): one write, no allocation.
    constexpr std::size_t kMax = 16;
    input_event buffer[kMax + 1];
    std::size_t n = 0;
    for (const auto& e : events) {
        if (n == kMax) {
            return false;
        }
        buffer[n] = {};
        buffer[n].type = e.type;
        buffer[n].code = e.code;
        buffer[n].value = e.value;
        ++n;
    }
    buffer[n] = {};
    buffer[n].type = EV_SYN;
    buffer[n].code = SYN_REPORT;
    ++n;
    const auto bytes = n * sizeof(input_event);
    ssize_t written;
    do {
        written = ::write(fd_, buffer, bytes);
    } while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(bytes);
}

void UinputDevice::readFeedback(const std::function<void(const EvdevEvent&)>& each) {
    input_event e{};
    while (::read(fd_, &e, sizeof e) == static_cast<ssize_t>(sizeof e)) {
        each({e.type, e.code, e.value});
    }
}

std::string uinputAccessProblem(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return problemFor(path, errno);
    }
    ::close(fd);
    return {};
}

} // namespace quillon::platform
