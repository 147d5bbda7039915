#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillon::testing {

// Files for application-catalog tests: desktop entries, icon themes and icons drawn with cairo.

void writeTextFile(const std::filesystem::path& file, const std::string& text);

// "[Desktop Entry]\nType=Application\n" followed by `body` (lines such as "Name=Foo\n").
void writeDesktopEntry(const std::filesystem::path& file, const std::string& body);

struct RGBA {
    double r = 0, g = 0, b = 0, a = 1;
};
// A PNG of one colour.
void writeSolidPNG(const std::filesystem::path& file, int width, int height, RGBA colour);
// A PNG of random colours and alphas (incompressible).
void writeNoisePNG(const std::filesystem::path& file, int width, int height, unsigned seed);
// An SVG whose viewBox is width x height, filled with one rectangle of the colour.
void writeSolidSVG(const std::filesystem::path& file, int width, int height,
                   const std::string& colour);

// An icon theme directory under `base` with an index.theme listing `dirs`
// ("48x48/apps" Fixed 48; "scalable/apps" Scalable 8-512; other sizes likewise by name).
void writeIconTheme(const std::filesystem::path& base, const std::string& name,
                    const std::string& inherits, const std::vector<std::string>& dirs);

struct DecodedPNG {
    bool argb32 = false; // decoded with an alpha channel
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels; // row by row, premultiplied ARGB as cairo keeps it
    std::uint8_t alphaAt(int x, int y) const;
};
std::optional<DecodedPNG> decodePNG(const std::vector<std::uint8_t>& png);

} // namespace quillon::testing
