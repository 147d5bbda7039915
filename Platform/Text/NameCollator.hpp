#pragma once

#include <memory>
#include <string_view>

namespace quillon::platform {

// Orders names for people the way a file browser does, in the user's locale: case-insensitive,
// numbers by value ("App 2" before "App 10"), accents after plain letters. Names equal that way
// are ordered by case, then by their bytes, so the order is total: compare() is zero only for
// byte-identical names. The POSIX locale's collation orders by ASCII (upper case before all
// lower case), which is not the order a file browser shows; the root collation is used there.
// Built once per sort (opening a collator costs more than many comparisons); compare() is const
// and may be called from one thread at a time.
class NameCollator {
public:
    NameCollator();
    ~NameCollator();
    NameCollator(const NameCollator&) = delete;
    NameCollator& operator=(const NameCollator&) = delete;

    // <0, 0, >0, for UTF-8 names.
    int compare(std::string_view a, std::string_view b) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
