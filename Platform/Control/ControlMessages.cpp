#include "Platform/Control/ControlMessages.hpp"

#include "Platform/Locale/Translation.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace quillon::platform::controlwire {

namespace {

constexpr std::string_view kDeleted = " (deleted)";

std::string withoutDeleted(std::string path) {
    if (path.size() > kDeleted.size() &&
        path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        path.resize(path.size() - kDeleted.size());
    }
    return path;
}

// One {sv} entry into `s`; unknown keys and types are skipped.
int readStatusEntry(sd_bus_message* reply, ControlState& s) {
    const char* key = nullptr;
    int r = sd_bus_message_read(reply, "s", &key);
    if (r < 0) {
        return r;
    }
    char type = 0;
    const char* contents = nullptr;
    r = sd_bus_message_peek_type(reply, &type, &contents);
    if (r < 0) {
        return r;
    }
    const std::string k = key != nullptr ? key : "";
    const std::string signature = contents != nullptr ? contents : "";
    const auto readText = [&](std::string& store) {
        const char* value = nullptr;
        const int q = sd_bus_message_read(reply, "v", "s", &value);
        if (q >= 0) {
            store = value != nullptr ? value : "";
        }
        return q;
    };
    const auto readOptionalText = [&](std::optional<std::string>& store) {
        std::string value;
        const int q = readText(value);
        if (q >= 0) {
            store = std::move(value);
        }
        return q;
    };
    const auto readFlag = [&](bool& store) {
        int value = 0;
        const int q = sd_bus_message_read(reply, "v", "b", &value);
        store = value != 0;
        return q;
    };
    const auto readPort = [&](std::optional<std::uint16_t>& store) {
        std::uint16_t value = 0;
        const int q = sd_bus_message_read(reply, "v", "q", &value);
        store = value;
        return q;
    };
    if (signature == "s") {
        if (k == "pin") {
            return readOptionalText(s.pin);
        }
        if (k == "lastError") {
            return readOptionalText(s.lastError);
        }
        if (k == "storeProblem") {
            return readOptionalText(s.storeProblem);
        }
        if (k == "notice") {
            return readOptionalText(s.notice);
        }
        if (k == "channel") {
            return readText(s.channel);
        }
        if (k == "reason") {
            return readText(s.permissionReason);
        }
        if (k == "serviceName") {
            return readText(s.serviceName);
        }
    }
    if (signature == "b") {
        for (const auto& [name, field] : {std::pair<const char*, bool*>{"locked", &s.locked},
                                          {"permitted", &s.permitted},
                                          {"telemetry", &s.telemetry},
                                          {"pairingExpired", &s.pairingExpired},
                                          {"discoverable", &s.discoverable},
                                          {"offersKdeGrant", &s.offersKdeGrant}}) {
            if (k == name) {
                return readFlag(*field);
            }
        }
    }
    if (signature == "q" && (k == "port" || k == "pairingPort")) {
        return readPort(k == "port" ? s.port : s.pairingPort);
    }
    if (signature == "i" && k == "pinSecondsLeft") {
        int value = 0;
        const int q = sd_bus_message_read(reply, "v", "i", &value);
        s.pinSecondsLeft = value;
        return q;
    }
    if (signature == "d" && k == "pinExpiresAt") {
        double value = 0;
        const int q = sd_bus_message_read(reply, "v", "d", &value);
        s.pinExpiresAt = value;
        return q;
    }
    if (signature == "(sssqs)" && k == "noticeDetail") {
        const char *kind = nullptr, *channel = nullptr, *source = nullptr, *reason = nullptr;
        std::uint16_t code = 0;
        const int q =
            sd_bus_message_read(reply, "v", "(sssqs)", &kind, &channel, &source, &code, &reason);
        if (q >= 0) {
            s.noticeDetail = ControlNotice{
                kind != nullptr ? kind : "", channel != nullptr ? channel : "",
                source != nullptr ? source : "", code, reason != nullptr ? reason : ""};
        }
        return q;
    }
    if (signature == "as" && k == "guide") {
        r = sd_bus_message_enter_container(reply, 'v', "as");
        if (r >= 0) {
            r = sd_bus_message_enter_container(reply, 'a', "s");
        }
        while (r > 0) {
            const char* step = nullptr;
            r = sd_bus_message_read(reply, "s", &step);
            if (r > 0) {
                s.guide.emplace_back(step != nullptr ? step : "");
            }
        }
        if (r >= 0) {
            r = sd_bus_message_exit_container(reply);
        }
        if (r >= 0) {
            r = sd_bus_message_exit_container(reply);
        }
        return r;
    }
    return sd_bus_message_skip(reply, "v");
}

} // namespace

