#include "Platform/Usbmux/USBMuxProtocol.hpp"

#include "Platform/Locale/Translation.hpp"
#include "Platform/Parsing/NestingScan.hpp"

#include <plist/plist.h>

#include <cstring>
#include <memory>

namespace quillon::platform::usbmux {

namespace {

struct PlistFree {
    void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::string describe(USBMuxError::Kind kind, std::int64_t code) {
    switch (kind) {
    case USBMuxError::Kind::connectRejected:
        return i18n::fill(i18n::tr("usbmuxd refused the connection (code {1})"),
                          {std::to_string(code)});
    case USBMuxError::Kind::socketUnavailable:
        return i18n::tr("cannot talk to usbmuxd");
    case USBMuxError::Kind::malformed:
        return i18n::tr("usbmuxd sent a malformed reply");
    case USBMuxError::Kind::noDevice:
        return i18n::tr("no USB device is available");
    }
    return i18n::tr("usbmuxd error");
}

plist_t toNode(const PlistValue& value);

plist_t toDictionary(const PlistDictionary& dictionary) {
    PlistPtr dict(plist_new_dict());
    for (const auto& [key, item] : dictionary) {
        // plist_dict_set_item takes ownership of the item.
        plist_dict_set_item(dict.get(), key.c_str(), toNode(item));
    }
    return static_cast<plist_t>(dict.release());
}

plist_t toNode(const PlistValue& value) {
    struct Visitor {
        plist_t operator()(const PlistValue::Other&) const {
            throw PropertyListError("property list: value of an unsupported kind");
        }
        plist_t operator()(bool v) const { return plist_new_bool(v ? 1 : 0); }
        plist_t operator()(std::int64_t v) const {
            return plist_new_uint(static_cast<std::uint64_t>(v));
        }
        plist_t operator()(double v) const { return plist_new_real(v); }
        plist_t operator()(const std::string& v) const {
            if (std::memchr(v.data(), 0, v.size()) != nullptr) {
                throw PropertyListError("property list: string holds a NUL byte");
            }
            return plist_new_string(v.c_str());
        }
        plist_t operator()(const wire::Bytes& v) const {
            return plist_new_data(reinterpret_cast<const char*>(v.data()), v.size());
        }
        plist_t operator()(const PlistArray& v) const {
            PlistPtr array(plist_new_array());
            for (const auto& item : v) {
                plist_array_append_item(array.get(), toNode(item));
            }
            return static_cast<plist_t>(array.release());
        }
        plist_t operator()(const PlistDictionary& v) const { return toDictionary(v); }
    };
    return std::visit(Visitor{}, value.value);
}

// Deep nesting is refused rather than followed: nothing the daemon sends nests more than a few
// levels, and libplist and the conversion below recurse. A device list is tens of values per
// device.
constexpr int maxDepth = 32;
constexpr std::size_t maxNodes = 65536;

PlistValue fromNode(plist_t node, int depth) {
    if (depth > maxDepth) {
        throw PropertyListError("property list: nested too deeply");
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return PlistValue(v != 0);
    }
    case PLIST_UINT: {
        std::uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return PlistValue(static_cast<std::int64_t>(v));
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        return PlistValue(v);
    }
    case PLIST_STRING: {
        // plist_get_string_val asserts that the text holds no NUL byte, and a parsed XML
        // string may hold one (an escaped &#0;): read it by pointer and length instead.
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return PlistValue(text != nullptr ? std::string(text, length) : std::string());
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        const auto* data = reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(node, &length));
        return PlistValue(data != nullptr ? wire::Bytes(data, data + length) : wire::Bytes());
    }
    case PLIST_ARRAY: {
        PlistArray array;
        const std::uint32_t n = plist_array_get_size(node);
        array.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            array.push_back(fromNode(plist_array_get_item(node, i), depth + 1));
        }
        return PlistValue(std::move(array));
    }
    case PLIST_DICT: {
        PlistDictionary dictionary;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (item == nullptr) {
                std::free(key);
                break;
            }
            std::string name = key != nullptr ? key : "";
            std::free(key);
            try {
                dictionary.insert_or_assign(std::move(name), fromNode(item, depth + 1));
            } catch (...) {
                std::free(it);
                throw;
            }
        }
        std::free(it);
        return PlistValue(std::move(dictionary));
    }
    default:
        return PlistValue();
    }
}

const PlistDictionary* dictionaryAt(const PlistDictionary& d, const char* key) {
    auto it = d.find(key);
    return it == d.end() ? nullptr : it->second.get<PlistDictionary>();
}

std::string stringAt(const PlistDictionary& d, const char* key) {
    auto it = d.find(key);
    if (it == d.end()) {
        return {};
    }
    const auto* s = it->second.get<std::string>();
    return s != nullptr ? *s : std::string();
}

void putLE32(wire::Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

} // namespace

