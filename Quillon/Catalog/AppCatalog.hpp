#pragma once

#include "Platform/Workspace/IconRenderCache.hpp"
#include "Platform/Workspace/IconTheme.hpp"
#include "Quillon/Catalog/InstalledApp.hpp"
#include "WireProtocol/ControlMessage.hpp"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillon::platform {
class Defaults;
}

namespace quillon {

// How icons are found, rendered and cached for one listing. Defaults: the icon theme lookup of
// the environment (the user default "iconTheme" first, when `defaults` is given), the render
// cache in $XDG_CACHE_HOME/corvane/icons.
struct CatalogOptions {
    std::optional<platform::IconLookupOptions> iconLookup;
    // The user defaults whose "iconTheme" is read at each listing (when `iconLookup` is not
    // given); none: the desktop's own theme setting decides. Must outlive the catalog.
    const platform::Defaults* defaults = nullptr;
    // Where rendered icons are kept; an empty path turns the cache off.
    std::optional<std::filesystem::path> cacheDirectory;
    // Called with the icon file each time an icon is really rendered (not served from the
    // cache); for tests and benchmarks. Called on the listing's thread.
    std::function<void(const std::filesystem::path&)> onRender;
};

// The installed-application catalog: what the tablet's launcher shows.
namespace AppCatalog {

inline constexpr std::size_t maximumEntries = 1000;
inline constexpr std::size_t maximumTotalBytes = 3'145'728; // 3072 KB
// Limits the tablet's decoder applies to each entry; a list with one entry beyond them is
// refused whole, so entries are fitted to them before they are listed.
inline constexpr std::size_t maximumTextBytes = 1024;
inline constexpr std::size_t maximumIconBytes = 65'536;
// Themed icons tried, in order, for an entry whose own icon cannot be found or drawn.
inline constexpr const char* genericIconNames[] = {"application-x-executable",
                                                   "application-default-icon"};

// The XDG applications directories in precedence order: $XDG_DATA_HOME/applications, then
// each of $XDG_DATA_DIRS (default /usr/local/share:/usr/share) with /applications, then the
// flatpak (user, system) and snap export directories when not already listed. Read from the
// environment at each call.
std::vector<std::filesystem::path> defaultSearchRoots();

// Every desktop file under the roots (subdirectories included) with its desktop file ID: the
// path relative to its root with '/' replaced by '-'; roots in order, within a root paths in
// byte order, so for one ID the file that takes precedence comes first. Roots that cannot be
// read are skipped.
std::vector<std::pair<std::string, std::filesystem::path>>
desktopFiles(const std::vector<std::filesystem::path>& searchRoots);

// The application of each desktop file ID, first root first. A Hidden entry still takes its ID
// (so a user's "Hidden=true" masks the system copy) and comes back background-only. Files that
// are not application entries are skipped and do not take the ID.
std::vector<InstalledApp> scan(const std::vector<std::filesystem::path>& searchRoots);

// Reads one desktop entry under the given desktop file ID ("org.example.App.desktop").
std::optional<InstalledApp> readApp(const std::filesystem::path& file,
                                    const std::string& desktopFileID);

// True when the application is not background-only and has an identifier.
bool qualifies(const InstalledApp& app);

// Drops repeated identifiers (the first stays), then sorts by display name the way a file
// browser does: case-insensitive, numbers by value ("App 2" before "App 10"), accents after
// plain letters; names equal that way are ordered by case, then by their bytes, so the order
// is total; the sort is stable.
std::vector<InstalledApp> ordered(std::vector<InstalledApp> apps);

// The UTF-8 byte count of the name and identifier plus the icon's byte count.
std::size_t entrySize(const wire::AppEntry& entry);

struct TrimResult {
    std::vector<wire::AppEntry> kept; // always a prefix of the input
    bool cut = false;
};
// Keeps entries in order until the 1001st entry, or the one that takes the running size over
// 3,145,728 bytes; that entry and every later one are cut.
TrimResult trimToBudget(std::vector<wire::AppEntry> entries);

// The diagnostics line written when trimToBudget cut the list.
std::string truncationLogLine(std::size_t candidates, std::size_t kept);

// Fits an entry to the tablet decoder's per-entry limits: a display name over 1024 bytes is
// shortened at a character boundary; false (leave the entry out) when the identifier is over
// 1024 bytes or either text is not valid UTF-8 (a file name can be any bytes), or the icon is
// over 65,536 bytes.
bool fitToWireLimits(wire::AppEntry& entry);

// Renders icons for one listing: one icon theme lookup (its directory listings are read once)
// and the render cache. Not thread-safe; one per listing.
class IconSource {
public:
    explicit IconSource(const CatalogOptions& options = {});
    ~IconSource();
    IconSource(const IconSource&) = delete;
    IconSource& operator=(const IconSource&) = delete;

    // The application's icon as a 128 x 128 RGBA PNG of at most 65,536 bytes: its own icon,
    // else the theme's generic application icon; nothing when neither can be drawn.
    std::optional<wire::Bytes> renderIconPNG(const InstalledApp& app);

    // Drops cache files this listing did not use.
    void finish();

private:
    std::optional<wire::Bytes> renderFile(const std::filesystem::path& file);

    platform::IconLookup lookup_;
    platform::IconRenderCache cache_;
    std::function<void(const std::filesystem::path&)> onRender_;
};

// The whole pipeline: scan, keep the qualifying applications, order them, render each icon
// (an application without a drawable icon is left out), fit each entry to the per-entry
// limits, trim to the budget and write the truncation line when something was cut.
std::vector<wire::AppEntry> makeEntries(const std::vector<std::filesystem::path>& searchRoots,
                                        const CatalogOptions& options = {});

} // namespace AppCatalog

} // namespace quillon
