// The path-template filling of the native methods: placeholders are filled
// left to right, values go in verbatim and are never expanded again.
#include "bridge/native_methods.h"

#include <gtest/gtest.h>

namespace {

std::string fill(const char* templ, std::initializer_list<const char*> values)
{
    return fill_template(templ, values.begin(), values.size());
}

TEST(FillTemplate, FillsPlaceholdersLeftToRight)
{
    EXPECT_EQ(fill("/login_code?mr_uuid={}&code={}", {"u-1", "c-2"}), "/login_code?mr_uuid=u-1&code=c-2");
    EXPECT_EQ(fill("{}{}{}", {"a", "b", "c"}), "abc");
    EXPECT_EQ(fill("/member/update_cosmetic", {}), "/member/update_cosmetic");
    EXPECT_EQ(fill("", {"x"}), "");
}

TEST(FillTemplate, ValuesAreInsertedVerbatimAndNeverReexpanded)
{
    EXPECT_EQ(fill("a={}&b={}", {"{}", "x"}), "a={}&b=x");
    EXPECT_EQ(fill("a={}&b={}", {"%s%d%n", "%%"}), "a=%s%d%n&b=%%");
    EXPECT_EQ(fill("q={}", {"x&y=z"}), "q=x&y=z");
    EXPECT_EQ(fill("q={}", {"\xc3\xa9\xe2\x82\xac"}), "q=\xc3\xa9\xe2\x82\xac");
    EXPECT_EQ(fill("{}", {"{"}), "{");
}

TEST(FillTemplate, EmptyAndNullValuesLeaveTheKeyEmpty)
{
    EXPECT_EQ(fill("/login_code?mr_uuid={}&code={}", {"", "C"}), "/login_code?mr_uuid=&code=C");
    EXPECT_EQ(fill("a={}b", {nullptr}), "a=b");
}

TEST(FillTemplate, MismatchedCountsAndBraceFragments)
{
    // More placeholders than values: the rest stay as written.
    EXPECT_EQ(fill("{}-{}-{}", {"1"}), "1-{}-{}");
    // More values than placeholders: the extra ones are ignored.
    EXPECT_EQ(fill("x={}", {"1", "2"}), "x=1");
    // Only an adjacent "{}" is a placeholder.
    EXPECT_EQ(fill("{ }{{}}}{", {"v"}), "{ }{v}}{");
    EXPECT_EQ(fill("trailing {", {"v"}), "trailing {");
    EXPECT_EQ(fill_template(nullptr, nullptr, 3), "");
    EXPECT_EQ(fill_template("k={}", nullptr, 3), "k={}");
}

} // namespace
