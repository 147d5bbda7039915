#pragma once

#include "WireProtocol/Bytes.hpp"

#include <cstddef>
#include <string_view>

namespace quillon::platform {

// Bounded looks at untrusted documents before a recursive parser sees them. libplist, nlohmann
// (its copies, comparisons and dumps) and the SVG renderer recurse once per level of nesting,
// so a few megabytes of "[[[[..." or of nested <array> elements overflow the stack of whatever
// thread parses them; libplist also expands a binary property list's shared objects into a
// tree, so a small file can stand for billions of nodes. Each scan here walks the bytes once,
// without recursion and without allocating per level, and says whether the document stays
// within the limits; only a document that does is handed to the parser.
//
// The scans judge shape, not validity: a malformed document that fits is left for the parser to
// refuse. What they count errs on the side of more (an XML element the parser would ignore
// still counts as a level), so a document they pass never nests deeper for the parser.
struct NestingLimits {
    std::size_t maxDepth = 32;    // containers (arrays, objects, elements) inside each other
    std::size_t maxNodes = 65536; // containers and values in all (after expansion, binary)
    std::size_t maxBytes = 1 << 20;
};

enum class NestingVerdict {
    fits,
    tooLarge,     // more bytes than maxBytes
    tooDeep,      // nests deeper than maxDepth
    tooManyNodes, // more than maxNodes
    malformed,    // a structure the scan cannot follow (binary: a broken table or reference)
};

// A short English phrase for logs ("nested too deeply", ...).
const char* describe(NestingVerdict verdict) noexcept;

// JSON text: arrays and objects count as levels, every value as a node. Strings (with their
// escapes) are skipped, so brackets inside them do not count.
NestingVerdict scanJSON(std::string_view text, const NestingLimits& limits);

// How much of XML's markup a document may use.
enum class XMLProfile {
    // A conforming parser's document (SVG through libxml2): comments, CDATA sections,
    // processing instructions and a document type declaration with an internal subset are
    // skipped as XML defines them.
    document,
    // A property list for libplist's own parser, which is no conforming XML parser: only the
    // XML declaration (and other processing instructions), a document type declaration without
    // an internal subset, elements and text. A comment, a CDATA section, an internal subset or a
    // stray '<' is malformed, so that no construct the two might read differently can hide
    // levels from the scan.
    propertyList,
};

// XML text: every element is a level while it is open, and a node. A '<' inside a tag (even in
// a quoted value, where XML forbids it) is malformed, so a tag can never swallow others; quoted
// values may hold '>'.
NestingVerdict scanXML(std::string_view text, const NestingLimits& limits,
                       XMLProfile profile = XMLProfile::document);

// A binary property list ("bplist00"): its trailer and offset table are checked, then the object
// tree is walked from the top object as libplist expands it (a shared object counts each time
// it is referred to; a reference back to an enclosing container is a cycle and too deep).
NestingVerdict scanBinaryPlist(wire::ByteView bytes, const NestingLimits& limits);

} // namespace quillon::platform
