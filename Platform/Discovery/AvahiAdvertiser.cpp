#include "Platform/Discovery/ServiceAdvertiser.hpp"

#include "Platform/Locale/Translation.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <map>
#include <mutex>
#include <stdexcept>

namespace quillon::platform {

namespace {

// Everything below runs either on avahi's poll thread (callbacks) or under its lock.
class AvahiAdvertiser final : public ServiceAdvertiser {
public:
    AvahiAdvertiser() {
        poll_ = avahi_threaded_poll_new();
        if (poll_ == nullptr) {
            throw std::runtime_error("avahi: cannot create the poll thread");
        }
        connect();
        if (avahi_threaded_poll_start(poll_) < 0) {
            if (client_ != nullptr) {
                avahi_client_free(client_);
            }
            avahi_threaded_poll_free(poll_);
            throw std::runtime_error("avahi: cannot start the poll thread");
        }
    }

    ~AvahiAdvertiser() override {
        avahi_threaded_poll_stop(poll_);
        if (client_ != nullptr) {
            avahi_client_free(client_); // frees the entry groups, withdrawing the services
        }
        avahi_threaded_poll_free(poll_);
    }

    void setFailureHandler(FailureHandler handler) override {
        std::lock_guard lock(handlerMutex_);
        handler_ = std::move(handler);
    }

    void setAvailabilityHandler(AvailabilityHandler handler) override {
        std::lock_guard lock(handlerMutex_);
        availabilityHandler_ = std::move(handler);
    }

    void publish(const ServiceRecord& record) override {
        avahi_threaded_poll_lock(poll_);
        Entry& entry = services_[record.type];
        if (entry.record.name != record.name) {
            entry.currentName = record.name;
        }
        entry.record = record;
        if (entry.currentName.empty()) {
            entry.currentName = record.name;
        }
        if (client_ != nullptr && avahi_client_get_state(client_) == AVAHI_CLIENT_S_RUNNING) {
            registerEntry(entry);
        } else if (!reportedAbsent_) {
            reportedAbsent_ = true;
            tellAvailability(false);
        }
        avahi_threaded_poll_unlock(poll_);
    }

    void withdraw(const std::string& type) override {
        avahi_threaded_poll_lock(poll_);
        auto it = services_.find(type);
        if (it != services_.end()) {
            if (it->second.group != nullptr) {
                avahi_entry_group_free(it->second.group);
            }
            services_.erase(it);
        }
        avahi_threaded_poll_unlock(poll_);
    }

private:
    struct Entry {
        ServiceRecord record;
        std::string currentName;   // after collisions
        std::string announcedName; // the last rename the user was told about
        AvahiEntryGroup* group = nullptr;
    };

    void tellAvailability(bool discoverable) {
        AvailabilityHandler handler;
        {
            std::lock_guard lock(handlerMutex_);
            handler = availabilityHandler_;
        }
        if (handler) {
            handler(discoverable);
        }
    }

    void report(const std::string& description) {
        FailureHandler handler;
        {
            std::lock_guard lock(handlerMutex_);
            handler = handler_;
        }
        if (handler) {
            handler(description);
        }
    }

    // Waits for the daemon when it is not there (NO_FAIL), so the host runs without it.
    void connect() {
        int error = 0;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                   &AvahiAdvertiser::clientCallback, this, &error);
        if (client_ == nullptr) {
            report(i18n::fill(i18n::tr("cannot connect to avahi: {1}"), {avahi_strerror(error)}));
        }
    }

    static void clientCallback(AvahiClient* client, AvahiClientState state, void* self) {
        static_cast<AvahiAdvertiser*>(self)->onClientState(client, state);
    }

