#pragma once

namespace quillon {
// The application's short version, as reported to the user and in telemetry ("v").
extern const char* const kVersion;
// The telemetry endpoint built into this binary (a CMake cache variable).
extern const char* const kBuiltInTelemetryURL;
} // namespace quillon
