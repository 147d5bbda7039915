#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillon::testing {

// The panel's side of tray icons on a test's session bus: a small StatusNotifierWatcher
// (org.kde.StatusNotifierWatcher, with a host registered, so toolkits export their tray icons
// as StatusNotifierItems) served from a thread of its own, and a reader that walks an item's
// com.canonical.dbusmenu menu and clicks its entries, as a panel does.
class StatusNotifierWatcher {
public:
    explicit StatusNotifierWatcher(const std::string& busAddress);
    ~StatusNotifierWatcher();
    StatusNotifierWatcher(const StatusNotifierWatcher&) = delete;
    StatusNotifierWatcher& operator=(const StatusNotifierWatcher&) = delete;

    struct Item {
        std::string service; // bus name to call
        std::string path;    // object path of the item
    };
    // The items registered so far, in order.
    std::vector<Item> items() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One entry of a dbusmenu layout.
struct MenuEntry {
    std::int32_t id = 0;
    std::string label;
    bool enabled = true;
    bool visible = true;
    bool separator = false;
    std::vector<MenuEntry> children;
};

// A panel's reading of one item's menu (blocking calls on a connection of its own).
class DbusMenuReader {
public:
    DbusMenuReader(const std::string& busAddress, const StatusNotifierWatcher::Item& item);
    ~DbusMenuReader();
    DbusMenuReader(const DbusMenuReader&) = delete;
    DbusMenuReader& operator=(const DbusMenuReader&) = delete;

    // The item's "Title" property.
    std::string title();
    // The item's "IconName" property (a theme name, or a file a toolkit wrote).
    std::string iconName();
    // The title and text of the item's "ToolTip" property, joined by a newline when both are
    // there.
    std::string toolTip();
    // GetLayout(0, -1, []): the root entry with the whole tree.
    MenuEntry layout();
    // Event(id, "clicked", 0, 0), after AboutToShow(id) as a panel opening the menu sends it.
    void click(std::int32_t id);

    // The visible entries as lines: "text", "[text]" for enabled, "---" for separators,
    // submenus as "text { a | b }" (a test compares these against what a user sees).
    static std::vector<std::string> describe(const MenuEntry& root);
    // The first visible entry with this label, depth first; id -1 when none.
    static const MenuEntry* find(const MenuEntry& root, const std::string& label);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::testing
