// Stored paired-device records: any bytes either fail to decode with PairedDeviceDecodeError or
// give a record that encodes and decodes back to itself, with the same stored text both times.
#include "Quillon/Pairing/PairedDevice.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using quillon::PairedDevice;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    PairedDevice device;
    try {
        device = quillon::decodePairedDevice(input);
    } catch (const quillon::PairedDeviceDecodeError&) {
        return 0;
    }
    // Whatever decodes must be storable again: no encode error and an identical round trip.
    const std::string encoded = quillon::encodePairedDevice(device);
    const PairedDevice again = quillon::decodePairedDevice(encoded);
    if (!(again == device) || quillon::encodePairedDevice(again) != encoded) {
        std::abort();
    }
    return 0;
}
