#include "Quillon/Pairing/PairedDevice.hpp"

#include "Platform/Parsing/NestingScan.hpp"

#include <nlohmann/json.hpp>

#include <cmath>

namespace quillon {

namespace {

using nlohmann::json;

// Nesting deeper than this only occurs in hostile input (the record itself is flat; unknown
// keys are tolerated but their values are never used).
constexpr std::size_t kMaxDepth = 64;

struct TooDeep {};

double toStored(double unixSeconds, const char* key) {
    if (!std::isfinite(unixSeconds)) {
        throw PairedDeviceEncodeError(std::string("\"") + key + "\" is not a finite time");
    }
    return unixSeconds - kReferenceDateOffset;
}

const json& required(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) {
        throw PairedDeviceDecodeError(std::string("missing key \"") + key + "\"");
    }
    return *it;
}

std::string requiredString(const json& object, const char* key) {
    const json& value = required(object, key);
    if (!value.is_string()) {
        throw PairedDeviceDecodeError(std::string("\"") + key + "\" is not a string");
    }
    return value.get<std::string>();
}

double timeFrom(const json& value, const char* key) {
    if (!value.is_number()) {
        throw PairedDeviceDecodeError(std::string("\"") + key + "\" is not a number");
    }
    const double stored = value.get<double>();
    // A literal too large for a double parses as infinity; no time is stored that way.
    if (!std::isfinite(stored)) {
        throw PairedDeviceDecodeError(std::string("\"") + key + "\" is out of range");
    }
    return stored + kReferenceDateOffset;
}

} // namespace

std::string encodePairedDevice(const PairedDevice& device) {
    // nlohmann's object type sorts its keys; ordered_json keeps the insertion order, which is
    // the order the record has always been written in.
    nlohmann::ordered_json object;
    object["deviceID"] = device.deviceID;
    object["deviceName"] = device.deviceName;
    object["token"] = wire::base64Encode(device.token);
    object["pairedAt"] = toStored(device.pairedAt, "pairedAt");
    if (device.lastSeenAt) {
        object["lastSeenAt"] = toStored(*device.lastSeenAt, "lastSeenAt");
    }
    try {
        return object.dump();
    } catch (const nlohmann::json::type_error&) {
        // Text that is not UTF-8 has no JSON form.
        throw PairedDeviceEncodeError("deviceID or deviceName is not valid UTF-8");
    }
}

PairedDevice decodePairedDevice(std::string_view text) {
    // A record is a few hundred bytes; its size and shape are checked before the parser builds
    // anything from it.
    platform::NestingLimits limits;
    limits.maxDepth = kMaxDepth;
    limits.maxNodes = 4096;
    limits.maxBytes = 1 << 20;
    if (const auto verdict = platform::scanJSON(text, limits);
        verdict != platform::NestingVerdict::fits) {
        throw PairedDeviceDecodeError(std::string("JSON ") + platform::describe(verdict));
    }
    json object;
    try {
        object = json::parse(
            text.begin(), text.end(),
            [](int depth, json::parse_event_t, json&) {
                if (static_cast<std::size_t>(depth) > kMaxDepth) {
                    throw TooDeep{};
                }
                return true;
            },
            /*allow_exceptions=*/true, /*ignore_comments=*/false);
    } catch (const json::exception& e) {
        throw PairedDeviceDecodeError(std::string("not JSON: ") + e.what());
    } catch (const TooDeep&) {
        throw PairedDeviceDecodeError("JSON nested too deeply");
    }
    if (!object.is_object()) {
        throw PairedDeviceDecodeError("not a JSON object");
    }

    PairedDevice device;
    device.deviceID = requiredString(object, "deviceID");
    device.deviceName = requiredString(object, "deviceName");
    const std::string token = requiredString(object, "token");
    if (!wire::base64Decode(token, device.token)) {
        throw PairedDeviceDecodeError("\"token\" is not valid Base64");
    }
    device.pairedAt = timeFrom(required(object, "pairedAt"), "pairedAt");
    if (auto it = object.find("lastSeenAt"); it != object.end() && !it->is_null()) {
        device.lastSeenAt = timeFrom(*it, "lastSeenAt");
    }
    return device;
}

} // namespace quillon
