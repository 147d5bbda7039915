#include "Platform/Workspace/IconTheme.hpp"

#include "Platform/Paths/BaseDirectories.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <tuple>

namespace quillon::platform {

namespace {

constexpr std::size_t kMaxDirectories = 4096;
constexpr int kMaxIconSize = 4096;
constexpr std::size_t kMaxThemes = 64;
constexpr std::uintmax_t kMaxIndexBytes = 1 << 20;
constexpr const char* kExtensions[] = {".png", ".svg", ".xpm"};

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::vector<std::string> splitList(std::string_view value) {
    std::vector<std::string> out;
    while (true) {
        const auto comma = value.find(',');
        const auto item = trim(value.substr(0, comma));
        if (!item.empty()) {
            out.emplace_back(item);
        }
        if (comma == std::string_view::npos) {
            break;
        }
        value.remove_prefix(comma + 1);
    }
    return out;
}

std::optional<int> intValue(const std::string* v) {
    if (v == nullptr) {
        return std::nullopt;
    }
    int out = 0;
    const auto* first = v->data();
    const auto* last = v->data() + v->size();
    const auto [end, ec] = std::from_chars(first, last, out);
    if (ec != std::errc() || end != last) {
        return std::nullopt;
    }
    return out;
}

bool safeRelativePath(const std::string& p) {
    if (p.empty() || p.front() == '/') {
        return false;
    }
    std::string_view rest(p);
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const auto part = rest.substr(0, slash);
        if (part == "..") {
            return false;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(slash + 1);
    }
    return true;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > kMaxIndexBytes) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : fallback;
}

// How well a directory suits the wanted size: (0, 0) matches; (1, d) is larger by d; (2, d) is
// smaller by d. Lower is better.
std::pair<int, int> fitness(const IconThemeDirectory& d, int size) {
    const int scale = std::max(d.scale, 1);
    int low = d.size;
    int high = d.size;
    switch (d.type) {
    case IconThemeDirectory::Type::fixed:
        break;
    case IconThemeDirectory::Type::scalable:
        low = d.minSize;
        high = d.maxSize;
        break;
    case IconThemeDirectory::Type::threshold:
        low = d.size - d.threshold;
        high = d.size + d.threshold;
        break;
    }
    low *= scale;
    high *= scale;
    if (size >= low && size <= high) {
        return {0, 0};
    }
    if (low > size) {
        return {1, low - size};
    }
    return {2, size - high};
}

} // namespace

const std::string* IniFile::value(const std::string& group, const std::string& key) const {
    const auto g = groups.find(group);
    if (g == groups.end()) {
        return nullptr;
    }
    const auto k = g->second.find(key);
    return k == g->second.end() ? nullptr : &k->second;
}

IniFile parseIni(std::string_view text) {
    IniFile ini;
    std::map<std::string, std::string>* group = nullptr;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        const auto line = trim(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const auto close = line.find(']');
            if (close == std::string_view::npos) {
                group = nullptr;
                continue;
            }
            std::string name(line.substr(1, close - 1));
            auto [it, inserted] = ini.groups.try_emplace(name);
            if (inserted) {
                ini.groupOrder.push_back(name);
            }
            group = &it->second;
            continue;
        }
        const auto eq = line.find('=');
        if (group == nullptr || eq == std::string_view::npos) {
            continue;
        }
        const auto key = trim(line.substr(0, eq));
        if (key.empty()) {
            continue;
        }
        group->try_emplace(std::string(key), std::string(trim(line.substr(eq + 1))));
    }
    return ini;
}

std::optional<IconThemeIndex> parseIndexTheme(std::string_view text) {
    const IniFile ini = parseIni(text);
    if (ini.groups.find("Icon Theme") == ini.groups.end()) {
        return std::nullopt;
    }
    IconThemeIndex index;
    if (const auto* inherits = ini.value("Icon Theme", "Inherits")) {
        index.inherits = splitList(*inherits);
    }
    std::vector<std::string> dirs;
    for (const char* key : {"Directories", "ScaledDirectories"}) {
        if (const auto* v = ini.value("Icon Theme", key)) {
            for (auto& d : splitList(*v)) {
                if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) {
                    dirs.push_back(std::move(d));
                }
            }
        }
    }
    for (const auto& path : dirs) {
        if (index.directories.size() >= kMaxDirectories) {
            break;
        }
        const auto size = intValue(ini.value(path, "Size"));
        if (!size || *size < 1 || *size > kMaxIconSize || !safeRelativePath(path)) {
            continue;
        }
        IconThemeDirectory d;
        d.path = path;
        d.size = *size;
        d.scale = std::clamp(intValue(ini.value(path, "Scale")).value_or(1), 1, 16);
        const auto* type = ini.value(path, "Type");
        if (type != nullptr && *type == "Fixed") {
            d.type = IconThemeDirectory::Type::fixed;
        } else if (type != nullptr && *type == "Scalable") {
            d.type = IconThemeDirectory::Type::scalable;
        }
        d.minSize = std::clamp(intValue(ini.value(path, "MinSize")).value_or(d.size), 1, d.size);
        d.maxSize =
            std::clamp(intValue(ini.value(path, "MaxSize")).value_or(d.size), d.size, kMaxIconSize);
        d.threshold = std::clamp(intValue(ini.value(path, "Threshold")).value_or(2), 0, d.size);
        index.directories.push_back(std::move(d));
    }
    return index;
}

