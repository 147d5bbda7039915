// Desktop entries and icon theme index files come from any package or user on the machine;
// none of their contents may crash the catalog or make it allocate without bound.
#include "Platform/Workspace/DesktopEntry.hpp"
#include "Platform/Workspace/IconTheme.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace quillon::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const auto entry = parseDesktopEntry(text, "/fuzz/app.desktop")) {
        // What the catalog derives from an entry.
        (void)showsIn(entry->onlyShowIn, entry->notShowIn, {"GNOME", "KDE"});
        (void)execProgramName(entry->exec);
        (void)splitDesktopList(entry->icon);
    }
    (void)splitDesktopList(text);
    (void)execProgramName(text.substr(0, 4096));

    if (const auto index = parseIndexTheme(text)) {
        for (const auto& dir : index->directories) {
            if (dir.size < 1 || dir.minSize > dir.size || dir.maxSize < dir.size ||
                dir.path.empty() || dir.path.front() == '/') {
                __builtin_trap(); // the parser's guarantees
            }
        }
    }
    const IniFile ini = parseIni(text);
    if (ini.groupOrder.size() != ini.groups.size()) {
        __builtin_trap();
    }
    return 0;
}
