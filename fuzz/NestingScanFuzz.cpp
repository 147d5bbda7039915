// The bounded scans that stand before the recursive parsers. The first byte picks a scan, the
// rest is the document; the limits are small so that the fuzzer reaches them. Invariants: no
// scan crashes or runs away; a document a scan passes never nests deeper, nor holds more
// values, for the parser it guards than the scan allowed (the parsed tree is measured without
// recursion); and passing is monotone (looser limits never refuse what tighter ones passed).
#include "Platform/Parsing/NestingScan.hpp"

#include <nlohmann/json.hpp>
#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

using namespace quillon::platform;

namespace {

constexpr NestingLimits kLimits{4, 48, 4096};
constexpr NestingLimits kLooser{9, 200, 8192};

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Depth (containers inside each other) and number of values of a parsed JSON document.
std::pair<std::size_t, std::size_t> measure(const nlohmann::json& root) {
    std::size_t deepest = 0;
    std::size_t values = 0;
    std::vector<std::pair<const nlohmann::json*, std::size_t>> todo{{&root, 0}};
    while (!todo.empty()) {
        const auto [value, depth] = todo.back();
        todo.pop_back();
        ++values;
        if (value->is_structured()) {
            deepest = std::max(deepest, depth + 1);
            for (const auto& [key, child] : value->items()) {
                todo.emplace_back(&child, depth + 1);
                if (value->is_object()) {
                    ++values; // the key is a value of the text too
                }
            }
        }
    }
    return {deepest, values};
}

std::pair<std::size_t, std::size_t> measure(plist_t root) {
    std::size_t deepest = 0;
    std::size_t values = 0;
    std::vector<std::pair<plist_t, std::size_t>> todo{{root, 0}};
    while (!todo.empty()) {
        const auto [node, depth] = todo.back();
        todo.pop_back();
        ++values;
        const plist_type type = plist_get_node_type(node);
        if (type == PLIST_ARRAY) {
            deepest = std::max(deepest, depth + 1);
            for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) {
                todo.emplace_back(plist_array_get_item(node, i), depth + 1);
            }
        } else if (type == PLIST_DICT) {
            deepest = std::max(deepest, depth + 1);
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                std::free(key);
                if (item == nullptr) {
                    break;
                }
                ++values;
                todo.emplace_back(item, depth + 1);
            }
            std::free(it);
        }
    }
    return {deepest, values};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t selector = data[0] % 4;
    const quillon::wire::ByteView bytes(data + 1, size - 1);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());

    switch (selector) {
    case 0: {
        const NestingVerdict verdict = scanJSON(text, kLimits);
        if (verdict != NestingVerdict::fits) {
            return 0;
        }
        require(scanJSON(text, kLooser) == NestingVerdict::fits);
        const auto parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (!parsed.is_discarded()) {
            const auto [depth, values] = measure(parsed);
            require(depth <= kLimits.maxDepth && values <= kLimits.maxNodes);
        }
        break;
    }
    case 1:
    case 2: {
        const bool binary = selector == 2;
        const NestingVerdict verdict = binary ? scanBinaryPlist(bytes, kLimits)
                                              : scanXML(text, kLimits, XMLProfile::propertyList);
        if (verdict != NestingVerdict::fits) {
            return 0;
        }
        require((binary
                     ? scanBinaryPlist(bytes, kLooser)
                     : scanXML(text, kLooser, XMLProfile::propertyList)) == NestingVerdict::fits);
        plist_t root = nullptr;
        if (binary) {
            plist_from_bin(text.data(), static_cast<std::uint32_t>(text.size()), &root);
        } else {
            plist_from_xml(text.data(), static_cast<std::uint32_t>(text.size()), &root);
        }
        if (root != nullptr) {
            const auto [depth, values] = measure(root);
            // XML: <plist> is an element the scan counts and libplist does not keep.
            require(depth <= kLimits.maxDepth && values <= kLimits.maxNodes);
            plist_free(root);
        }
        break;
    }
    default:
        if (scanXML(text, kLimits, XMLProfile::document) == NestingVerdict::fits) {
            require(scanXML(text, kLooser, XMLProfile::document) == NestingVerdict::fits);
        }
        break;
    }
    return 0;
}