std::string currentIconThemeName(const std::optional<std::string>& preferred) {
    if (preferred && !preferred->empty()) {
        return *preferred;
    }
    const std::string config = baseDirectory(BaseDirectory::config);
    if (const auto text = readSmallFile(config + "/gtk-3.0/settings.ini")) {
        const IniFile ini = parseIni(*text);
        if (const auto* name = ini.value("Settings", "gtk-icon-theme-name")) {
            std::string theme = *name;
            if (theme.size() >= 2 && theme.front() == '"' && theme.back() == '"') {
                theme = theme.substr(1, theme.size() - 2);
            }
            if (!theme.empty()) {
                return theme;
            }
        }
    }
    return "hicolor";
}

IconLookupOptions IconLookupOptions::fromEnvironment(const std::optional<std::string>& preferred) {
    IconLookupOptions o;
    const std::string home = homeDirectory();
    o.baseDirs.emplace_back(home + "/.icons");
    o.baseDirs.emplace_back(baseDirectory(BaseDirectory::data) + "/icons");
    for (const auto& dir : [&] {
             std::vector<std::string> out;
             const std::string dirs = envOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
             std::string_view rest = dirs;
             while (!rest.empty()) {
                 const auto colon = rest.find(':');
                 if (const auto item = rest.substr(0, colon); !item.empty()) {
                     out.emplace_back(item);
                 }
                 if (colon == std::string_view::npos) {
                     break;
                 }
                 rest.remove_prefix(colon + 1);
             }
             return out;
         }()) {
        o.baseDirs.emplace_back(dir + "/icons");
    }
    o.pixmapDirs.emplace_back("/usr/share/pixmaps");
    o.themeName = currentIconThemeName(preferred);
    return o;
}

IconLookup::IconLookup(IconLookupOptions options) : options_(std::move(options)) {}
IconLookup::~IconLookup() = default;

const std::vector<std::string>& IconLookup::themeChain() {
    loadChain();
    return chainNames_;
}

void IconLookup::loadChain() {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    std::unordered_set<std::string> seen;
    // Depth first over Inherits, each theme once (cycles end there), hicolor last.
    const auto visit = [&](const auto& self, const std::string& name) -> void {
        if (themes_.size() >= kMaxThemes || name.empty() || name.find('/') != std::string::npos ||
            name == "." || name == ".." || !seen.insert(name).second) {
            return;
        }
        for (const auto& base : options_.baseDirs) {
            const auto text = readSmallFile(base / name / "index.theme");
            if (!text) {
                continue;
            }
            auto index = parseIndexTheme(*text);
            if (!index) {
                continue;
            }
            const auto parents = index->inherits;
            themes_.push_back({name, std::move(*index)});
            chainNames_.push_back(name);
            for (const auto& parent : parents) {
                if (parent != "hicolor") {
                    self(self, parent);
                }
            }
            return;
        }
    };
    visit(visit, options_.themeName == "hicolor" ? std::string() : options_.themeName);
    visit(visit, "hicolor");
}

const std::unordered_set<std::string>* IconLookup::listing(const std::filesystem::path& dir) {
    auto [it, inserted] = listings_.try_emplace(dir.string());
    if (inserted) {
        std::error_code ec;
        std::filesystem::directory_iterator entries(dir, ec);
        if (!ec) {
            auto names = std::make_unique<std::unordered_set<std::string>>();
            for (const auto& entry : entries) {
                names->insert(entry.path().filename().string());
            }
            it->second = std::move(names);
        }
    }
    return it->second.get();
}

std::optional<std::filesystem::path> IconLookup::findInTheme(const Theme& theme,
                                                             const std::string& name, int size) {
    std::optional<std::filesystem::path> best;
    std::pair<int, int> bestFit{3, 0};
    for (const auto& dir : theme.index.directories) {
        const auto fit = fitness(dir, size);
        if (best && fit >= bestFit) {
            continue; // earlier directories win ties
        }
        for (const auto& base : options_.baseDirs) {
            const auto path = base / theme.name / dir.path;
            const auto* names = listing(path);
            if (names == nullptr) {
                continue;
            }
            bool found = false;
            for (const char* ext : kExtensions) {
                if (names->count(name + ext) != 0) {
                    best = path / (name + ext);
                    bestFit = fit;
                    found = true;
                    break;
                }
            }
            if (found) {
                break;
            }
        }
        if (best && bestFit == std::pair<int, int>{0, 0}) {
            break;
        }
    }
    return best;
}

std::optional<std::filesystem::path> IconLookup::find(std::string_view icon, int size) {
    if (icon.empty()) {
        return std::nullopt;
    }
    if (icon.front() == '/') {
        std::error_code ec;
        const std::filesystem::path p{std::string(icon)};
        if (std::filesystem::is_regular_file(p, ec)) {
            return p;
        }
        return std::nullopt;
    }
    std::string name(icon);
    if (name.find('/') != std::string::npos || name == "." || name == "..") {
        return std::nullopt;
    }
    for (const char* ext : kExtensions) {
        const std::string_view e(ext);
        if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) {
            name.resize(name.size() - e.size());
            break;
        }
    }
    loadChain();
    for (const auto& theme : themes_) {
        if (auto found = findInTheme(theme, name, size)) {
            return found;
        }
    }
    for (const auto& dir : options_.pixmapDirs) {
        const auto* names = listing(dir);
        if (names == nullptr) {
            continue;
        }
        for (const char* ext : kExtensions) {
            if (names->count(name + ext) != 0) {
                return dir / (name + ext);
            }
        }
    }
    return std::nullopt;
}

} // namespace quillon::platform
