#include "Platform/Workspace/IconRenderer.hpp"

#include "Platform/Parsing/NestingScan.hpp"

#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <librsvg/rsvg.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string_view>

namespace quillon::platform {

namespace {

constexpr std::uintmax_t kMaxFileBytes = 8u << 20;
constexpr std::uint32_t kMaxBitmapSide = 4096;

using Data = std::span<const std::uint8_t>;

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

bool isPNG(Data d) {
    static constexpr std::uint8_t sig[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return d.size() >= 8 && std::memcmp(d.data(), sig, 8) == 0;
}

bool isXPM(Data d) {
    std::string_view text(reinterpret_cast<const char*>(d.data()),
                          std::min<std::size_t>(d.size(), 64));
    const auto start = text.find_first_not_of(" \t\r\n");
    return start != std::string_view::npos && text.substr(start).rfind("/* XPM */", 0) == 0;
}

// The width and height in an XPM's values string ("w h ncolors cpp"), read before handing the
// data to the decoder, which would otherwise allocate whatever the header claims.
bool xpmSizeAcceptable(Data d) {
    std::string_view text(reinterpret_cast<const char*>(d.data()), d.size());
    const auto quote = text.find('"');
    if (quote == std::string_view::npos) {
        return false;
    }
    std::uint64_t values[2] = {0, 0};
    std::size_t i = quote + 1;
    for (auto& v : values) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 10) {
            v = v * 10 + std::uint64_t(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits == 10) {
            return false;
        }
    }
    return values[0] >= 1 && values[1] >= 1 && values[0] <= kMaxBitmapSide &&
           values[1] <= kMaxBitmapSide;
}

struct ReadCursor {
    Data data;
    std::size_t offset = 0;
};

cairo_status_t readFromSpan(void* closure, unsigned char* out, unsigned int length) {
    auto* c = static_cast<ReadCursor*>(closure);
    if (c->data.size() - c->offset < length) {
        return CAIRO_STATUS_READ_ERROR;
    }
    std::memcpy(out, c->data.data() + c->offset, length);
    c->offset += length;
    return CAIRO_STATUS_SUCCESS;
}

SurfacePtr decodePNG(Data d) {
    if (d.size() < 24 || std::memcmp(d.data() + 12, "IHDR", 4) != 0) {
        return nullptr;
    }
    const std::uint32_t w = be32(d.data() + 16);
    const std::uint32_t h = be32(d.data() + 20);
    if (w == 0 || h == 0 || w > kMaxBitmapSide || h > kMaxBitmapSide) {
        return nullptr;
    }
    ReadCursor cursor{d};
    SurfacePtr s(cairo_image_surface_create_from_png_stream(readFromSpan, &cursor));
    if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) {
        return nullptr;
    }
    return s;
}

SurfacePtr decodeXPM(Data d) {
    if (!xpmSizeAcceptable(d)) {
        return nullptr;
    }
    GError* error = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("xpm", &error);
    if (loader == nullptr) {
        g_clear_error(&error);
        return nullptr;
    }
    const bool written = gdk_pixbuf_loader_write(loader, d.data(), d.size(), &error) != FALSE;
    g_clear_error(&error);
    const bool closed = gdk_pixbuf_loader_close(loader, &error) != FALSE;
    g_clear_error(&error);
    GdkPixbuf* pixbuf = (written && closed) ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    SurfacePtr out;
    if (pixbuf != nullptr) {
        const int w = gdk_pixbuf_get_width(pixbuf);
        const int h = gdk_pixbuf_get_height(pixbuf);
        const int channels = gdk_pixbuf_get_n_channels(pixbuf);
        const int stride = gdk_pixbuf_get_rowstride(pixbuf);
        const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
        if (w > 0 && h > 0 && (channels == 3 || channels == 4) &&
            gdk_pixbuf_get_bits_per_sample(pixbuf) == 8) {
            out.reset(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
            if (cairo_surface_status(out.get()) != CAIRO_STATUS_SUCCESS) {
                out.reset();
            } else {
                cairo_surface_flush(out.get());
                unsigned char* dst = cairo_image_surface_get_data(out.get());
                const int dstStride = cairo_image_surface_get_stride(out.get());
                for (int y = 0; y < h; ++y) {
                    const guchar* row = pixels + std::ptrdiff_t(y) * stride;
                    auto* drow =
                        reinterpret_cast<std::uint32_t*>(dst + std::ptrdiff_t(y) * dstStride);
                    for (int x = 0; x < w; ++x) {
                        const guchar* p = row + x * channels;
                        const std::uint32_t a = channels == 4 ? p[3] : 255;
                        const auto pm = [a](std::uint32_t c) { return (c * a + 127) / 255; };
                        drow[x] = (a << 24) | (pm(p[0]) << 16) | (pm(p[1]) << 8) | pm(p[2]);
                    }
                }
                cairo_surface_mark_dirty(out.get());
            }
        }
    }
    g_object_unref(loader);
    return out;
}

// Draws a bitmap centred into the canvas, scaled to fit with its aspect kept.
void drawBitmap(cairo_t* cr, cairo_surface_t* image, int size) {
    const double w = cairo_image_surface_get_width(image);
    const double h = cairo_image_surface_get_height(image);
    const double scale = std::min(size / w, size / h);
    cairo_save(cr);
    cairo_translate(cr, (size - w * scale) / 2.0, (size - h * scale) / 2.0);
    cairo_scale(cr, scale, scale);
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_pattern_t* pattern = cairo_get_source(cr);
    cairo_pattern_set_filter(pattern, CAIRO_FILTER_GOOD);
    // Padding keeps the picture's edges from fading into the transparent surround while the
    // rectangle limits the paint to the picture itself.
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    cairo_rectangle(cr, 0, 0, w, h);
    cairo_fill(cr);
    cairo_restore(cr);
}

// The SVG renderer keeps process-wide state behind locks that ThreadSanitizer cannot see (and
// older releases had thread-safety bugs there); concurrent listings render their SVG icons one
// at a time. Bitmaps, decoding and encoding still run in parallel.
std::mutex svgMutex;

bool drawSVG(cairo_t* cr, Data d, int size) {
    // The renderer builds and draws the document tree recursively; an icon nested deeper than
    // any drawing program writes, or with more elements than an icon has, is not drawn. (A
    // compressed icon is unpacked inside the renderer, where the XML parser's own limit of 256
    // levels holds.)
    NestingLimits limits;
    limits.maxDepth = 128;
    limits.maxNodes = 200000;
    limits.maxBytes = kMaxFileBytes;
    const bool gzipped = d.size() >= 2 && d[0] == 0x1F && d[1] == 0x8B;
    if (!gzipped && scanXML(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()),
                            limits) != NestingVerdict::fits) {
        return false;
    }
    std::lock_guard lock(svgMutex);
    GError* error = nullptr;
    RsvgHandle* handle = rsvg_handle_new_from_data(d.data(), d.size(), &error);
    if (handle == nullptr) {
        g_clear_error(&error);
        return false;
    }
    RsvgRectangle viewport{0, 0, double(size), double(size)};
    double w = 0;
    double h = 0;
    if (rsvg_handle_get_intrinsic_size_in_pixels(handle, &w, &h) && std::isfinite(w) &&
        std::isfinite(h) && w > 0 && h > 0) {
        const double scale = std::min(size / w, size / h);
        viewport = {(size - w * scale) / 2.0, (size - h * scale) / 2.0, w * scale, h * scale};
    }
    // Without a usable intrinsic size the document's viewBox is fitted (centred, aspect kept)
    // into the whole canvas by the renderer itself.
    const bool ok = rsvg_handle_render_document(handle, cr, &viewport, &error) != FALSE;
    g_clear_error(&error);
    g_object_unref(handle);
    return ok && cairo_status(cr) == CAIRO_STATUS_SUCCESS;
}

struct PNGWriteState {
    std::vector<std::uint8_t>* out;
};

void pngWrite(png_structp png, png_bytep data, png_size_t length) {
    auto* state = static_cast<PNGWriteState*>(png_get_io_ptr(png));
    state->out->insert(state->out->end(), data, data + length);
}
void pngFlush(png_structp) {}

// `rows` holds straight (not premultiplied) RGBA, size x size. Returns false on a libpng
// failure. No C++ object with a destructor lives in this frame across the setjmp.
bool encodeRGBA(const std::uint8_t* rows, int size, std::vector<std::uint8_t>& out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    PNGWriteState state{&out};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &state, pngWrite, pngFlush);
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, png_uint_32(size), png_uint_32(size), 8, PNG_COLOR_TYPE_RGB_ALPHA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < size; ++y) {
        png_write_row(png, const_cast<png_bytep>(rows + std::ptrdiff_t(y) * size * 4));
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

std::optional<std::vector<std::uint8_t>> encodeWithin(cairo_surface_t* canvas, int size,
                                                      std::size_t maxBytes) {
    cairo_surface_flush(canvas);
    const unsigned char* data = cairo_image_surface_get_data(canvas);
    const int stride = cairo_image_surface_get_stride(canvas);
    std::vector<std::uint8_t> straight(std::size_t(size) * size * 4);
    for (int y = 0; y < size; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + std::ptrdiff_t(y) * stride);
        for (int x = 0; x < size; ++x) {
            const std::uint32_t p = row[x];
            const std::uint32_t a = p >> 24;
            const auto un = [a](std::uint32_t c) {
                return a == 0 ? 0u : std::min(255u, (c * 255 + a / 2) / a);
            };
            std::uint8_t* o = &straight[(std::size_t(y) * size + x) * 4];
            o[0] = std::uint8_t(un((p >> 16) & 0xFF));
            o[1] = std::uint8_t(un((p >> 8) & 0xFF));
            o[2] = std::uint8_t(un(p & 0xFF));
            o[3] = std::uint8_t(a);
        }
    }
    // Fewer significant bits per sample compress better; the first step is invisible on most
    // pictures and the last one still keeps a recognisable icon.
    for (const std::uint8_t mask : {0xFF, 0xF8, 0xF0, 0xE0, 0xC0}) {
        std::vector<std::uint8_t> reduced = straight;
        if (mask != 0xFF) {
            for (std::size_t i = 0; i < reduced.size(); i += 4) {
                for (int c = 0; c < 3; ++c) {
                    reduced[i + c] &= mask;
                }
                if (reduced[i + 3] != 0 && reduced[i + 3] != 0xFF) {
                    reduced[i + 3] &= mask;
                }
            }
        }
        std::vector<std::uint8_t> png;
        if (!encodeRGBA(reduced.data(), size, png)) {
            return std::nullopt;
        }
        if (png.size() <= maxBytes) {
            return png;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::vector<std::uint8_t>> renderIconData(std::span<const std::uint8_t> data,
                                                        int size, std::size_t maxBytes) {
    if (size < 1 || size > int(kMaxBitmapSide) || data.empty() || data.size() > kMaxFileBytes) {
        return std::nullopt;
    }
    SurfacePtr canvas(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size));
    if (cairo_surface_status(canvas.get()) != CAIRO_STATUS_SUCCESS) {
        return std::nullopt;
    }
    cairo_t* cr = cairo_create(canvas.get());
    bool drawn = false;
    if (isPNG(data) || isXPM(data)) {
        SurfacePtr image = isPNG(data) ? decodePNG(data) : decodeXPM(data);
        if (image) {
            drawBitmap(cr, image.get(), size);
            drawn = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
        }
    } else {
        drawn = drawSVG(cr, data, size);
    }
    cairo_destroy(cr);
    if (!drawn) {
        return std::nullopt;
    }
    return encodeWithin(canvas.get(), size, maxBytes);
}

std::optional<std::vector<std::uint8_t>> renderIconFile(const std::filesystem::path& file, int size,
                                                        std::size_t maxBytes) {
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(file, ec);
    if (ec || bytes == 0 || bytes > kMaxFileBytes) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return renderIconData(data, size, maxBytes);
}

} // namespace quillon::platform
