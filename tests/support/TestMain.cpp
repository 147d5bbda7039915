// Every test executable's main(): the message catalogs are bound as the host binds them, so a
// test marked "// test-language: zh_CN" reads the Chinese texts and any other the English ids.
#include "Platform/Locale/Translation.hpp"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    quillon::i18n::initialise();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
