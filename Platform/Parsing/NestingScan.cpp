#include "Platform/Parsing/NestingScan.hpp"

#include <cstdint>
#include <vector>

namespace quillon::platform {

const char* describe(NestingVerdict verdict) noexcept {
    switch (verdict) {
    case NestingVerdict::fits:
        return "within limits";
    case NestingVerdict::tooLarge:
        return "too large";
    case NestingVerdict::tooDeep:
        return "nested too deeply";
    case NestingVerdict::tooManyNodes:
        return "too many values";
    case NestingVerdict::malformed:
        return "malformed";
    }
    return "malformed";
}

// MARK: JSON

NestingVerdict scanJSON(std::string_view text, const NestingLimits& limits) {
    if (text.size() > limits.maxBytes) {
        return NestingVerdict::tooLarge;
    }
    std::size_t depth = 0;
    std::size_t nodes = 0;
    bool inString = false;
    bool escaped = false;
    // A value starts at the first character after '[', '{', ',' or ':' (or the document's
    // start) that is not white space; counting those starts counts every value once.
    bool expectValue = true;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            continue;
        }
        if (expectValue && c != ']' && c != '}') {
            if (++nodes > limits.maxNodes) {
                return NestingVerdict::tooManyNodes;
            }
        }
        expectValue = false;
        switch (c) {
        case '"':
            inString = true;
            break;
        case '[':
        case '{':
            if (++depth > limits.maxDepth) {
                return NestingVerdict::tooDeep;
            }
            expectValue = true;
            break;
        case ']':
        case '}':
            if (depth > 0) {
                --depth;
            }
            break;
        case ',':
        case ':':
            expectValue = true;
            break;
        default:
            break;
        }
    }
    return NestingVerdict::fits;
}

// MARK: XML

namespace {

bool startsWith(std::string_view text, std::size_t at, std::string_view prefix) {
    return text.size() - at >= prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
}

bool isNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

constexpr std::size_t npos = std::string_view::npos;

// The position after the end of a document type declaration that starts at `at` ("<!"), or
// npos when it does not end. `subset` tells whether it had an internal subset.
std::size_t skipDeclaration(std::string_view text, std::size_t at, bool& subset) {
    subset = false;
    char quote = 0;
    bool inSubset = false;
    std::size_t j = at + 2;
    while (j < text.size()) {
        const char c = text[j];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            }
            ++j;
            continue;
        }
        if (inSubset) {
            if (startsWith(text, j, "<!--")) {
                const std::size_t end = text.find("-->", j + 4);
                if (end == npos) {
                    return npos;
                }
                j = end + 3;
                continue;
            }
            if (startsWith(text, j, "<?")) {
                const std::size_t end = text.find("?>", j + 2);
                if (end == npos) {
                    return npos;
                }
                j = end + 2;
                continue;
            }
            if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == ']') {
                inSubset = false;
            }
            ++j;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            inSubset = true;
            subset = true;
        } else if (c == '>') {
            return j + 1;
        } else if (c == '<') {
            return npos; // a declaration never holds markup outside its subset
        }
        ++j;
    }
    return npos;
}

} // namespace

NestingVerdict scanXML(std::string_view text, const NestingLimits& limits, XMLProfile profile) {
    if (text.size() > limits.maxBytes) {
        return NestingVerdict::tooLarge;
    }
    const bool strict = profile == XMLProfile::propertyList;
    std::size_t depth = 0;
    std::size_t nodes = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t open = text.find('<', i);
        if (open == npos) {
            break;
        }
        i = open;
        if (startsWith(text, i, "<?")) {
            const std::size_t end = text.find("?>", i + 2);
            if (end == npos || (strict && text.substr(i + 2, end - i - 2).find('<') != npos)) {
                return NestingVerdict::malformed;
            }
            i = end + 2;
            continue;
        }
        if (startsWith(text, i, "<!--")) {
            const std::size_t end = text.find("-->", i + 4);
            if (strict || end == npos) {
                return NestingVerdict::malformed;
            }
            i = end + 3;
            continue;
        }
        if (startsWith(text, i, "<![CDATA[")) {
            const std::size_t end = text.find("]]>", i + 9);
            if (strict || end == npos) {
                return NestingVerdict::malformed;
            }
            i = end + 3;
            continue;
        }
        if (startsWith(text, i, "<!")) {
            bool subset = false;
            const std::size_t end = skipDeclaration(text, i, subset);
            if (end == npos || (strict && subset)) {
                return NestingVerdict::malformed;
            }
            i = end;
            continue;
        }
        const bool closing = startsWith(text, i, "</");
        if (!closing &&
            (i + 1 >= text.size() || !isNameStart(static_cast<unsigned char>(text[i + 1])))) {
            if (strict) {
                return NestingVerdict::malformed;
            }
            ++i; // not markup; the parser decides what it is
            continue;
        }
        // The tag runs to the first '>' outside quotes; no '<' may come first.
        char quote = 0;
        std::size_t j = i + 1;
        for (; j < text.size(); ++j) {
            const char c = text[j];
            if (c == '<') {
                return NestingVerdict::malformed;
            }
            if (quote != 0) {
                if (c == quote) {
                    quote = 0;
                }
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
        if (j >= text.size()) {
            return NestingVerdict::malformed;
        }
        if (closing) {
            if (depth > 0) {
                --depth;
            }
        } else {
            if (++nodes > limits.maxNodes) {
                return NestingVerdict::tooManyNodes;
            }
            if (text[j - 1] != '/' && ++depth > limits.maxDepth) {
                return NestingVerdict::tooDeep;
            }
        }
        i = j + 1;
    }
    return NestingVerdict::fits;
}

// MARK: binary property lists

namespace {

std::uint64_t readBE(const std::uint8_t* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < n; ++k) {
        v = (v << 8) | p[k];
    }
    return v;
}

} // namespace