USBMuxError::USBMuxError(Kind kind, std::int64_t code)
    : kind_(kind), code_(code), text_(describe(kind, code)) {}

namespace USBMuxProtocol {

PlistDictionary listDevices() {
    return PlistDictionary{{"MessageType", "ListDevices"},
                           {"ClientVersionString", "Corvane"},
                           {"ProgName", "Corvane"}};
}

PlistDictionary connect(std::int64_t deviceID, std::uint16_t port) {
    const auto swapped = static_cast<std::uint16_t>((port >> 8) | (port << 8));
    return PlistDictionary{{"MessageType", "Connect"},
                           {"ClientVersionString", "Corvane"},
                           {"ProgName", "Corvane"},
                           {"DeviceID", deviceID},
                           {"PortNumber", std::int64_t{swapped}}};
}

wire::Bytes encode(const PlistDictionary& message, std::uint32_t tag) {
    PlistPtr root(toDictionary(message));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (xml == nullptr) {
        throw PropertyListError("property list: cannot be written as XML");
    }
    wire::Bytes out;
    out.reserve(headerLength + length);
    putLE32(out, static_cast<std::uint32_t>(headerLength + length));
    putLE32(out, version);
    putLE32(out, plistMessageType);
    putLE32(out, tag);
    out.insert(out.end(), xml, xml + length);
    plist_to_xml_free(xml);
    return out;
}

std::optional<std::uint32_t> totalLength(wire::ByteView bytes) {
    if (bytes.size() < headerLength) {
        return std::nullopt;
    }
    return wire::loadLE32(bytes.data());
}

PlistDictionary decode(wire::ByteView message) {
    if (message.size() <= headerLength) {
        throw USBMuxError::malformed();
    }
    const auto payload = message.subspan(headerLength);
    if (payload.size() > UINT32_MAX) {
        throw USBMuxError::malformed();
    }
    // libplist recurses once per level (and expands a binary list's shared objects), so the
    // shape is checked first, and the format is chosen here rather than by libplist: only the
    // two formats the scans know reach it.
    NestingLimits limits;
    limits.maxDepth = maxDepth + 1;
    limits.maxNodes = maxNodes;
    limits.maxBytes = UINT32_MAX;
    const bool binary = payload.size() >= 8 && std::memcmp(payload.data(), "bplist00", 8) == 0;
    const NestingVerdict verdict =
        binary ? scanBinaryPlist(payload, limits)
               : scanXML(std::string_view(reinterpret_cast<const char*>(payload.data()),
                                          payload.size()),
                         limits, XMLProfile::propertyList);
    if (verdict != NestingVerdict::fits) {
        throw PropertyListError(std::string("property list: ") + describe(verdict));
    }
    plist_t parsed = nullptr;
    if (binary) {
        plist_from_bin(reinterpret_cast<const char*>(payload.data()),
                       static_cast<std::uint32_t>(payload.size()), &parsed);
    } else {
        plist_from_xml(reinterpret_cast<const char*>(payload.data()),
                       static_cast<std::uint32_t>(payload.size()), &parsed);
    }
    if (parsed == nullptr) {
        throw PropertyListError("property list: cannot be parsed");
    }
    PlistPtr root(parsed);
    if (plist_get_node_type(parsed) != PLIST_DICT) {
        throw USBMuxError::malformed();
    }
    auto value = fromNode(parsed, 0);
    return std::move(std::get<PlistDictionary>(value.value));
}

std::vector<Device> parseDevices(const PlistDictionary& reply) {
    std::vector<Device> devices;
    auto list = reply.find("DeviceList");
    if (list == reply.end()) {
        return devices;
    }
    const auto* entries = list->second.get<PlistArray>();
    if (entries == nullptr) {
        return devices;
    }
    for (const auto& entry : *entries) {
        const auto* dictionary = entry.get<PlistDictionary>();
        if (dictionary == nullptr) {
            continue;
        }
        const auto* properties = dictionaryAt(*dictionary, "Properties");
        if (properties == nullptr) {
            continue;
        }
        auto id = properties->find("DeviceID");
        if (id == properties->end() || id->second.get<std::int64_t>() == nullptr) {
            continue;
        }
        devices.push_back(Device{*id->second.get<std::int64_t>(),
                                 stringAt(*properties, "SerialNumber"),
                                 stringAt(*properties, "ConnectionType") == "USB"});
    }
    return devices;
}

std::int64_t resultNumber(const PlistDictionary& reply) {
    auto it = reply.find("Number");
    if (it == reply.end() || it->second.get<std::int64_t>() == nullptr) {
        return -1;
    }
    return *it->second.get<std::int64_t>();
}

bool isConnectSuccess(const PlistDictionary& reply) {
    auto it = reply.find("Number");
    return it != reply.end() && it->second.get<std::int64_t>() != nullptr &&
           *it->second.get<std::int64_t>() == 0;
}

} // namespace USBMuxProtocol

} // namespace quillon::platform::usbmux
