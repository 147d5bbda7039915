#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// One language per run, by GNU gettext: every text a person reads (console, windows, tray,
// notifications, `quillon ctl`, `quillon defaults`, reasons and fixes, the diagnostics log's
// lines) is an English message id looked up in the "quillon" catalog of the language the
// environment asks for (LANGUAGE, LC_ALL, LC_MESSAGES, LANG, as gettext reads them). A C or
// POSIX locale, a language without a catalog, or a missing catalog shows the English ids.
//
// Texts sent to the tablet never pass through here: the tablet's app expects them as they are.
//
// Extraction (po/CMakeLists.txt): xgettext --keyword=tr --keyword=trn:1,2 --keyword=N_, and
// --keyword=t for the windows' own short form of tr.
namespace quillon::i18n {

inline constexpr const char* kDomain = "quillon";

// Takes the message locale (and the character type, for gettext's conversions) from the
// environment and binds the catalog directory: beside an installed binary
// (<prefix>/share/locale), else the build tree's, else the configured prefix's. The numeric
// locale stays "C", so numbers in files, logs and the wire never change with the language.
// Call once at start, before other threads run; tr() works before it too (English).
void initialise();

// Where the catalogs are looked up (after initialise()).
std::string catalogDirectory();

// The text for `msgid` in the run's language, UTF-8.
std::string tr(const char* msgid);
// The plural form for `n`.
std::string trn(const char* singular, const char* plural, unsigned long n);

// `pattern` with {1} ... {9} replaced by the arguments, so a translation may reorder them.
std::string fill(std::string_view pattern, std::initializer_list<std::string_view> arguments);

// Marks a text for the catalog where it is only translated later, through tr().
constexpr const char* N_(const char* msgid) {
    return msgid;
}

} // namespace quillon::i18n
