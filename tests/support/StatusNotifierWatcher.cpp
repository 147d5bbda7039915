#include "tests/support/StatusNotifierWatcher.hpp"

#include <systemd/sd-bus.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace quillon::testing {

namespace {

void check(int r, const char* what) {
    if (r < 0) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(-r));
    }
}

sd_bus* openBus(const std::string& address) {
    sd_bus* bus = nullptr;
    check(sd_bus_new(&bus), "sd_bus_new");
    check(sd_bus_set_address(bus, address.c_str()), "sd_bus_set_address");
    check(sd_bus_set_bus_client(bus, 1), "sd_bus_set_bus_client");
    check(sd_bus_start(bus), "sd_bus_start");
    return bus;
}

} // namespace

struct StatusNotifierWatcher::Impl {
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    int wake = -1;
    std::thread thread;
    std::atomic<bool> stop{false};
    mutable std::mutex m;
    std::vector<Item> items;

    static int registerItem(sd_bus_message* msg, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        const char* arg = nullptr;
        int r = sd_bus_message_read(msg, "s", &arg);
        if (r < 0) {
            return r;
        }
        // An argument that is a path means "this path of the sender" (the KDE convention).
        Item item;
        const std::string a = arg != nullptr ? arg : "";
        if (!a.empty() && a[0] == '/') {
            item = {sd_bus_message_get_sender(msg), a};
        } else {
            item = {a.empty() ? sd_bus_message_get_sender(msg) : a, "/StatusNotifierItem"};
        }
        {
            std::lock_guard lock(self->m);
            self->items.push_back(item);
        }
        sd_bus_emit_signal(self->bus, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                           "StatusNotifierItemRegistered", "s", item.service.c_str());
        return sd_bus_reply_method_return(msg, "");
    }
    static int registerHost(sd_bus_message* msg, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(msg, "");
    }
    static int propertyItems(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                             void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        std::lock_guard lock(self->m);
        int r = sd_bus_message_open_container(reply, 'a', "s");
        for (const auto& i : self->items) {
            if (r >= 0) {
                r = sd_bus_message_append(reply, "s", i.service.c_str());
            }
        }
        return r < 0 ? r : sd_bus_message_close_container(reply);
    }
    static int propertyTrue(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                            void*, sd_bus_error*) {
        return sd_bus_message_append(reply, "b", 1);
    }
    static int propertyVersion(sd_bus*, const char*, const char*, const char*,
                               sd_bus_message* reply, void*, sd_bus_error*) {
        return sd_bus_message_append(reply, "i", 0);
    }

    void run() {
        while (!stop.load()) {
            const int r = sd_bus_process(bus, nullptr);
            if (r < 0) {
                return;
            }
            if (r > 0) {
                continue;
            }
            pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                             {wake, POLLIN, 0}};
            ::poll(fds, 2, 200);
        }
    }
};

StatusNotifierWatcher::StatusNotifierWatcher(const std::string& busAddress)
    : impl_(std::make_unique<Impl>()) {
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", Impl::registerItem, 0),
        SD_BUS_METHOD("RegisterStatusNotifierHost", "s", "", Impl::registerHost, 0),
        SD_BUS_PROPERTY("RegisteredStatusNotifierItems", "as", Impl::propertyItems, 0, 0),
        SD_BUS_PROPERTY("IsStatusNotifierHostRegistered", "b", Impl::propertyTrue, 0, 0),
        SD_BUS_PROPERTY("ProtocolVersion", "i", Impl::propertyVersion, 0, 0),
        SD_BUS_SIGNAL("StatusNotifierItemRegistered", "s", 0),
        SD_BUS_SIGNAL("StatusNotifierItemUnregistered", "s", 0),
        SD_BUS_SIGNAL("StatusNotifierHostRegistered", "", 0),
        SD_BUS_VTABLE_END};
    impl_->bus = openBus(busAddress);
    check(sd_bus_add_object_vtable(impl_->bus, &impl_->slot, "/StatusNotifierWatcher",
                                   "org.kde.StatusNotifierWatcher", vtable, impl_.get()),
          "add watcher object");
    check(sd_bus_request_name(impl_->bus, "org.kde.StatusNotifierWatcher", 0), "watcher name");
    impl_->wake = ::eventfd(0, EFD_CLOEXEC);
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

