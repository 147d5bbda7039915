#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace quillon::platform {

// Renders an icon file (PNG, SVG or SVGZ, XPM; recognised by content, not by name) into a
// transparent `size` x `size` canvas, aspect kept and centred, and encodes it as an 8-bit RGBA
// PNG (always with an alpha channel, even for an opaque picture).
//
// When the encoding is larger than `maxBytes` (a noisy picture can be), the colours are
// reduced step by step and the picture encoded again; nothing when even that does not fit.
// Nothing, too, for an unreadable or undecodable file, a file over 8 MiB, or a bitmap larger
// than 4096 x 4096 (checked in the header, before anything is decoded). Thread-safe.
std::optional<std::vector<std::uint8_t>> renderIconFile(const std::filesystem::path& file, int size,
                                                        std::size_t maxBytes);
// The same for file contents already in memory.
std::optional<std::vector<std::uint8_t>> renderIconData(std::span<const std::uint8_t> data,
                                                        int size, std::size_t maxBytes);

} // namespace quillon::platform
