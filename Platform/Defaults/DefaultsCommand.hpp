#pragma once

#include <ostream>

namespace quillon::platform {

class Defaults;

// `quillon defaults ...` on the command line. argv[0] is "defaults" (the host's main passes
// its arguments from that word on):
//   defaults read            print every key as one JSON object
//   defaults read KEY        print the value (a string as plain text, anything else as JSON)
//   defaults write KEY VALUE store VALUE, parsed as JSON when it parses, else as a string
//   defaults delete KEY      remove the key
// Returns the process exit status: 0 done, 1 missing key or failed write, 2 bad usage.
int runDefaultsCommand(int argc, char** argv, std::ostream& out, std::ostream& err);
// The same against a given store (tests, tools with a file of their own).
int runDefaultsCommand(int argc, char** argv, std::ostream& out, std::ostream& err,
                       Defaults& defaults);

} // namespace quillon::platform
