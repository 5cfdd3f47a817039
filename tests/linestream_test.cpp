// The line stream: text mode over raw bytes, prefix matching, the five
// operations and where they leave the source, and whole lines of any length.
#include "tests/support.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

using std::string;
using namespace std::string_literals;

// A slot for tests of the presence check, in the shape of the program's own.
const char KeyTexts[][24] = {"Key=Value" INSTALL_MARKER};
std::remove_const_t<decltype(KeyTexts)> KeySlots;
const Catalogue KeyLines = CATALOGUE(KeyTexts, KeySlots);

// Whether DropPresentEntries blanks the key slot for `input`; also checks that
// it writes nothing and puts the source back at its beginning.
bool Blanks(const string &input, CompareMode mode)
{
    const Catalogue *const list[] = {&KeyLines};
    RefreshCatalogue(KeyLines);
    string out = RunPass([&] {
        DropPresentEntries(list, std::size(list), mode);
        PutEntry("--\n");
        CopyUntilLine(NULL);
    }, input);
    EXPECT_EQ(out, "--\r\n" + TextModeCopy(input));
    return KeySlots[0][0] == '\0';
}

TEST(LineStream, PrefixMatchesTheTrimmedStartFoldingOnlyAToZ)
{
    struct Case {
        string line;
        const char *prefix;
        bool matches;
    } cases[] = {
        {"[MS_SYS]", "[MS_SYS]", true},
        {"[ms_sys]", "[MS_SYS]", true},
        {" \t [MS_SYS]   ; system devices", "[MS_SYS]", true},
        {"\f[MS_SYS]", "[MS_SYS]", false},   // only blanks and tabs are skipped
        {"\r[MS_SYS]", "[MS_SYS]", false},   // a lone CR is part of the line
        {"[MS_SYS", "[MS_SYS]", false},      // shorter than the prefix
        {"{ms_sys]", "[MS_SYS]", false},     // '[' is no capital of '{'
        {"[MS\x7fSYS]", "[MS_SYS]", false},  // nor '_' of DEL
        {"[MS_\xd3YS]", "[MS_\xf3YS]", false}, // no code page folding
        {"[MS_\0SYS]"s, "[MS_SYS]", false},
        {"PCI\\VEN_8086", "%PCI\\VEN_", false},
        {"%pci\\ven_8086", "%PCI\\VEN_", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        string input = "before\r\n" + c.line + "\r\nafter\r\n";
        bool found = false;
        string out = RunPass([&] {
            found = CopyUntilLine(c.prefix);
            PutEntry("#\n");
            CopyUntilLine(NULL);
        }, input);
        EXPECT_EQ(found, c.matches);
        EXPECT_EQ(out, c.matches ? "before\r\n#\r\n" + c.line + "\r\nafter\r\n" : "#\r\n" + input);
    }
}

TEST(LineStream, CopyingAppliesTextModeOverRawBytes)
{
    struct Case {
        string input, output;
    } cases[] = {
        {"a\nb\n", "a\r\nb\r\n"},
        {"a\r\nb\r\n", "a\r\nb\r\n"},
        {"a\rb\r\n\r", "a\rb\r\n\r"},          // lone CRs stay, also at the end
        {"a\r\r\nb", "a\r\r\nb"},              // the CR before the pair is lone
        {"a\r\nb\x1a" "c\r\nd\n", "a\r\nb"},   // Ctrl-Z ends the data
        {"\x1a" "a\n", ""},
        {"one\ntwo", "one\r\ntwo"},            // a last line without LF stays so
        {"", ""},
        {"n\0l\n\0\n"s, "n\0l\r\n\0\r\n"s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        EXPECT_EQ(RunPass([] { CopyUntilLine(NULL); }, c.input), c.output);
        EXPECT_EQ(RunPass(StripMarkedLines, c.input), c.output);
        EXPECT_EQ(TextModeCopy(c.input), c.output); // the model the property tests rely on
    }
}

TEST(LineStream, EmptySourceGivesNothingToEveryOperation)
{
    bool until = true, through = true;
    EXPECT_EQ(RunPass([&] {
        until = CopyUntilLine("[MS_SYS]");
        through = CopyThroughLine("[MS_SYS]");
        CopyUntilLine(NULL);
    }, ""), "");
    EXPECT_FALSE(until);
    EXPECT_FALSE(through);
    EXPECT_EQ(RunPass(StripMarkedLines, ""), "");
    EXPECT_FALSE(Blanks("", MARKERLESS_COMPARE));
}

TEST(LineStream, SearchesStopInFrontOfTheAnchorAndNeverMoveWhenItIsAbsent)
{
    const string input = "a\n[One]\nb\n[Two]\nc\n[Two]\nd";
    bool results[6];
    string out = RunPass([&] {
        results[0] = CopyUntilLine("[Absent]");  // writes nothing, stays at "a"
        results[1] = CopyThroughLine("[Absent]");
        results[2] = CopyThroughLine(NULL);
        results[3] = CopyUntilLine("[one]");
        results[4] = CopyUntilLine("[ONE]");     // the anchor is still unread
        PutEntry("1\n");
        results[5] = CopyThroughLine("[Two]");   // the first of two
        PutEntry("2\n");
        PutEntry(""); // a blank slot
        CopyUntilLine(NULL);
    }, input);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(results[i], i >= 3) << i;
    EXPECT_EQ(out, "a\r\n1\r\n[One]\r\nb\r\n[Two]\r\n2\r\nc\r\n[Two]\r\nd");

    // What lies behind a Ctrl-Z or behind the source's position is not found.
    EXPECT_EQ(RunPass([&] {
        results[0] = CopyUntilLine("[Two]");
        results[1] = CopyThroughLine("[One]");
        results[2] = CopyUntilLine("[One]");
        CopyUntilLine(NULL);
    }, "[One]\n\x1a[Two]\n"), "[One]\r\n");
    EXPECT_FALSE(results[0]);
    EXPECT_TRUE(results[1]);
    EXPECT_FALSE(results[2]);
}

TEST(LineStream, StripMarkedLinesDropsOnlyLinesEndingWithTheExactMarker)
{
    const string longMarked = string(600, 'x') + ";Plovex\r\n";
    const string longPlain = string(300, 'y') + "\r\n";
    struct Case {
        string input, output;
    } cases[] = {
        {";Plovex\n", ""},
        {"a;Plovex\r\nb\r\n", "b\r\n"},
        {"\t a = b ;Plovex\nkeep\n", "keep\r\n"},
        {"short\nPlovex\n\n", "short\r\nPlovex\r\n\r\n"},   // under 8 characters
        {"x\r\n;Plovex", "x\r\n;Plovex"},                  // no LF: not the marker
        {"a;PLOVEX\na;plovex\r\n", "a;PLOVEX\r\na;plovex\r\n"},
        {"a;Plovex \na;Plovex;x\n", "a;Plovex \r\na;Plovex;x\r\n"},
        {"a;Plovex\r\r\n", "a;Plovex\r\r\n"},               // ends with CR LF as read
        {"a\n" + longMarked + longPlain + "b\n", "a\r\n" + longPlain + "b\r\n"},
        {"n\0l;Plovex\nn\0l\n"s, "n\0l\r\n"s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        EXPECT_EQ(RunPass(StripMarkedLines, c.input), c.output);
    }
}

// Copies `input` with a line "#" put in front of its first [MS_SYS] line;
// true when there was one.
bool PutInFrontOfMsSys(const string &input, string &out)
{
    bool found = false;
    out = RunPass([&] {
        found = CopyUntilLine("[MS_SYS]");
        PutEntry("#\n");
        CopyUntilLine(NULL);
    }, input);
    return found;
}

TEST(LineStream, LongLinesAreWholeLinesForSearchesAndChecks)
{
    // Read in pieces of 254 characters, the second piece of each line below
    // would begin with the prefix or the slot text.
    const string pad(254, '-');
    const string head = pad + "[MS_SYS]\n" + pad + "Key=Value;Plovex\n" + string(600, '=') + "\n";
    const string input = head + "[MS_SYS] " + pad + "\n";
    string out;
    EXPECT_TRUE(PutInFrontOfMsSys(input, out));
    EXPECT_EQ(out, TextModeCopy(head) + "#\r\n" + TextModeCopy(input.substr(head.size())));
    EXPECT_FALSE(Blanks(input, MARKERLESS_COMPARE));
    EXPECT_FALSE(Blanks(input, FULL_LINE_COMPARE));
}

// Lines of x ending with CR LF, `size` bytes in all (size >= 2).
string Filler(size_t size)
{
    string text;
    while (size - text.size() > 100)
        text += string(98, 'x') + "\r\n";
    return text + string(size - text.size() - 2, 'x') + "\r\n";
}

TEST(LineStream, ReadBufferBoundariesAreInvisible)
{
    // The stream reads 64 KiB at a time: put a CR LF pair across the first
    // boundary, an anchor beyond it (the search looks ahead, then returns to
    // the first buffer) and a Ctrl-Z in a later buffer.
    const size_t boundary = 64 * 1024;
    const string marked = "m;Plovex\r\n"; // its CR is the last byte of the first buffer
    const string head = Filler(boundary - 9) + marked + Filler(3 * boundary) + "keep\r\n";
    const string input = head + "[MS_SYS]\r\ntail\n\x1a" "lost;Plovex\r\n";
    ASSERT_EQ(input.substr(boundary - 1, 2), "\r\n");

    string out;
    EXPECT_TRUE(PutInFrontOfMsSys(input, out));
    EXPECT_TRUE(out == head + "#\r\n[MS_SYS]\r\ntail\r\n");

    string stripped = RunPass(StripMarkedLines, input);
    string expected = head + "[MS_SYS]\r\ntail\r\n";
    expected.erase(boundary - 9, marked.size());
    EXPECT_TRUE(stripped == expected);
}

TEST(LineStream, PresenceCheckComparesWithOrWithoutTheMarker)
{
    struct Case {
        string line;
        bool markerless, fullLine;
    } cases[] = {
        {"Key=Value\n", true, false},             // a line the file had before any Install
        {"Key=Value;Plovex\r\n", true, true},
        {" \t key=VALUE;plovex\n", true, true},  // case and leading blanks do not matter
        {"Key=Value ; vendor's own\n", true, false},
        {"Key=Value;Plovex \n", true, false},
        {"Key=Value;Plovex", true, false},       // a last line without its LF
        {"Key= Value\n", false, false},
        {"Key=Valu\n", false, false},
        {"\fKey=Value;Plovex\n", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.line));
        EXPECT_EQ(Blanks("[Section]\n" + c.line, MARKERLESS_COMPARE), c.markerless);
        EXPECT_EQ(Blanks("[Section]\n" + c.line, FULL_LINE_COMPARE), c.fullLine);
    }
}

} // namespace