StatusNotifierWatcher::~StatusNotifierWatcher() {
    impl_->stop.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(impl_->wake, &one, sizeof one);
    impl_->thread.join();
    ::close(impl_->wake);
    sd_bus_slot_unref(impl_->slot);
    sd_bus_flush_close_unref(impl_->bus);
}

std::vector<StatusNotifierWatcher::Item> StatusNotifierWatcher::items() const {
    std::lock_guard lock(impl_->m);
    return impl_->items;
}

struct DbusMenuReader::Impl {
    sd_bus* bus = nullptr;
    StatusNotifierWatcher::Item item;
    std::string menuPath;

    // Reads one (ia{sv}av) entry; the message is positioned at it.
    static MenuEntry readEntry(sd_bus_message* m) {
        MenuEntry e;
        check(sd_bus_message_enter_container(m, 'r', "ia{sv}av"), "enter entry");
        check(sd_bus_message_read(m, "i", &e.id), "entry id");
        check(sd_bus_message_enter_container(m, 'a', "{sv}"), "enter properties");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* key = nullptr;
            check(sd_bus_message_read(m, "s", &key), "property name");
            const std::string k = key;
            const char* contents = nullptr;
            char type = 0;
            check(sd_bus_message_peek_type(m, &type, &contents), "peek");
            check(sd_bus_message_enter_container(m, 'v', contents), "enter value");
            if (k == "label" && std::strcmp(contents, "s") == 0) {
                const char* label = nullptr;
                check(sd_bus_message_read(m, "s", &label), "label");
                e.label = label;
            } else if ((k == "enabled" || k == "visible") && std::strcmp(contents, "b") == 0) {
                int b = 1;
                check(sd_bus_message_read(m, "b", &b), "flag");
                (k == "enabled" ? e.enabled : e.visible) = b != 0;
            } else if (k == "type" && std::strcmp(contents, "s") == 0) {
                const char* t = nullptr;
                check(sd_bus_message_read(m, "s", &t), "type");
                e.separator = std::strcmp(t, "separator") == 0;
            } else {
                check(sd_bus_message_skip(m, contents), "skip value");
            }
            check(sd_bus_message_exit_container(m), "exit value");
            check(sd_bus_message_exit_container(m), "exit property");
        }
        check(sd_bus_message_exit_container(m), "exit properties");
        check(sd_bus_message_enter_container(m, 'a', "v"), "enter children");
        while (sd_bus_message_enter_container(m, 'v', "(ia{sv}av)") > 0) {
            e.children.push_back(readEntry(m));
            check(sd_bus_message_exit_container(m), "exit child");
        }
        check(sd_bus_message_exit_container(m), "exit children");
        check(sd_bus_message_exit_container(m), "exit entry");
        return e;
    }
};

DbusMenuReader::DbusMenuReader(const std::string& busAddress,
                               const StatusNotifierWatcher::Item& item)
    : impl_(std::make_unique<Impl>()) {
    impl_->bus = openBus(busAddress);
    impl_->item = item;
    // The Menu property is an object path; sd_bus_get_property() hands back its reply with
    // the variant already entered.
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_get_property(impl_->bus, item.service.c_str(), item.path.c_str(),
                                "org.kde.StatusNotifierItem", "Menu", &error, &reply, "o");
    sd_bus_error_free(&error);
    const char* path = nullptr;
    if (r >= 0) {
        r = sd_bus_message_read(reply, "o", &path);
    }
    if (r >= 0) {
        impl_->menuPath = path;
    }
    sd_bus_message_unref(reply);
    if (r < 0) {
        sd_bus_flush_close_unref(impl_->bus);
        check(r, "Menu property");
    }
}

DbusMenuReader::~DbusMenuReader() {
    sd_bus_flush_close_unref(impl_->bus);
}

