#include "Platform/Text/NameCollator.hpp"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <cstdint>
#include <string>

namespace quillon::platform {

struct NameCollator::Impl {
    // Secondary strength (case ignored), then tertiary (case decides); either may be missing
    // when ICU has no data, and the bytes decide what is left.
    UCollator* primary = nullptr;
    UCollator* tertiary = nullptr;
};

NameCollator::NameCollator() : impl_(std::make_unique<Impl>()) {
    std::string locale = uloc_getDefault();
    if (locale.empty() || locale.rfind("en_US_POSIX", 0) == 0 || locale == "c" ||
        locale == "posix") {
        locale = "";
    }
    UErrorCode status = U_ZERO_ERROR;
    UCollator* primary = ucol_open(locale.c_str(), &status);
    if (U_FAILURE(status)) {
        ucol_close(primary);
        status = U_ZERO_ERROR;
        primary = ucol_open("", &status);
    }
    if (U_FAILURE(status)) {
        ucol_close(primary);
        return;
    }
    impl_->primary = primary;
    ucol_setAttribute(primary, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    ucol_setAttribute(primary, UCOL_STRENGTH, UCOL_SECONDARY, &status);
    status = U_ZERO_ERROR;
    UCollator* tertiary = ucol_clone(primary, &status);
    if (U_FAILURE(status)) {
        return;
    }
    impl_->tertiary = tertiary;
    ucol_setAttribute(tertiary, UCOL_STRENGTH, UCOL_TERTIARY, &status);
}

NameCollator::~NameCollator() {
    ucol_close(impl_->primary);
    ucol_close(impl_->tertiary);
}

int NameCollator::compare(std::string_view a, std::string_view b) const {
    for (UCollator* c : {impl_->primary, impl_->tertiary}) {
        if (c == nullptr) {
            continue;
        }
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult r =
            ucol_strcollUTF8(c, a.data(), static_cast<int32_t>(a.size()), b.data(),
                             static_cast<int32_t>(b.size()), &status);
        if (U_SUCCESS(status) && r != UCOL_EQUAL) {
            return r == UCOL_LESS ? -1 : 1;
        }
    }
    const int bytes = a.compare(b);
    return bytes < 0 ? -1 : (bytes > 0 ? 1 : 0);
}

} // namespace quillon::platform