int appendStatus(sd_bus_message* reply, const ControlState& s) {
    int r = sd_bus_message_open_container(reply, 'a', "{sv}");
    const auto text = [&](const char* key, const std::optional<std::string>& value) {
        if (r >= 0 && value) {
            r = sd_bus_message_append(reply, "{sv}", key, "s", value->c_str());
        }
    };
    const auto flag = [&](const char* key, bool value) {
        if (r >= 0) {
            r = sd_bus_message_append(reply, "{sv}", key, "b", value ? 1 : 0);
        }
    };
    const auto port = [&](const char* key, const std::optional<std::uint16_t>& value) {
        if (r >= 0 && value) {
            r = sd_bus_message_append(reply, "{sv}", key, "q", *value);
        }
    };
    text("pin", s.pin);
    flag("locked", s.locked);
    text("lastError", s.lastError);
    text("channel", s.channel.empty() ? std::nullopt : std::optional(s.channel));
    flag("permitted", s.permitted);
    text("reason", s.permissionReason.empty() ? std::nullopt : std::optional(s.permissionReason));
    flag("telemetry", s.telemetry);
    text("serviceName", s.serviceName);
    port("port", s.port);
    port("pairingPort", s.pairingPort);
    if (r >= 0 && s.pinSecondsLeft) {
        r = sd_bus_message_append(reply, "{sv}", "pinSecondsLeft", "i", *s.pinSecondsLeft);
    }
    if (r >= 0 && s.pinExpiresAt) {
        r = sd_bus_message_append(reply, "{sv}", "pinExpiresAt", "d", *s.pinExpiresAt);
    }
    flag("pairingExpired", s.pairingExpired);
    text("storeProblem", s.storeProblem);
    text("notice", s.notice);
    if (r >= 0 && s.noticeDetail) {
        const auto& n = *s.noticeDetail;
        r = sd_bus_message_append(reply, "{sv}", "noticeDetail", "(sssqs)", n.kind.c_str(),
                                  n.channel.c_str(), n.source.c_str(), n.code, n.reason.c_str());
    }
    flag("discoverable", s.discoverable);
    flag("offersKdeGrant", s.offersKdeGrant);
    if (r >= 0) {
        r = sd_bus_message_open_container(reply, 'e', "sv");
    }
    if (r >= 0) {
        r = sd_bus_message_append(reply, "s", "guide");
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(reply, 'v', "as");
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(reply, 'a', "s");
    }
    for (std::size_t i = 0; r >= 0 && i < s.guide.size(); ++i) {
        r = sd_bus_message_append(reply, "s", s.guide[i].c_str());
    }
    for (int level = 0; r >= 0 && level < 4; ++level) {
        r = sd_bus_message_close_container(reply); // as, v, {sv}, a{sv}
    }
    return r;
}

int readStatus(sd_bus_message* reply, ControlState& s) {
    int r = sd_bus_message_enter_container(reply, 'a', "{sv}");
    while (r > 0) {
        r = sd_bus_message_enter_container(reply, 'e', "sv");
        if (r > 0) {
            r = readStatusEntry(reply, s);
            if (r >= 0) {
                r = sd_bus_message_exit_container(reply);
                if (r >= 0) {
                    r = 1;
                }
            }
        }
    }
    return r;
}

int appendDevices(sd_bus_message* reply, const std::vector<ControlDevice>& devices) {
    int r = sd_bus_message_open_container(reply, 'a', "(ssb)");
    for (std::size_t i = 0; r >= 0 && i < devices.size(); ++i) {
        r = sd_bus_message_append(reply, "(ssb)", devices[i].id.c_str(), devices[i].name.c_str(),
                                  devices[i].connected ? 1 : 0);
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(reply);
    }
    return r;
}

int readDevices(sd_bus_message* reply, std::vector<ControlDevice>& out) {
    int r = sd_bus_message_enter_container(reply, 'a', "(ssb)");
    while (r > 0) {
        const char *id = nullptr, *name = nullptr;
        int connected = 0;
        r = sd_bus_message_read(reply, "(ssb)", &id, &name, &connected);
        if (r > 0) {
            out.push_back({id != nullptr ? id : "", name != nullptr ? name : "", connected != 0});
        }
    }
    return r;
}

int appendSettings(sd_bus_message* reply, const std::map<std::string, std::string>& settings) {
    int r = sd_bus_message_open_container(reply, 'a', "{ss}");
    for (auto it = settings.begin(); r >= 0 && it != settings.end(); ++it) {
        r = sd_bus_message_append(reply, "{ss}", it->first.c_str(), it->second.c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(reply);
    }
    return r;
}

int readSettings(sd_bus_message* reply, std::map<std::string, std::string>& out) {
    int r = sd_bus_message_enter_container(reply, 'a', "{ss}");
    while (r > 0) {
        const char *key = nullptr, *value = nullptr;
        r = sd_bus_message_read(reply, "{ss}", &key, &value);
        if (r > 0 && key != nullptr) {
            out[key] = value != nullptr ? value : "";
        }
    }
    return r;
}

ControlError callError(const sd_bus_error* error, int r) {
    const std::string name = error != nullptr && error->name != nullptr ? error->name : "";
    const std::string message =
        error != nullptr && error->message != nullptr ? error->message : std::strerror(-r);
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner") {
        return ControlError("not-running", i18n::tr("no Quillon host is running in this session"));
    }
    return ControlError(name.empty() ? "failed" : name, message);
}

bool sameExecutable(const std::string& ours, const std::string& theirs) {
    if (ours.empty() || theirs.empty()) {
        return false;
    }
    return withoutDeleted(ours) == withoutDeleted(theirs);
}

std::string ownExecutable() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

} // namespace quillon::platform::controlwire
