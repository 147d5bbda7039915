// test-labels: parsing
#include "Platform/Parsing/NestingScan.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillon::platform {
namespace {

std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

NestingLimits small() {
    NestingLimits limits;
    limits.maxDepth = 3;
    limits.maxNodes = 12;
    limits.maxBytes = 4096;
    return limits;
}

TEST(NestingScan, JSON) {
    struct Case {
        const char* name;
        std::string text;
        NestingVerdict verdict;
    };
    const Case cases[] = {
        {"flat object", R"({"a": 1, "b": [true, null]})", NestingVerdict::fits},
        {"three levels", R"([[[1]]])", NestingVerdict::fits},
        {"four levels", R"([[[[1]]]])", NestingVerdict::tooDeep},
        {"brackets in strings do not count", R"(["[[[[", "\"[[[[{{{{"])", NestingVerdict::fits},
        {"an escaped backslash ends before the quote", R"(["\\", [[[1]]]])",
         NestingVerdict::tooDeep},
        {"siblings do not add up", R"([[[1]],[[2]],[[3]]])", NestingVerdict::fits},
        {"twelve values", R"([1,2,3,4,5,6,7,8,9,10,11])", NestingVerdict::fits},
        {"thirteen values", R"([1,2,3,4,5,6,7,8,9,10,11,12])", NestingVerdict::tooManyNodes},
        {"keys and values count", R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6})",
         NestingVerdict::tooManyNodes},
        {"closers beyond the top do not hide later levels", "]]]]]]" + repeat("[", 4),
         NestingVerdict::tooDeep},
        {"the deep document of an attacker", repeat("[", 5000), NestingVerdict::tooLarge},
        {"empty", "", NestingVerdict::fits},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(scanJSON(c.text, small()), c.verdict);
    }
    NestingLimits roomy;
    roomy.maxDepth = 64;
    roomy.maxBytes = 8 << 20;
    roomy.maxNodes = 1 << 20;
    EXPECT_EQ(scanJSON(repeat("[", 1 << 20), roomy), NestingVerdict::tooDeep);
}

TEST(NestingScan, XML) {
    struct Case {
        const char* name;
        std::string text;
        NestingVerdict document;
        NestingVerdict propertyList;
    };
    const std::string prolog =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
        "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
    const Case cases[] = {
        {"a property list",
         prolog + "<plist version=\"1.0\"><dict><key>a</key><array/></dict></plist>",
         NestingVerdict::fits, NestingVerdict::fits},
        {"four levels", "<a><b><c><d/></c></b></a>", NestingVerdict::fits, NestingVerdict::fits},
        {"four open levels", "<a><b><c><d></d></c></b></a>", NestingVerdict::tooDeep,
         NestingVerdict::tooDeep},
        {"siblings", "<a><b></b><b></b><b><c/></b></a>", NestingVerdict::fits,
         NestingVerdict::fits},
        {"'>' in a quoted value", "<a t=\"x>y\"><b u='>'><c/></b></a>", NestingVerdict::fits,
         NestingVerdict::fits},
        {"'<' in a quoted value swallows nothing", "<a t=\"<b><c><d>\">", NestingVerdict::malformed,
         NestingVerdict::malformed},
        {"a comment's tags", "<a><!-- </a></a><b><c><d> --><b/></a>", NestingVerdict::fits,
         NestingVerdict::malformed},
        {"CDATA", "<a><![CDATA[</a></a>]]><b><c/></b></a>", NestingVerdict::fits,
         NestingVerdict::malformed},
        {"an internal subset", "<!DOCTYPE svg [ <!ENTITY e \"</a>\"> <!-- ' --> ]><a><b/></a>",
         NestingVerdict::fits, NestingVerdict::malformed},
        {"a subset that never ends hides nothing", "<!DOCTYPE a [ <!ENTITY e '><a><a><a><a>",
         NestingVerdict::malformed, NestingVerdict::malformed},
        {"an unterminated tag", "<a><b", NestingVerdict::malformed, NestingVerdict::malformed},
        {"a stray '<'", "<a>1 < 2</a>", NestingVerdict::fits, NestingVerdict::malformed},
        {"closers beyond the top do not hide later levels", "</a></a></a><a><b><c><d>",
         NestingVerdict::tooDeep, NestingVerdict::tooDeep},
        {"thirteen elements", repeat("<a/>", 13), NestingVerdict::tooManyNodes,
         NestingVerdict::tooManyNodes},
        {"too large", repeat("<a/>", 2000), NestingVerdict::tooLarge, NestingVerdict::tooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(scanXML(c.text, small(), XMLProfile::document), c.document);
        EXPECT_EQ(scanXML(c.text, small(), XMLProfile::propertyList), c.propertyList);
    }
}

// bplist00 whose top object is array 0, array i holding `fanout` references to array i + 1 and
// the last one empty; or, with `loop`, the last one referring back to the first.
wire::Bytes nestedBinaryPlist(std::size_t levels, std::size_t fanout, bool loop = false) {
    wire::Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    const auto put = [&](std::uint64_t v, int bytes) {
        for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
            out.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    };
    std::vector<std::uint64_t> offsets;
    for (std::size_t i = 0; i < levels; ++i) {
        offsets.push_back(out.size());
        const bool last = i + 1 == levels;
        const std::size_t refs = last ? (loop ? 1 : 0) : fanout;
        out.push_back(static_cast<std::uint8_t>(0xA0 | refs));
        for (std::size_t r = 0; r < refs; ++r) {
            put(last ? 0 : i + 1, 4);
        }
    }
    const std::uint64_t tableAt = out.size();
    for (const auto offset : offsets) {
        put(offset, 4);
    }
    out.insert(out.end(), 6, 0);
    out.push_back(4);
    out.push_back(4);
    put(levels, 8);
    put(0, 8);
    put(tableAt, 8);
    return out;
}

TEST(NestingScan, BinaryPropertyLists) {
    NestingLimits limits;
    limits.maxDepth = 32;
    limits.maxNodes = 65536;
    limits.maxBytes = 8 << 20;
    EXPECT_EQ(scanBinaryPlist(nestedBinaryPlist(32, 1), limits), NestingVerdict::fits);
    EXPECT_EQ(scanBinaryPlist(nestedBinaryPlist(33, 1), limits), NestingVerdict::tooDeep);
    EXPECT_EQ(scanBinaryPlist(nestedBinaryPlist(300000, 1), limits), NestingVerdict::tooDeep);
    // 2^30 nodes once shared objects are expanded, from a file of a few hundred bytes.
    EXPECT_EQ(scanBinaryPlist(nestedBinaryPlist(30, 2), limits), NestingVerdict::tooManyNodes);
    EXPECT_EQ(scanBinaryPlist(nestedBinaryPlist(3, 1, /*loop=*/true), limits),
              NestingVerdict::tooDeep);

    auto broken = nestedBinaryPlist(4, 1);
    broken[broken.size() - 1] = 0xFF; // the offset table past the end
    EXPECT_EQ(scanBinaryPlist(broken, limits), NestingVerdict::malformed);
    auto badRef = nestedBinaryPlist(4, 1);
    badRef[8 + 1 + 3] = 99; // array 0 refers to an object that does not exist
    EXPECT_EQ(scanBinaryPlist(badRef, limits), NestingVerdict::malformed);
    EXPECT_EQ(scanBinaryPlist(wire::Bytes{'b', 'p', 'l', 'i', 's', 't'}, limits),
              NestingVerdict::malformed);
    limits.maxBytes = 100;
    EXPECT_EQ(scanBinaryPlist(nestedBinaryPlist(32, 1), limits), NestingVerdict::tooLarge);
}

} // namespace
} // namespace quillon::platform
