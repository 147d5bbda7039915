// test-labels: wayland
#include "Platform/Input/SwayIpc.hpp"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using platform::SwayWorkspace;

TEST(SwayIpc, WorkspaceRepliesOfAnyShapeReadWithoutThrowing) {
    using List = std::vector<SwayWorkspace>;
    struct Case {
        const char* reply;
        std::optional<List> expected;
    };
    const Case cases[] = {
        {R"([{"num":1,"name":"1","focused":false},{"num":3,"name":"3: web","focused":true}])",
         List{{"1", 1, false}, {"3: web", 3, true}}},
        {R"([{"num":"1","name":7,"focused":"yes"}])", List{{"", -1, false}}},
        {R"([{"num":-1,"name":"mail"},{"num":99999999999}])", List{{"mail", -1}, {"", -1}}},
        {R"([1, "x", null, {"focused":true}])", List{{"", -1, true}}},
        {R"({"num":1})", std::nullopt},
        {R"([{"num":1)", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::parseSwayWorkspaces(c.reply), c.expected) << c.reply;
    }
}

TEST(SwayIpc, ACommandSucceedsOnlyWhenEveryResultSays) {
    EXPECT_TRUE(platform::swayCommandSucceeded(R"([{"success":true}])"));
    EXPECT_TRUE(platform::swayCommandSucceeded(R"([{"success":true},{"success":true}])"));
    EXPECT_FALSE(platform::swayCommandSucceeded(R"([{"success":true},{"success":false}])"));
    EXPECT_FALSE(platform::swayCommandSucceeded(R"([{"success":"true"}])"));
    EXPECT_FALSE(platform::swayCommandSucceeded(R"([])"));
    EXPECT_FALSE(platform::swayCommandSucceeded(R"({"success":true})"));
    EXPECT_FALSE(platform::swayCommandSucceeded("garbage"));
}

} // namespace
} // namespace quillon
