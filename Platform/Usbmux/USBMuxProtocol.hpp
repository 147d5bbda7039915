#pragma once

#include "WireProtocol/Bytes.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace quillon::platform::usbmux {

// A property-list value as the usbmuxd messages use it. Kinds the daemon never sends us (dates,
// UIDs) arrive as `Other`, so a dictionary holding one still parses and the keys we read stay
// usable.
struct PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDictionary = std::map<std::string, PlistValue>;

struct PlistValue {
    struct Other {
        bool operator==(const Other&) const = default;
    };
    // Integers are kept as the signed reading of their 64 bits.
    std::variant<Other, bool, std::int64_t, double, std::string, wire::Bytes, PlistArray,
                 PlistDictionary>
        value;

    PlistValue() = default;
    PlistValue(bool v) : value(v) {}
    PlistValue(std::int64_t v) : value(v) {}
    PlistValue(int v) : value(std::int64_t{v}) {}
    PlistValue(double v) : value(v) {}
    PlistValue(std::string v) : value(std::move(v)) {}
    PlistValue(const char* v) : value(std::string(v)) {}
    PlistValue(wire::Bytes v) : value(std::move(v)) {}
    PlistValue(PlistArray v) : value(std::move(v)) {}
    PlistValue(PlistDictionary v) : value(std::move(v)) {}

    template <typename T> const T* get() const noexcept { return std::get_if<T>(&value); }
    bool operator==(const PlistValue&) const = default;
};

// The property-list serialiser or parser failed (text for logs).
class PropertyListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Failures of a usbmuxd exchange. description() is the text the USB transport appends to its
// connect-failure log line.
class USBMuxError : public std::exception {
public:
    enum class Kind { connectRejected, socketUnavailable, malformed, noDevice };

    static USBMuxError connectRejected(std::int64_t code) {
        return USBMuxError(Kind::connectRejected, code);
    }
    static USBMuxError socketUnavailable() { return USBMuxError(Kind::socketUnavailable, 0); }
    static USBMuxError malformed() { return USBMuxError(Kind::malformed, 0); }
    static USBMuxError noDevice() { return USBMuxError(Kind::noDevice, 0); }

    Kind kind() const noexcept { return kind_; }
    // The daemon's result code (connectRejected; -1 when the reply carried no integer "Number").
    std::int64_t code() const noexcept { return code_; }
    const std::string& description() const noexcept { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }
    bool operator==(const USBMuxError& other) const noexcept {
        return kind_ == other.kind_ && code_ == other.code_;
    }

private:
    USBMuxError(Kind kind, std::int64_t code);
    Kind kind_;
    std::int64_t code_;
    std::string text_;
};

// The usbmuxd message layer: a 16-byte little-endian header (length, version 1, type 8 = plist,
// tag) in front of an XML property list whose top level is a dictionary. Stateless.
namespace USBMuxProtocol {

inline constexpr std::size_t headerLength = 16;
inline constexpr std::uint32_t version = 1;
inline constexpr std::uint32_t plistMessageType = 8;

// A device as the daemon lists it.
struct Device {
    std::int64_t id = 0;
    std::string serial;
    bool isUSB = false;
    bool operator==(const Device&) const = default;
};

PlistDictionary listDevices();
// PortNumber carries the port's two bytes swapped (network order read as little-endian):
// 49281 travels as 33216.
PlistDictionary connect(std::int64_t deviceID, std::uint16_t port);

// Header and XML payload. Throws PropertyListError when the dictionary cannot be written.
wire::Bytes encode(const PlistDictionary& message, std::uint32_t tag);
// The header's length field, or nothing with fewer than 16 bytes.
std::optional<std::uint32_t> totalLength(wire::ByteView bytes);
// A whole message: header then payload, in any property-list format the parser reads. The
// length field is not consulted. Throws USBMuxError::malformed (16 bytes or fewer, a top level
// that is not a dictionary) or PropertyListError.
PlistDictionary decode(wire::ByteView message);

// Entries without a Properties dictionary holding an integer DeviceID are skipped; serial and
// connection type default to empty.
std::vector<Device> parseDevices(const PlistDictionary& reply);
// "Number" present, an integer and 0.
bool isConnectSuccess(const PlistDictionary& reply);
// The reply's integer "Number", or -1 when it has none.
std::int64_t resultNumber(const PlistDictionary& reply);

} // namespace USBMuxProtocol

} // namespace quillon::platform::usbmux