std::string DbusMenuReader::title() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* value = nullptr;
    const int r = sd_bus_get_property_string(impl_->bus, impl_->item.service.c_str(),
                                             impl_->item.path.c_str(), "org.kde.StatusNotifierItem",
                                             "Title", &error, &value);
    sd_bus_error_free(&error);
    check(r, "Title property");
    std::string out = value;
    std::free(value);
    return out;
}

std::string DbusMenuReader::iconName() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* value = nullptr;
    const int r = sd_bus_get_property_string(impl_->bus, impl_->item.service.c_str(),
                                             impl_->item.path.c_str(), "org.kde.StatusNotifierItem",
                                             "IconName", &error, &value);
    sd_bus_error_free(&error);
    check(r, "IconName property");
    std::string out = value;
    std::free(value);
    return out;
}

std::string DbusMenuReader::toolTip() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_get_property(impl_->bus, impl_->item.service.c_str(),
                                      impl_->item.path.c_str(), "org.kde.StatusNotifierItem",
                                      "ToolTip", &error, &reply, "(sa(iiay)ss)");
    sd_bus_error_free(&error);
    check(r, "ToolTip property");
    const char* icon = nullptr;
    const char* title = nullptr;
    const char* text = nullptr;
    check(sd_bus_message_enter_container(reply, 'r', "sa(iiay)ss"), "tooltip struct");
    check(sd_bus_message_read(reply, "s", &icon), "tooltip icon");
    check(sd_bus_message_skip(reply, "a(iiay)"), "tooltip pixmaps");
    check(sd_bus_message_read(reply, "ss", &title, &text), "tooltip texts");
    std::string out = title != nullptr ? title : "";
    if (text != nullptr && *text != '\0') {
        out += (out.empty() ? "" : "\n") + std::string(text);
    }
    sd_bus_message_unref(reply);
    return out;
}

MenuEntry DbusMenuReader::layout() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r =
        sd_bus_call_method(impl_->bus, impl_->item.service.c_str(), impl_->menuPath.c_str(),
                           "com.canonical.dbusmenu", "GetLayout", &error, &reply, "iias", 0, -1, 0);
    sd_bus_error_free(&error);
    check(r, "GetLayout");
    std::uint32_t revision = 0;
    check(sd_bus_message_read(reply, "u", &revision), "revision");
    MenuEntry root = Impl::readEntry(reply);
    sd_bus_message_unref(reply);
    return root;
}

void DbusMenuReader::click(std::int32_t id) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_call_method(impl_->bus, impl_->item.service.c_str(), impl_->menuPath.c_str(),
                       "com.canonical.dbusmenu", "AboutToShow", &error, nullptr, "i", 0);
    sd_bus_error_free(&error);
    const int r = sd_bus_call_method(impl_->bus, impl_->item.service.c_str(),
                                     impl_->menuPath.c_str(), "com.canonical.dbusmenu", "Event",
                                     &error, nullptr, "isvu", id, "clicked", "i", 0, 0u);
    sd_bus_error_free(&error);
    check(r, "Event");
}

std::vector<std::string> DbusMenuReader::describe(const MenuEntry& root) {
    std::vector<std::string> out;
    for (const auto& e : root.children) {
        if (!e.visible) {
            continue;
        }
        if (e.separator) {
            out.push_back("---");
        } else if (!e.children.empty()) {
            std::string inner;
            for (const auto& line : describe(e)) {
                inner += (inner.empty() ? "" : " | ") + line;
            }
            out.push_back(e.label + " { " + inner + " }");
        } else {
            out.push_back(e.enabled ? "[" + e.label + "]" : e.label);
        }
    }
    return out;
}

const MenuEntry* DbusMenuReader::find(const MenuEntry& root, const std::string& label) {
    for (const auto& e : root.children) {
        if (!e.visible) {
            continue;
        }
        if (e.label == label) {
            return &e;
        }
        if (const MenuEntry* inner = find(e, label)) {
            return inner;
        }
    }
    return nullptr;
}

} // namespace quillon::testing
