#include "Platform/Discovery/ServiceAdvertiser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/strlst.h>

#include <string_view>

namespace quillon::platform {

namespace {

struct BrowseState {
    AvahiSimplePoll* poll = nullptr;
    std::string namePrefix;
    std::optional<DiscoveredService> found;
    std::optional<DiscoveredService> foundV6; // kept in case no IPv4 answer comes
    int resolving = 0;
};

void resolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol protocol,
              AvahiResolverEvent event, const char* name, const char*, const char*, const char*,
              const AvahiAddress* address, std::uint16_t port, AvahiStringList* txt,
              AvahiLookupResultFlags, void* userdata) {
    auto* state = static_cast<BrowseState*>(userdata);
    --state->resolving;
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr && !state->found) {
        char text[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(text, sizeof text, address);
        DiscoveredService service{name, text, port, {}};
        for (AvahiStringList* item = txt; item != nullptr;
             item = avahi_string_list_get_next(item)) {
            char* key = nullptr;
            char* value = nullptr;
            if (avahi_string_list_get_pair(item, &key, &value, nullptr) == 0) {
                service.txt.emplace_back(key, value != nullptr ? value : "");
                avahi_free(key);
                avahi_free(value);
            }
        }
        if (protocol == AVAHI_PROTO_INET) {
            state->found = std::move(service);
            avahi_simple_poll_quit(state->poll);
        } else if (!state->foundV6) {
            state->foundV6 = std::move(service);
        }
    }
    avahi_service_resolver_free(resolver);
    if (state->resolving == 0 && state->foundV6 && !state->found) {
        state->found = state->foundV6;
        avahi_simple_poll_quit(state->poll);
    }
}

void browsed(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
             AvahiLookupResultFlags, void* userdata) {
    auto* state = static_cast<BrowseState*>(userdata);
    if (event == AVAHI_BROWSER_NEW && std::string_view(name).starts_with(state->namePrefix)) {
        AvahiClient* client = avahi_service_browser_get_client(browser);
        if (avahi_service_resolver_new(client, interface, protocol, name, type, domain,
                                       AVAHI_PROTO_UNSPEC, static_cast<AvahiLookupFlags>(0),
                                       resolved, state) != nullptr) {
            ++state->resolving;
        }
    } else if (event == AVAHI_BROWSER_FAILURE) {
        avahi_simple_poll_quit(state->poll);
    }
}

} // namespace

std::optional<DiscoveredService> discoverService(const std::string& type,
                                                 std::chrono::milliseconds timeout,
                                                 const std::string& namePrefix) {
    BrowseState state;
    state.namePrefix = namePrefix;
    state.poll = avahi_simple_poll_new();
    if (state.poll == nullptr) {
        return std::nullopt;
    }
    int error = 0;
    AvahiClient* client =
        avahi_client_new(avahi_simple_poll_get(state.poll), static_cast<AvahiClientFlags>(0),
                         nullptr, nullptr, &error);
    if (client == nullptr) {
        avahi_simple_poll_free(state.poll);
        return std::nullopt;
    }
    AvahiServiceBrowser* browser =
        avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(),
                                  nullptr, static_cast<AvahiLookupFlags>(0), browsed, &state);
    if (browser != nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!state.found && std::chrono::steady_clock::now() < deadline) {
            // Wakes up at least every 100 ms to check the deadline.
            if (avahi_simple_poll_iterate(state.poll, 100) != 0) {
                break;
            }
        }
        avahi_service_browser_free(browser);
    }
    if (!state.found && state.foundV6) {
        state.found = state.foundV6;
    }
    avahi_client_free(client);
    avahi_simple_poll_free(state.poll);
    return state.found;
}

} // namespace quillon::platform
