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

namespace qev {
namespace {

TEST(Wildcard, ExclusionsMatchThePathOrAnyTailOfIt) {
    const std::vector<std::string> p = {"*.log", "build", "src/gen*", "tmp/"};
    EXPECT_TRUE(path_excluded(p, "a/b/x.log"));
    EXPECT_TRUE(path_excluded(p, "x.log"));
    EXPECT_TRUE(path_excluded(p, "./build"));
    EXPECT_TRUE(path_excluded(p, "a/build"));
    EXPECT_TRUE(path_excluded(p, "/abs/src/generated/x.c"));  // '*' takes '/' too
    EXPECT_TRUE(path_excluded(p, "a/tmp"));
    EXPECT_FALSE(path_excluded(p, "a/build.txt"));
    EXPECT_FALSE(path_excluded(p, "a/rebuild"));
    EXPECT_FALSE(path_excluded(p, "x.LOG"));  // in its case
    EXPECT_FALSE(path_excluded(p, "mysrc/gen"));
    EXPECT_FALSE(path_excluded({}, "x.log"));
    // Only with folders on does a matching folder take what is below it.
    EXPECT_FALSE(path_excluded(p, "a/build/x.o"));
    EXPECT_TRUE(path_excluded(p, "a/build/x.o", true));
    EXPECT_TRUE(path_excluded(p, "tmp/x/y", true));
    EXPECT_FALSE(path_excluded(p, "a/builds/x.o", true));
}

}  // namespace
}  // namespace qev
