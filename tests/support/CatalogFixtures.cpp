#include "tests/support/CatalogFixtures.hpp"

#include <cairo.h>

#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace quillon::testing {

namespace fs = std::filesystem;

void writeTextFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

void writeDesktopEntry(const fs::path& file, const std::string& body) {
    writeTextFile(file, "[Desktop Entry]\nType=Application\n" + body);
}

namespace {
void savePNG(cairo_surface_t* s, const fs::path& file) {
    fs::create_directories(file.parent_path());
    if (cairo_surface_write_to_png(s, file.c_str()) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        throw std::runtime_error("cannot write " + file.string());
    }
    cairo_surface_destroy(s);
}
} // namespace

void writeSolidPNG(const fs::path& file, int width, int height, RGBA c) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
    savePNG(s, file);
}

void writeNoisePNG(const fs::path& file, int width, int height, unsigned seed) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_surface_flush(s);
    std::mt19937 rng(seed);
    unsigned char* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(data + y * stride);
        for (int x = 0; x < width; ++x) {
            const std::uint32_t v = rng();
            const std::uint32_t a = 64 + (v >> 24) % 192;
            const auto pm = [a](std::uint32_t c) { return c * a / 255; };
            row[x] = (a << 24) | (pm((v >> 16) & 0xFF) << 16) | (pm((v >> 8) & 0xFF) << 8) |
                     pm(v & 0xFF);
        }
    }
    cairo_surface_mark_dirty(s);
    savePNG(s, file);
}

void writeSolidSVG(const fs::path& file, int width, int height, const std::string& colour) {
    writeTextFile(file, "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                            std::to_string(width) + " " + std::to_string(height) +
                            "\"><rect width=\"" + std::to_string(width) + "\" height=\"" +
                            std::to_string(height) + "\" fill=\"" + colour + "\"/></svg>\n");
}

void writeIconTheme(const fs::path& base, const std::string& name, const std::string& inherits,
                    const std::vector<std::string>& dirs) {
    std::string text = "[Icon Theme]\nName=" + name + "\n";
    if (!inherits.empty()) {
        text += "Inherits=" + inherits + "\n";
    }
    text += "Directories=";
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        text += (i ? "," : "") + dirs[i];
    }
    text += "\n\n";
    for (const auto& d : dirs) {
        text += "[" + d + "]\n";
        if (d.rfind("scalable", 0) == 0) {
            text += "Size=128\nMinSize=8\nMaxSize=512\nType=Scalable\n\n";
        } else {
            text += "Size=" + std::to_string(std::stoi(d)) + "\nType=Fixed\n\n";
        }
        fs::create_directories(base / name / d);
    }
    writeTextFile(base / name / "index.theme", text);
}

namespace {
struct Cursor {
    const std::vector<std::uint8_t>* data;
    std::size_t offset = 0;
};
cairo_status_t readCursor(void* closure, unsigned char* out, unsigned int length) {
    auto* c = static_cast<Cursor*>(closure);
    if (c->data->size() - c->offset < length) {
        return CAIRO_STATUS_READ_ERROR;
    }
    std::memcpy(out, c->data->data() + c->offset, length);
    c->offset += length;
    return CAIRO_STATUS_SUCCESS;
}
} // namespace

std::optional<DecodedPNG> decodePNG(const std::vector<std::uint8_t>& png) {
    Cursor cursor{&png};
    cairo_surface_t* s = cairo_image_surface_create_from_png_stream(readCursor, &cursor);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return std::nullopt;
    }
    DecodedPNG d;
    d.argb32 = cairo_image_surface_get_format(s) == CAIRO_FORMAT_ARGB32;
    d.width = cairo_image_surface_get_width(s);
    d.height = cairo_image_surface_get_height(s);
    const int stride = cairo_image_surface_get_stride(s);
    const unsigned char* data = cairo_image_surface_get_data(s);
    for (int y = 0; y < d.height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
        d.pixels.insert(d.pixels.end(), row, row + d.width);
    }
    cairo_surface_destroy(s);
    return d;
}

std::uint8_t DecodedPNG::alphaAt(int x, int y) const {
    return std::uint8_t(pixels[std::size_t(y) * width + x] >> 24);
}

} // namespace quillon::testing
