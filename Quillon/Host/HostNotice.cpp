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

} // namespace quillon
