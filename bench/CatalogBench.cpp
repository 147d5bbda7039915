// Lists a generated catalog of 300 applications (half with PNG icons, half with SVG icons),
// first with an empty icon cache (cold), then with the cache filled (warm), and prints the
// times and the cost of one icon render.
#include "Platform/Workspace/IconRenderer.hpp"
#include "Quillon/Catalog/AppCatalog.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace quillon;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kApps = 300;

void writeText(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

void writeSVG(const fs::path& p, int seed) {
    const std::string c1 = "#" + std::to_string(100000 + seed * 2731 % 899999);
    writeText(p, "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 64 64\">"
                 "<defs><linearGradient id=\"g\"><stop offset=\"0\" stop-color=\"" +
                     c1 +
                     "\"/><stop offset=\"1\" stop-color=\"#223344\"/></linearGradient></defs>"
                     "<rect x=\"4\" y=\"4\" width=\"56\" height=\"56\" rx=\"12\" fill=\"url(#g)\"/>"
                     "<path d=\"M16 40 L32 16 L48 40 Z\" fill=\"#ffffff\" opacity=\"0.8\"/>"
                     "<circle cx=\"32\" cy=\"44\" r=\"" +
                     std::to_string(4 + seed % 6) + "\" fill=\"#ff8800\"/></svg>");
}

// A PNG drawn from an SVG of the same design (the renderer makes PNGs of any size).
void writePNG(const fs::path& p, int size, int seed) {
    const fs::path svg = p.parent_path() / (p.stem().string() + ".source.svg");
    writeSVG(svg, seed);
    const auto png = platform::renderIconFile(svg, size, std::size_t(1) << 30);
    fs::remove(svg);
    if (!png) {
        std::fprintf(stderr, "cannot draw %s\n", p.c_str());
        std::exit(1);
    }
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(png->data()), std::streamsize(png->size()));
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main() {
    char pattern[] = "/tmp/quillon-catalog-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root(pattern);
    const fs::path icons = root / "icons";
    writeText(icons / "hicolor/index.theme",
              "[Icon Theme]\nName=hicolor\nDirectories=48x48/apps,256x256/apps,scalable/apps\n"
              "[48x48/apps]\nSize=48\nType=Fixed\n[256x256/apps]\nSize=256\nType=Fixed\n"
              "[scalable/apps]\nSize=128\nMinSize=8\nMaxSize=512\nType=Scalable\n");
    std::vector<fs::path> iconFiles;
    for (int i = 0; i < kApps; ++i) {
        const std::string name = "bench-app-" + std::to_string(i);
        if (i % 2 == 0) {
            // Themes ship several sizes; the lookup takes the 256 one and scales it down.
            writePNG(icons / "hicolor/48x48/apps" / (name + ".png"), 48, i);
            writePNG(icons / "hicolor/256x256/apps" / (name + ".png"), 256, i);
            iconFiles.push_back(icons / "hicolor/256x256/apps" / (name + ".png"));
        } else {
            writeSVG(icons / "hicolor/scalable/apps" / (name + ".svg"), i);
            iconFiles.push_back(icons / "hicolor/scalable/apps" / (name + ".svg"));
        }
        writeText(root / "applications" / (name + ".desktop"),
                  "[Desktop Entry]\nType=Application\nName=Bench App " + std::to_string(i) +
                      "\nExec=true\nIcon=" + name + "\n");
    }

    CatalogOptions options;
    platform::IconLookupOptions lookup;
    lookup.baseDirs = {icons};
    options.iconLookup = lookup;
    options.cacheDirectory = root / "cache";
    int renders = 0;
    options.onRender = [&](const fs::path&) { ++renders; };
    const std::vector<fs::path> roots = {root / "applications"};

    auto t0 = Clock::now();
    const auto cold = AppCatalog::makeEntries(roots, options);
    const auto coldTime = Clock::now() - t0;
    const int coldRenders = renders;

    renders = 0;
    std::vector<double> warmTimes;
    std::size_t warmCount = 0;
    for (int i = 0; i < 5; ++i) {
        t0 = Clock::now();
        warmCount = AppCatalog::makeEntries(roots, options).size();
        warmTimes.push_back(ms(Clock::now() - t0));
    }
    std::sort(warmTimes.begin(), warmTimes.end());

    // Rendering alone, without lookup or cache.
    double pngTotal = 0;
    double svgTotal = 0;
    for (std::size_t i = 0; i < iconFiles.size(); ++i) {
        t0 = Clock::now();
        (void)platform::renderIconFile(iconFiles[i], 128, AppCatalog::maximumIconBytes);
        (i % 2 == 0 ? pngTotal : svgTotal) += ms(Clock::now() - t0);
    }

    std::size_t bytes = 0;
    for (const auto& e : cold) {
        bytes += AppCatalog::entrySize(e);
    }
    std::printf("catalog of %d applications (%zu listed, %zu bytes)\n", kApps, cold.size(), bytes);
    std::printf("cold listing (empty cache):  %8.1f ms  (%d icons rendered)\n", ms(coldTime),
                coldRenders);
    std::printf("warm listing (cache filled): %8.1f ms  median of 5 (min %.1f, max %.1f; %d "
                "renders, %zu listed)\n",
                warmTimes[2], warmTimes.front(), warmTimes.back(), renders, warmCount);
    std::printf("render one icon:             %8.2f ms  PNG 256x256 -> 128, %.2f ms  SVG\n",
                pngTotal / (kApps / 2), svgTotal / (kApps / 2));

    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
