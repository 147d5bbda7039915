#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <string>

namespace quillon::platform {

class Defaults;

// `quillon defaults ...` on the command line. argv[0] is "defaults" (the host's main passes
// its arguments from that word on):
//   defaults read            print every key as one JSON object
//   defaults read KEY        print the value (a string as plain text, anything else as JSON)
//   defaults write KEY VALUE store VALUE as the key takes it (see settingKeys()); an unknown
//                            key or a value the key does not take is refused
//   defaults delete KEY      remove the key (the host's default applies again)
//   defaults --help          the usage and every key, on stdout
// Returns the process exit status: 0 done, 1 missing or refused key or value, or a failed
// write, 2 bad usage. Messages are in the run's language.
int runDefaultsCommand(int argc, char** argv, std::ostream& out, std::ostream& err);
// The same against a given store (tests, tools with a file of their own).
int runDefaultsCommand(int argc, char** argv, std::ostream& out, std::ostream& err,
                       Defaults& defaults);
// Checks and stores `value` under `key` as `defaults write` does (the desktop window and the
// control interface write through it); an empty value removes the key, so its default applies
// again. The refusal in the run's language (a key Quillon does not know, a value the key does
// not take, a file that cannot be written), or nothing when stored.
std::optional<std::string> writeSetting(Defaults& defaults, const std::string& key,
                                        const std::string& value);
// Every stored key in its one-line text form: a string as it is, anything else as JSON.
std::map<std::string, std::string> settingTexts(const Defaults& defaults);

// The settings keys, one per line with what each takes and its default (for --help).
std::string settingsKeysHelp();

} // namespace quillon::platform
