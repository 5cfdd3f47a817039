// The terminal's word wrapper: where lines break, what happens to blanks, and
// words wider than the line.
#include "runner/wrap.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

TEST(Wrap, BreaksBetweenWordsKeepsIndentsAndCutsOnlyWhatCannotFit)
{
    struct Case {
        const char *text;
        size_t width;
        Lines lines;
    } cases[] = {
        {"", 10, {""}},
        {"one two three", 7, {"one two", "three"}}, // a line filled to the last column
        {"one two three", 6, {"one", "two", "three"}},
        {"a  b   c ", 10, {"a b c"}},                         // runs of blanks become one, a trailing one goes
        {"   indented text", 11, {"   indented", "text"}},    // the indent stays on the first line only
        {"abcdefghij", 4, {"abcd", "efgh", "ij"}},            // a word wider than the line is cut
        {"ab abcdefghij", 4, {"ab", "abcd", "efgh", "ij"}},   // on a line of its own
        {"first\n\nthird\n", 10, {"first", "", "third", ""}}, // each '\n' starts a paragraph
        {"ab", 0, {"a", "b"}},                                // width 0 counts as 1
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.text << "\" at " << c.width);
        EXPECT_EQ(runner::WrapText(c.text, c.width), c.lines);
    }
}

} // namespace
