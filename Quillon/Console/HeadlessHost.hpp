#pragma once

namespace quillon::platform {
class Defaults;
}

namespace quillon {

// The host without a graphical shell (`quillon --headless`): the terminal console as the front
// end over the host (runHost()), reading one command per line of stdin and printing every
// change, until `quit`, SIGINT or SIGTERM. Returns the process's exit status.
int runHeadlessHost(platform::Defaults& defaults);

} // namespace quillon
