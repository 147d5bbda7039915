#pragma once

namespace quillon {

// Passive mode: the host was launched by a test harness (either "XCTestConfigurationFilePath"
// or "XCTestSessionIdentifier" is in the environment, whatever its value). Nothing then starts
// by itself and pairings stay in memory. Asked afresh on every call.
bool isPassiveMode();

// The host runs where the user has a screen: DISPLAY or WAYLAND_DISPLAY is set and not empty.
// Asked afresh on every call.
bool hasDisplay();

} // namespace quillon
