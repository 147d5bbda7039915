#include "Quillon/Host/HostNotice.hpp"

#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Pairing/SessionGatekeeper.hpp"

#include <utility>

namespace quillon {

std::string shownReason(std::string_view wireReason) {
    // The wire's texts (SessionGatekeeper, Session) and what each says in the catalog.
    static const std::pair<std::string_view, const char*> known[] = {
        {"首个消息必须是 hello", i18n::N_("the first message must be hello")},
        {"未配对设备", i18n::N_("device not paired")},
        {"凭据无效", i18n::N_("invalid credentials")},
        {SessionGatekeeper::versionMismatchReason,
         i18n::N_("protocol versions differ: update the host and the tablet's app to their "
                  "latest versions and try again")},
        {"配对窗口已关闭", i18n::N_("the pairing window is closed")},
        {"保存配对记录失败", i18n::N_("saving the pairing record failed")},
    };
    for (const auto& [wire, msgid] : known) {
        if (wire == wireReason) {
            return i18n::tr(msgid);
        }
    }
    return platform::safeText(wireReason, 200);
}

std::string noticeLine(const HostNotice& n) {
    const std::string from =
        n.channel == HostChannel::usb ? i18n::tr("USB cable") : platform::safeText(n.source, 64);
    switch (n.kind) {
    case HostNotice::Kind::wrongPIN:
        return i18n::fill(i18n::tr("Pairing refused (wrong code): {1}"), {from});
    case HostNotice::Kind::unknownDevice:
        return i18n::fill(
            i18n::tr("Connection refused (device not paired; pair it again on the iPad): {1}"),
            {from});
    case HostNotice::Kind::badToken:
        return i18n::fill(i18n::tr("Connection refused (pairing credentials do not match; "
                                   "unpair and pair again): {1}"),
                          {from});
    case HostNotice::Kind::outdatedClient:
        return i18n::fill(
            i18n::tr("Connection refused (the tablet's app is too old for this host; update "
                     "it): {1}"),
            {from});
    case HostNotice::Kind::refused:
        break;
    }
    // The reason is the text the peer was sent (the tablet's language); the code says it in
    // any language.
    return i18n::fill(i18n::tr("Connection refused: {1} (error {2}: {3})"),
                      {from, std::to_string(n.code), shownReason(n.reason)});
}

} // namespace quillon
