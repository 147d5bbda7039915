#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quillon::platform {

// A minimal INI reader for icon theme index files and GTK settings files: "[Group]" headers,
// "Key = Value" lines (spaces around '=' trimmed), '#' and ';' comment lines. Keys before the
// first group, malformed lines and repeated keys (the first counts) are ignored.
struct IniFile {
    std::vector<std::string> groupOrder;
    std::map<std::string, std::map<std::string, std::string>> groups;

    const std::string* value(const std::string& group, const std::string& key) const;
};
IniFile parseIni(std::string_view text);

// One icon directory of a theme, as its index.theme describes it.
struct IconThemeDirectory {
    enum class Type { fixed, scalable, threshold };
    std::string path; // relative to the theme directory
    int size = 0;
    int scale = 1;
    Type type = Type::threshold;
    int minSize = 0;
    int maxSize = 0;
    int threshold = 2;
    bool operator==(const IconThemeDirectory&) const = default;
};

struct IconThemeIndex {
    std::vector<std::string> inherits;
    std::vector<IconThemeDirectory> directories;
    bool operator==(const IconThemeIndex&) const = default;
};

// Parses an index.theme. Nothing when it lacks the "[Icon Theme]" group. Directories without
// a usable Size (1 to 4096), with a path that leaves the theme ("..", absolute), or beyond the
// first 4096 are left out.
std::optional<IconThemeIndex> parseIndexTheme(std::string_view text);

// The current icon theme: `preferred` when given and not empty, else gtk-icon-theme-name from
// $XDG_CONFIG_HOME/gtk-3.0/settings.ini, else "hicolor".
std::string currentIconThemeName(const std::optional<std::string>& preferred);

struct IconLookupOptions {
    // Directories holding themes, searched in this order for every theme directory.
    std::vector<std::filesystem::path> baseDirs;
    // Unthemed icons, tried after every theme.
    std::vector<std::filesystem::path> pixmapDirs;
    std::string themeName = "hicolor";

    // ~/.icons, $XDG_DATA_HOME/icons, each $XDG_DATA_DIRS/icons; /usr/share/pixmaps; and
    // the theme chosen by currentIconThemeName(preferredTheme).
    static IconLookupOptions fromEnvironment(const std::optional<std::string>& preferredTheme);
};

// The icon theme lookup: the theme, its Inherits parents depth first, hicolor, then the pixmap
// directories. Within one theme the directory whose size fits the requested size best wins: a
// directory that matches it, else the smallest larger one, else the largest smaller one.
// Directory listings are read once per lookup object, so one object serves a whole listing.
// Not thread-safe.
class IconLookup {
public:
    explicit IconLookup(IconLookupOptions options);
    ~IconLookup();
    IconLookup(const IconLookup&) = delete;
    IconLookup& operator=(const IconLookup&) = delete;

    // The file for an Icon value: an absolute path is taken as is when it is a regular file;
    // a name (a trailing .png/.svg/.xpm is tolerated) is looked up as above. Names holding a
    // '/' that are not absolute paths find nothing.
    std::optional<std::filesystem::path> find(std::string_view icon, int size);

    // The themes searched, in order (after loading the chain).
    const std::vector<std::string>& themeChain();

private:
    struct Theme {
        std::string name;
        IconThemeIndex index;
    };
    void loadChain();
    const std::unordered_set<std::string>* listing(const std::filesystem::path& dir);
    std::optional<std::filesystem::path> findInTheme(const Theme& theme, const std::string& name,
                                                     int size);

    IconLookupOptions options_;
    bool loaded_ = false;
    std::vector<Theme> themes_;
    std::vector<std::string> chainNames_;
    std::unordered_map<std::string, std::unique_ptr<std::unordered_set<std::string>>> listings_;
};

} // namespace quillon::platform
