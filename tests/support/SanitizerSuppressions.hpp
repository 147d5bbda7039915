#pragma once

namespace quillon::testing {

// ThreadSanitizer takes built-in suppressions from one function per program, so every fixture
// that needs one shares this list. Fixtures call this so the list is linked into their tests.
void linkSanitizerSuppressions() noexcept;

} // namespace quillon::testing