    void onClientState(AvahiClient* client, AvahiClientState state) {
        client_ = client; // first call comes from inside avahi_client_new
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            for (auto& [type, entry] : services_) {
                registerEntry(entry);
            }
            if (reportedAbsent_) {
                // The user was told it was gone: say it is back, or the warning would stand.
                reportedAbsent_ = false;
                if (!services_.empty()) {
                    tellAvailability(true);
                }
            }
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name changes; services are registered again once running.
            for (auto& [type, entry] : services_) {
                if (entry.group != nullptr) {
                    avahi_entry_group_reset(entry.group);
                }
            }
            break;
        case AVAHI_CLIENT_CONNECTING:
            if (!services_.empty() && !reportedAbsent_) {
                reportedAbsent_ = true;
                tellAvailability(false);
            }
            break;
        case AVAHI_CLIENT_FAILURE:
            if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
                // The daemon went away: start over with a client that waits for it.
                for (auto& [type, entry] : services_) {
                    entry.group = nullptr; // freed with the client
                }
                avahi_client_free(client);
                client_ = nullptr;
                reportedAbsent_ = true;
                tellAvailability(false);
                connect();
            } else {
                report(i18n::fill(i18n::tr("avahi failed: {1}"),
                                  {avahi_strerror(avahi_client_errno(client))}));
            }
            break;
        }
    }

    static void groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
        static_cast<AvahiAdvertiser*>(self)->onGroupState(group, state);
    }

    Entry* entryOf(AvahiEntryGroup* group) {
        for (auto& [type, entry] : services_) {
            if (entry.group == group) {
                return &entry;
            }
        }
        return nullptr;
    }

    void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state) {
        Entry* entry = entryOf(group);
        if (entry == nullptr) {
            return; // called while the group is being created
        }
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            rename(*entry);
            registerEntry(*entry);
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            report(i18n::fill(i18n::tr("publishing the service {1} failed: {2}"),
                              {entry->record.type, avahi_strerror(avahi_client_errno(
                                                       avahi_entry_group_get_client(group)))}));
        }
    }

    static void rename(Entry& entry) {
        char* next = avahi_alternative_service_name(entry.currentName.c_str());
        if (next != nullptr) {
            entry.currentName = next;
            avahi_free(next);
        }
    }

    // A tablet picks a host by its advertised name; one that picks a squatter holding ours hands
    // it a pairing attempt. The user must hear that the name had to change, and to what, so
    // they can tell which entry on the tablet is this computer.
    void announceRename(Entry& entry) {
        if (entry.currentName == entry.record.name || entry.currentName == entry.announcedName) {
            return;
        }
        entry.announcedName = entry.currentName;
        report(i18n::fill(i18n::tr("The name \"{1}\" is taken by another computer on the network: "
                                   "the tablet lists this one as \"{2}\" ({3})"),
                          {entry.record.name, entry.currentName, entry.record.type}));
    }

    void registerEntry(Entry& entry) {
        if (client_ == nullptr) {
            return;
        }
        if (entry.group == nullptr) {
            entry.group = avahi_entry_group_new(client_, &AvahiAdvertiser::groupCallback, this);
            if (entry.group == nullptr) {
                report(i18n::fill(i18n::tr("publishing the services failed: {1}"),
                                  {avahi_strerror(avahi_client_errno(client_))}));
                return;
            }
        } else {
            avahi_entry_group_reset(entry.group);
        }
        AvahiStringList* txt = nullptr;
        for (auto it = entry.record.txt.rbegin(); it != entry.record.txt.rend(); ++it) {
            txt = avahi_string_list_add_pair(txt, it->first.c_str(), it->second.c_str());
        }
        for (int attempt = 0; attempt < 20; ++attempt) {
            const int r = avahi_entry_group_add_service_strlst(
                entry.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
                entry.currentName.c_str(), entry.record.type.c_str(), nullptr, nullptr,
                entry.record.port, txt);
            if (r == AVAHI_ERR_COLLISION) {
                rename(entry); // a local service already has this name
                continue;
            }
            if (r < 0) {
                report(i18n::fill(i18n::tr("publishing the service {1} failed: {2}"),
                                  {entry.record.type, avahi_strerror(r)}));
            } else if (const int c = avahi_entry_group_commit(entry.group); c < 0) {
                report(i18n::fill(i18n::tr("publishing the service {1} failed: {2}"),
                                  {entry.record.type, avahi_strerror(c)}));
            } else {
                announceRename(entry);
            }
            break;
        }
        avahi_string_list_free(txt);
    }

    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    std::map<std::string, Entry> services_;
    bool reportedAbsent_ = false;
    std::mutex handlerMutex_;
    FailureHandler handler_;
    AvailabilityHandler availabilityHandler_;
};

} // namespace

std::shared_ptr<ServiceAdvertiser> makeAvahiAdvertiser() {
    return std::make_shared<AvahiAdvertiser>();
}

} // namespace quillon::platform