NestingVerdict scanBinaryPlist(wire::ByteView bytes, const NestingLimits& limits) {
    if (bytes.size() > limits.maxBytes) {
        return NestingVerdict::tooLarge;
    }
    constexpr std::size_t kHeader = 8;
    constexpr std::size_t kTrailer = 32;
    if (bytes.size() < kHeader + kTrailer + 1 ||
        std::string_view(reinterpret_cast<const char*>(bytes.data()), 6) != "bplist") {
        return NestingVerdict::malformed;
    }
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    const std::uint8_t* trailer = data + size - kTrailer;
    const std::size_t offsetSize = trailer[6];
    const std::size_t refSize = trailer[7];
    const std::uint64_t objectCount = readBE(trailer + 8, 8);
    const std::uint64_t top = readBE(trailer + 16, 8);
    const std::uint64_t tableAt = readBE(trailer + 24, 8);
    const std::uint64_t objectsEnd = size - kTrailer;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || objectCount == 0 ||
        top >= objectCount || tableAt < kHeader || tableAt > objectsEnd ||
        objectCount > (objectsEnd - tableAt) / offsetSize) {
        return NestingVerdict::malformed;
    }
    const auto offsetOf = [&](std::uint64_t object, std::uint64_t& at) {
        at = readBE(data + tableAt + object * offsetSize, offsetSize);
        return at >= kHeader && at < tableAt;
    };

    // One frame per open container: where its references are and which comes next.
    struct Frame {
        std::uint64_t refsAt;
        std::uint64_t count;
        std::uint64_t next;
    };
    std::vector<Frame> stack;
    stack.reserve(limits.maxDepth + 1);
    std::size_t nodes = 0;

    // Visits one object: counts it and, for a container, opens a frame. False with `verdict`
    // set when the walk must stop.
    NestingVerdict verdict = NestingVerdict::fits;
    const auto visit = [&](std::uint64_t object) {
        if (++nodes > limits.maxNodes) {
            verdict = NestingVerdict::tooManyNodes;
            return false;
        }
        std::uint64_t at = 0;
        if (object >= objectCount || !offsetOf(object, at)) {
            verdict = NestingVerdict::malformed;
            return false;
        }
        const std::uint8_t marker = data[at];
        const std::uint8_t type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD) {
            return true; // a leaf: its bytes are the parser's to check
        }
        std::uint64_t count = marker & 0x0F;
        std::uint64_t refsAt = at + 1;
        if (count == 0x0F) {
            // The count follows as an integer object: 0x1N, then 2^N big-endian bytes.
            if (refsAt >= tableAt || (data[refsAt] >> 4) != 0x1 || (data[refsAt] & 0x0F) > 3) {
                verdict = NestingVerdict::malformed;
                return false;
            }
            const std::size_t width = std::size_t{1} << (data[refsAt] & 0x0F);
            if (refsAt + 1 + width > tableAt) {
                verdict = NestingVerdict::malformed;
                return false;
            }
            count = readBE(data + refsAt + 1, width);
            refsAt += 1 + width;
        }
        if (type == 0xD) {
            if (count > UINT64_MAX / 2) {
                verdict = NestingVerdict::malformed;
                return false;
            }
            count *= 2; // keys, then values
        }
        if (count > (objectsEnd - refsAt) / refSize) {
            verdict = NestingVerdict::malformed;
            return false;
        }
        if (stack.size() + 1 > limits.maxDepth) {
            verdict = NestingVerdict::tooDeep;
            return false;
        }
        stack.push_back({refsAt, count, 0});
        return true;
    };

    if (!visit(top)) {
        return verdict;
    }
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.count) {
            stack.pop_back();
            continue;
        }
        const std::uint64_t child = readBE(data + frame.refsAt + frame.next * refSize, refSize);
        ++frame.next;
        if (!visit(child)) { // may grow the stack: `frame` is not used after this
            return verdict;
        }
    }
    return NestingVerdict::fits;
}

} // namespace quillon::platform
