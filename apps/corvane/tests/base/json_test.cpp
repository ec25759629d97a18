#include "base/json.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

std::string nested(int depth, const std::string& inner = "1") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(JsonUntrusted, DepthLimit) {
    EXPECT_EQ(json_parse_untrusted(nested(256)).dump(), nested(256));
    EXPECT_TRUE(json_parse_untrusted(nested(257)).is_discarded());
    EXPECT_FALSE(json_parse_untrusted(nested(3), 3).is_discarded());
    EXPECT_TRUE(json_parse_untrusted(R"({"a":{"b":[1]}})", 2).is_discarded());
    // Brackets inside strings (escaped quotes too) are text, not nesting.
    const std::string text = R"(["[[[[\"{{{{", "\\"])";
    EXPECT_FALSE(json_parse_untrusted(text, 1).is_discarded());
    EXPECT_TRUE(json_parse_untrusted("{\"a\":", 5).is_discarded());
}

// ~200 KB of nesting, as a hostile manifest or request body would send it: a
// clean refusal, not a crash.
TEST(JsonUntrusted, DeepDocumentIsRefused) {
    const std::string text = R"({"manifest":{"version":)" + nested(100'000) + R"(},"sig":""})";
    ASSERT_GT(text.size(), 200'000u);
    EXPECT_TRUE(json_parse_untrusted(text).is_discarded());
    EXPECT_TRUE(json_parse_untrusted(text, 128).is_discarded());
}

}  // namespace
}  // namespace corvane
