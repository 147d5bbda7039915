// Client text shown in the console and the log: whatever the bytes, the shown form holds no
// terminal control (C0, DEL, the C1 range and the bidi overrides as UTF-8), is valid UTF-8, and
// stays within a fixed bound of the limit asked for.
#include "Platform/Diagnostics/SafeText.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t limit = data[0];
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string out = quillon::platform::safeText(input, limit);
    // Every kept byte may grow into an escape of at most 9 bytes ("\u{2069}" is 8), plus the
    // "…(N bytes in all)" suffix (in the run's language).
    if (out.size() > limit * 9 + 40) {
        std::abort();
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (c < 0x20 || c == 0x7F) {
            std::abort();
        }
        if (c == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) < 0xA0) {
            std::abort(); // U+0080..U+009F
        }
        if (c == 0xE2 && i + 2 < out.size() && static_cast<unsigned char>(out[i + 1]) == 0x80 &&
            static_cast<unsigned char>(out[i + 2]) >= 0xAA &&
            static_cast<unsigned char>(out[i + 2]) <= 0xAE) {
            std::abort(); // U+202A..U+202E
        }
    }
    // Shown text is safe text: escaping it again changes nothing within the limit.
    if (quillon::platform::safeText(out, out.size()) != out) {
        std::abort();
    }
    return 0;
}
