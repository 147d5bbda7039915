#include "Quillon/Catalog/AppCatalog.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Platform/Text/NameCollator.hpp"
#include "Platform/Workspace/DesktopEntry.hpp"
#include "Platform/Workspace/IconRenderer.hpp"
#include "WireProtocol/ServiceConstants.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

namespace quillon {

namespace fs = std::filesystem;

namespace {

constexpr int kIconSize = wire::AppIconContract::minimumDimension;

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

std::vector<std::string> splitColon(const std::string& value) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= value.size()) {
        const auto colon = value.find(':', start);
        const auto item =
            value.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!item.empty()) {
            out.push_back(item);
        }
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    return out;
}

bool endsWith(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isUTF8(const std::string& s) {
    return wire::isValidUTF8(
        wire::ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

} // namespace

std::vector<fs::path> AppCatalog::defaultSearchRoots() {
    const std::string home = env("HOME");
    std::string dataHome = env("XDG_DATA_HOME");
    if (dataHome.empty()) {
        dataHome = home + "/.local/share";
    }
    std::string dataDirs = env("XDG_DATA_DIRS");
    if (dataDirs.empty()) {
        dataDirs = "/usr/local/share:/usr/share";
    }
    std::vector<fs::path> roots;
    const auto add = [&roots](const fs::path& p) {
        const auto normal = p.lexically_normal();
        for (const auto& r : roots) {
            if (r.lexically_normal() == normal) {
                return;
            }
        }
        roots.push_back(p);
    };
    add(fs::path(dataHome) / "applications");
    for (const auto& dir : splitColon(dataDirs)) {
        add(fs::path(dir) / "applications");
    }
    add(fs::path(home) / ".local/share/flatpak/exports/share/applications");
    add("/var/lib/flatpak/exports/share/applications");
    add("/var/lib/snapd/desktop/applications");
    return roots;
}

std::vector<std::pair<std::string, fs::path>>
AppCatalog::desktopFiles(const std::vector<fs::path>& searchRoots) {
    std::vector<std::pair<std::string, fs::path>> out;
    for (const auto& root : searchRoots) {
        std::error_code ec;
        fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied,
                                            ec);
        if (ec) {
            continue; // missing or unreadable: the other roots still count
        }
        std::vector<std::pair<std::string, fs::path>> found;
        for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (ec) {
                break;
            }
            const auto& path = it->path();
            const std::string name = path.filename().string();
            if (!name.empty() && name.front() == '.') {
                if (it->is_directory(ec)) {
                    it.disable_recursion_pending();
                }
                continue;
            }
            if (!endsWith(name, ".desktop") || !it->is_regular_file(ec)) {
                continue;
            }
            std::string id = path.lexically_relative(root).generic_string();
            std::replace(id.begin(), id.end(), '/', '-');
            found.emplace_back(std::move(id), path);
        }
        std::sort(found.begin(), found.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
        for (auto& f : found) {
            out.push_back(std::move(f));
        }
    }
    return out;
}

std::optional<InstalledApp> AppCatalog::readApp(const fs::path& file,
                                                const std::string& desktopFileID) {
    const auto entry = platform::readDesktopEntry(file);
    if (!entry) {
        return std::nullopt;
    }
    std::string bundleID = desktopFileID;
    if (endsWith(bundleID, ".desktop")) {
        bundleID.resize(bundleID.size() - std::strlen(".desktop"));
    }
    if (bundleID.empty()) {
        return std::nullopt;
    }
    std::string displayName = entry->name;
    if (displayName.empty()) {
        displayName = file.filename().string();
        if (endsWith(displayName, ".desktop")) {
            displayName.resize(displayName.size() - std::strlen(".desktop"));
        }
    }
    const bool backgroundOnly =
        entry->noDisplay || entry->hidden || !platform::tryExecSucceeds(entry->tryExec) ||
        !platform::showsIn(entry->onlyShowIn, entry->notShowIn, platform::currentDesktops()) ||
        (!entry->dbusActivatable && !platform::execProgramExists(entry->exec));
    return InstalledApp(file, std::move(bundleID), std::move(displayName), backgroundOnly,
                        entry->icon);
}

std::vector<InstalledApp> AppCatalog::scan(const std::vector<fs::path>& searchRoots) {
    std::vector<InstalledApp> apps;
    std::unordered_set<std::string> seen;
    for (const auto& [id, path] : desktopFiles(searchRoots)) {
        if (seen.count(id) != 0) {
            continue;
        }
        if (auto app = readApp(path, id)) {
            seen.insert(id);
            apps.push_back(std::move(*app));
        }
    }
    return apps;
}

bool AppCatalog::qualifies(const InstalledApp& app) {
    return !app.isBackgroundOnly && !app.bundleID.empty();
}

std::vector<InstalledApp> AppCatalog::ordered(std::vector<InstalledApp> apps) {
    std::vector<InstalledApp> unique;
    std::unordered_set<std::string> seen;
    for (auto& app : apps) {
        if (seen.insert(app.bundleID).second) {
            unique.push_back(std::move(app));
        }
    }
    const platform::NameCollator collator;
    std::stable_sort(unique.begin(), unique.end(), [&](const auto& a, const auto& b) {
        return collator.compare(a.displayName, b.displayName) < 0;
    });
    return unique;
}

std::size_t AppCatalog::entrySize(const wire::AppEntry& e) {
    return e.displayName.size() + e.bundleID.size() + e.iconPNG.size();
}

AppCatalog::TrimResult AppCatalog::trimToBudget(std::vector<wire::AppEntry> entries) {
    TrimResult result;
    std::size_t total = 0;
    std::size_t keep = 0;
    for (const auto& e : entries) {
        if (keep == maximumEntries) {
            result.cut = true;
            break;
        }
        total += entrySize(e);
        if (total > maximumTotalBytes) {
            result.cut = true;
            break;
        }
        ++keep;
    }
    entries.resize(keep);
    result.kept = std::move(entries);
    return result;
}

std::string AppCatalog::truncationLogLine(std::size_t candidates, std::size_t kept) {
    return i18n::fill(i18n::tr("[app list] {1} candidates, cut to {4} to fit the sender's budget "
                               "(at most {2} entries / {3} KB): the entries cut are the last "
                               "ones in name order, not random ones"),
                      {std::to_string(candidates), std::to_string(maximumEntries),
                       std::to_string(maximumTotalBytes / 1024), std::to_string(kept)});
}

bool AppCatalog::fitToWireLimits(wire::AppEntry& entry) {
    if (entry.bundleID.size() > maximumTextBytes || entry.iconPNG.size() > maximumIconBytes ||
        !isUTF8(entry.bundleID) || !isUTF8(entry.displayName)) {
        return false;
    }
    if (entry.displayName.size() > maximumTextBytes) {
        std::size_t cut = maximumTextBytes;
        // Back up to the start of a character (continuation bytes are 10xxxxxx).
        while (cut > 0 && (static_cast<unsigned char>(entry.displayName[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        entry.displayName.resize(cut);
    }
    return true;
}

namespace {

platform::IconLookupOptions lookupOptions(const CatalogOptions& options) {
    if (options.iconLookup) {
        return *options.iconLookup;
    }
    std::optional<std::string> preferred;
    if (options.defaults != nullptr) {
        try {
            preferred = options.defaults->string("iconTheme");
        } catch (...) {
            // Unreadable defaults: the theme comes from the desktop settings.
        }
    }
    return platform::IconLookupOptions::fromEnvironment(preferred);
}

} // namespace

AppCatalog::IconSource::IconSource(const CatalogOptions& options)
    : lookup_(lookupOptions(options)),
      cache_(options.cacheDirectory ? *options.cacheDirectory
                                    : platform::IconRenderCache::defaultDirectory()),
      onRender_(options.onRender) {}

AppCatalog::IconSource::~IconSource() = default;

std::optional<wire::Bytes> AppCatalog::IconSource::renderFile(const fs::path& file) {
    static const std::string parameters =
        std::to_string(kIconSize) + "/" + std::to_string(maximumIconBytes);
    return cache_.get(file, parameters, [&]() -> std::optional<wire::Bytes> {
        if (onRender_) {
            onRender_(file);
        }
        return platform::renderIconFile(file, kIconSize, maximumIconBytes);
    });
}

std::optional<wire::Bytes> AppCatalog::IconSource::renderIconPNG(const InstalledApp& app) {
    if (!app.iconName.empty()) {
        if (const auto file = lookup_.find(app.iconName, kIconSize)) {
            if (auto png = renderFile(*file)) {
                return png;
            }
        }
    }
    for (const char* name : genericIconNames) {
        if (const auto file = lookup_.find(name, kIconSize)) {
            if (auto png = renderFile(*file)) {
                return png;
            }
        }
    }
    return std::nullopt;
}

void AppCatalog::IconSource::finish() {
    cache_.pruneUnused();
}

std::vector<wire::AppEntry> AppCatalog::makeEntries(const std::vector<fs::path>& searchRoots,
                                                    const CatalogOptions& options) {
    std::vector<InstalledApp> candidates;
    for (auto& app : scan(searchRoots)) {
        if (qualifies(app)) {
            candidates.push_back(std::move(app));
        }
    }
    IconSource icons(options);
    std::vector<wire::AppEntry> entries;
    for (const auto& app : ordered(std::move(candidates))) {
        auto png = icons.renderIconPNG(app);
        if (!png) {
            continue;
        }
        wire::AppEntry entry{app.displayName, app.bundleID, std::move(*png)};
        if (fitToWireLimits(entry)) {
            entries.push_back(std::move(entry));
        }
    }
    icons.finish();
    const std::size_t before = entries.size();
    auto trimmed = trimToBudget(std::move(entries));
    if (trimmed.cut) {
        platform::DiagLog::write(truncationLogLine(before, trimmed.kept.size()));
    }
    return std::move(trimmed.kept);
}

} // namespace quillon
