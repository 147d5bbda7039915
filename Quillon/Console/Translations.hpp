#pragma once

#include <string>
#include <string_view>

namespace quillon::i18n {

// The texts a user reads in the console and the desktop windows are written in Chinese; that
// is what a Chinese locale shows. One catalog serves both surfaces, so a text is translated
// the same way in the terminal, the tray menu and the windows. Texts the tablet receives over
// the wire never pass through here.
enum class Language { source, english };

// From the environment, as gettext reads it: LANGUAGE (a colon-separated list, only when the
// locale is not C/POSIX), then LC_ALL, LC_MESSAGES, LANG. "zh*" → source, "en*" → english;
// C/POSIX/unset → source; any other language has no catalog of its own and reads English.
Language languageFromEnvironment();

// The language used by tr(); the environment's until set.
Language language();
void setLanguage(Language language);

// The text to show for `source` (a Chinese text of the catalog). A text without an entry is
// returned unchanged, so a missing translation never hides information.
std::string tr(std::string_view source);

// Every source text that has an English entry (tests check the catalog covers the views).
bool hasTranslation(std::string_view source);

} // namespace quillon::i18n
