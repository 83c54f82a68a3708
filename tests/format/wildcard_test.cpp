#include <gtest/gtest.h>

#include "format/wildcard.h"

namespace qev {
namespace {

TEST(Wildcard, StarAndQuestionMark) {
    EXPECT_TRUE(wildcard_match("*.bmp", "a.bmp"));
    EXPECT_TRUE(wildcard_match("*.bmp", ".bmp"));
    EXPECT_FALSE(wildcard_match("*.bmp", "a.bmpx"));
    EXPECT_TRUE(wildcard_match("*", ""));
    EXPECT_TRUE(wildcard_match("**", "x"));
    EXPECT_TRUE(wildcard_match("?", "a"));
    EXPECT_FALSE(wildcard_match("?", ""));
    EXPECT_FALSE(wildcard_match("?", "ab"));
    EXPECT_FALSE(wildcard_match("*??", "x"));
    EXPECT_FALSE(wildcard_match("", "a"));
}

TEST(Wildcard, BacktrackingAnchoringAndBytes) {
    EXPECT_TRUE(wildcard_match("a*b*c", "abc"));
    EXPECT_TRUE(wildcard_match("a*b*c", "axxbyyc"));
    EXPECT_FALSE(wildcard_match("a*b*c", "acb"));
    EXPECT_TRUE(wildcard_match("*aab", "aaab"));
    EXPECT_FALSE(wildcard_match("outpath*.bmp", "1.bmp"));
    EXPECT_TRUE(wildcard_match("*.*", "a.b"));
    EXPECT_FALSE(wildcard_match("*.*", "noext"));
    EXPECT_FALSE(wildcard_match("*.BMP", "x.bmp"));
    EXPECT_FALSE(wildcard_match("abcd", "abc"));
    EXPECT_TRUE(wildcard_match("\xe9?", "\xe9t"));
}

}  // namespace
}  // namespace qev
