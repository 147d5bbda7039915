// A usbmuxd reply as the daemon might send it: header then any bytes. Invariants: decode either
// yields a dictionary or throws one of the two documented errors; the parsers never throw; a
// decoded dictionary that holds only writable values re-encodes to one that decodes equal.
#include "Platform/Usbmux/USBMuxProtocol.hpp"

#include <cstdint>
#include <cstdlib>

using namespace quillon::platform::usbmux;

namespace {

bool writable(const PlistValue& v) {
    if (v.get<PlistValue::Other>() != nullptr) {
        return false;
    }
    if (const auto* s = v.get<std::string>()) {
        return s->find('\0') == std::string::npos;
    }
    if (const auto* d = v.get<double>()) {
        return *d == *d; // NaN never compares equal
    }
    if (const auto* a = v.get<PlistArray>()) {
        for (const auto& item : *a) {
            if (!writable(item)) {
                return false;
            }
        }
    }
    if (const auto* d = v.get<PlistDictionary>()) {
        for (const auto& [k, item] : *d) {
            if (k.find('\0') != std::string::npos || !writable(item)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PlistDictionary reply;
    try {
        reply = USBMuxProtocol::decode(quillon::wire::ByteView(data, size));
    } catch (const USBMuxError&) {
        return 0;
    } catch (const PropertyListError&) {
        return 0;
    }
    (void)USBMuxProtocol::parseDevices(reply);
    (void)USBMuxProtocol::isConnectSuccess(reply);
    (void)USBMuxProtocol::resultNumber(reply);
    if (writable(PlistValue(reply))) {
        const auto again = USBMuxProtocol::decode(USBMuxProtocol::encode(reply, 1));
        if (!(again == reply)) {
            std::abort();
        }
    }
    return 0;
}
