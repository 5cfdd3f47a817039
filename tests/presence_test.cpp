// The presence check's index and the searches' quick pass, each against the
// plain rule it stands for, over generated texts built to hit their edges:
// DropPresentEntries must leave blank exactly the slots the plain double loop
// leaves blank, and CopyUntilLine and CopyThroughLine must stop at the line a
// plain search finds.
#include "tests/support.h"
#include "inf/presence.h"
#include "patches/patches.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using std::string;
using std::vector;
typedef vector<const Catalogue *> List;

// ---- the plain rules ---------------------------------------------------------

// The lines of a source as text mode reads them: nothing from a Ctrl-Z on, CR
// LF read as LF, a lone CR kept; a line ends at its LF and keeps it.
vector<string> TextLines(const string &raw)
{
    vector<string> lines(1);
    for (size_t i = 0; i < raw.size() && raw[i] != '\x1a'; i++) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
            continue;
        lines.back() += raw[i];
        if (raw[i] == '\n')
            lines.emplace_back();
    }
    if (lines.back().empty())
        lines.pop_back();
    return lines;
}

// The line's trimmed start begins with the first n characters of `text`,
// letters A-Z in either case.
bool PlainMatch(const string &line, const char *text, size_t n)
{
    size_t first = std::min(line.find_first_not_of(" \t"), line.size());
    if (line.size() - first < n)
        return false;
    for (size_t i = 0; i < n; i++) {
        char a = line[first + i], b = text[i];
        if (a != b && !(a >= 'A' && a <= 'Z' && b == a + 32) && !(b >= 'A' && b <= 'Z' && a == b + 32))
            return false;
    }
    return true;
}

vector<string> SlotTexts(const List &list)
{
    vector<string> texts;
    for (const Catalogue *catalogue : list)
        for (int s = 0; s < catalogue->count; s++)
            texts.push_back(catalogue->texts + s * catalogue->stride);
    return texts;
}

// The plain double loop over the texts the program carries: the texts of the
// slots it leaves blank.
vector<string> PlainBlanks(const vector<string> &lines, const List &list, CompareMode mode)
{
    vector<string> texts = SlotTexts(list);
    vector<bool> blank(texts.size());
    for (size_t k = 0; k < texts.size(); k++)
        blank[k] = texts[k].empty();
    for (const string &line : lines)
        for (size_t k = 0; k < texts.size(); k++) {
            size_t n = texts[k].size() - (mode == MARKERLESS_COMPARE ? INSTALL_MARKER_LENGTH : 0);
            if (!blank[k] && PlainMatch(line, texts[k].c_str(), n))
                blank[k] = true;
        }
    vector<string> blanked;
    for (size_t k = 0; k < texts.size(); k++)
        if (blank[k])
            blanked.push_back(texts[k]);
    return blanked;
}

// DropPresentEntries on the open source: the texts of the slots it leaves blank.
vector<string> IndexBlanks(const List &list, CompareMode mode)
{
    for (const Catalogue *catalogue : list)
        RefreshCatalogue(*catalogue);
    DropPresentEntries(list.data(), (int)list.size(), mode);
    vector<string> blanked;
    for (const Catalogue *catalogue : list)
        for (int s = 0; s < catalogue->count; s++)
            if (catalogue->slots[s * catalogue->stride] == '\0')
                blanked.push_back(catalogue->texts + s * catalogue->stride);
    return blanked;
}

// Lines [from, to) as the work stream gets them: every LF written as CR LF.
string Written(const vector<string> &lines, size_t from, size_t to)
{
    string out;
    for (size_t i = from; i < to; i++)
        for (char c : lines[i])
            out += c == '\n' ? string("\r\n") : string(1, c);
    return out;
}

// ---- generated catalogues and texts ------------------------------------------

// The lists the patches give: machine.inf at platform kinds 1 and 2 (the IRQ
// miniport lines), mshdc.inf, usb.inf.
const List PatchLists[] = {
    {&MachineDeviceLines, &MachineAddRegLines, &MachineExcludeLines, &MachineStringLines},
    {&MachineDeviceLines, &MachineAddRegLines, &MachineIrqMiniportLines, &MachineExcludeLines, &MachineStringLines},
    {&MshdcDeviceLines, &MshdcCopyFilesOnlyLines, &MshdcStringLines},
    {&UsbVersionLines, &UsbManufacturerLines, &UsbModelLines, &UsbStringLines},
};

// The patches' anchors, for lines and searches.
const char *const Anchors[] = {"[MS_SYS]", "[PCI_DRV_AddReg]", "[ControlFlags]", "[Strings]", "PCI\\VEN_",
                               "%PCI\\VEN_", "[INTEL_HDC]", "INTEL=\"Intel\"", "[VERSION]", "[INTEL.SECTION]"};

// Characters that differ from others by the case bit alone, or lie beyond ASCII.
const string LookAlikes = "[{]}@`_\x7f^~\\|%&=,.;\" \xc1\xe1\xd3\xf3";

// Catalogues made up for one text.
struct MadeList {
    vector<vector<char>> texts, slots;
    vector<Catalogue> catalogues;
    List list;
};

struct Generator {
    std::mt19937 random;
    vector<string> stems; // slot texts without their LF, with and without the marker; the anchors

    explicit Generator(unsigned seed) : random(seed)
    {
        for (const List &list : PatchLists)
            AddStems(list);
        stems.insert(stems.end(), std::begin(Anchors), std::end(Anchors));
    }

    int Below(int n) { return (int)(random() % (unsigned)n); }
    bool OneIn(int n) { return Below(n) == 0; }
    const string &Stem() { return stems[Below((int)stems.size())]; }

    void AddStems(const List &list)
    {
        for (const string &text : SlotTexts(list))
            if (text.size() > INSTALL_MARKER_LENGTH) {
                stems.push_back(text.substr(0, text.size() - 1));
                stems.push_back(text.substr(0, text.size() - INSTALL_MARKER_LENGTH));
            }
    }

    string Word(int length)
    {
        string word;
        while ((int)word.size() < length)
            word += OneIn(3) ? LookAlikes[Below((int)LookAlikes.size())] : (char)('A' + Below(58));
        return word;
    }

    // Letters in either case, and now and then a character made the other of
    // its case-bit pair (never a NUL: texts and prefixes are C strings).
    string Variant(string text)
    {
        for (char &c : text)
            if (c != ' ' && ((c | 0x20) >= 'a' && (c | 0x20) <= 'z' ? OneIn(3) : OneIn(200)))
                c ^= 0x20;
        if (!text.empty() && OneIn(5)) {
            char &c = text[Below((int)text.size())];
            c = c == ' ' ? c : (char)(c ^ 0x20);
        }
        return text;
    }

    // Up to 16 catalogues and 64 slots, a third of the time exactly so; each
    // has a start its slots share (in other letter case), long or none, and
    // slots 0 to 4 characters past it or up to 255 characters long; now and
    // then a blank slot, or one of the marker alone.
    void MakeList(MadeList &made)
    {
        bool atLimits = OneIn(3);
        int count = atLimits ? MOST_CATALOGUES : 1 + Below(MOST_CATALOGUES);
        vector<int> sizes(count, 1);
        for (int spare = (atLimits ? MOST_SLOTS : Below(MOST_SLOTS + 1)) - count; spare > 0; spare--)
            sizes[Below(count)]++;
        for (int c = 0; c < count; c++) {
            static const int startLengths[] = {0, 1, 30, 240};
            string start = OneIn(2) ? Stem().substr(0, Below(40)) : Word(Below(startLengths[Below(4)] + 1));
            vector<string> texts;
            size_t width = 1;
            for (int s = 0; s < sizes[c]; s++) {
                int room = MOST_SLOT_TEXT - INSTALL_MARKER_LENGTH - (int)start.size();
                string text = Variant(start) + Word(OneIn(2) ? std::min(Below(5), room) : Below(room + 1));
                texts.push_back(OneIn(40) ? "" : OneIn(40) ? INSTALL_MARKER : text + INSTALL_MARKER);
                width = std::max(width, texts.back().size() + 1);
            }
            made.texts.emplace_back(texts.size() * width, '\0');
            made.slots.emplace_back(texts.size() * width, '\0');
            for (size_t s = 0; s < texts.size(); s++)
                texts[s].copy(made.texts.back().data() + s * width, texts[s].size());
            made.catalogues.push_back({made.texts.back().data(), made.slots.back().data(), (int)width, sizes[c]});
        }
        for (const Catalogue &catalogue : made.catalogues)
            made.list.push_back(&catalogue);
        AddStems(made.list);
    }

    // A line: blanks, a CR or a form feed; a stem in other letter case, cut
    // short or carried on, also past the 256 characters a line keeps of its
    // start; or a word, or nothing; and one of the line ends.
    string Line()
    {
        string line = OneIn(4) ? string(" \t \t\t", 1 + Below(5)) : "";
        if (OneIn(20))
            line += OneIn(2) ? "\r" : "\f";
        if (OneIn(30))
            line += " ";
        if (OneIn(8))
            return line + (OneIn(2) ? "\r\n" : "\n");
        string body = OneIn(6) ? Word(Below(20)) : Variant(Stem());
        if (OneIn(4))
            body.resize(OneIn(2) ? Below((int)body.size() + 1) : body.size() - std::min(body.size(), (size_t)Below(4)));
        if (OneIn(4))
            body += OneIn(2) ? Word(1 + Below(4)) : Variant(";Plovex");
        if (OneIn(10))
            body += Word((OneIn(2) ? 250 + Below(10) : 256 + Below(500)) - (int)std::min(body.size(), (size_t)250));
        if (OneIn(40))
            body.insert(Below((int)body.size() + 1), 1, OneIn(2) ? '\r' : '\0');
        static const char *const ends[] = {"\r\n", "\r\n", "\r\n", "\n", "\n", "\r\r\n"};
        return line + body + ends[Below(6)];
    }

    // Lines of x, `size` bytes (at least 2) in all.
    static string Filler(size_t size)
    {
        string text;
        while (size - text.size() > 101)
            text += string(98, 'x') + "\r\n";
        return text + string(size - text.size() - 2, 'x') + "\r\n";
    }

    // A text; a large one has a line across the first one or two 64 KiB read
    // buffer boundaries, with 0 to all of its bytes before the boundary.
    string Text(bool large)
    {
        string text;
        for (int n = Below(40); n > 0; n--)
            text += Line();
        for (int k = 1, boundaries = large ? 1 + Below(2) : 0; k <= boundaries; k++) {
            string across = Line();
            text += Filler(k * 64 * 1024 - Below((int)across.size() + 1) - text.size()) + across;
            for (int n = Below(10); n > 0; n--)
                text += Line();
        }
        if (OneIn(3)) // a last line without LF
            text += Variant(Stem());
        if (OneIn(15))
            text.insert(Below((int)text.size() + 1), 1, '\x1a');
        return text;
    }

    // What a search is given: the start of a stem or of a line of the text (a
    // line of blanks and CR LF gives "\n"), in any letter case.
    string Prefix(const vector<string> &lines)
    {
        string prefix = Stem();
        if (OneIn(2) && !lines.empty()) {
            const string &line = lines[Below((int)lines.size())];
            prefix = line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
        }
        if (OneIn(2))
            prefix.resize(Below((int)prefix.size() + 1));
        return Variant(prefix.substr(0, std::min(prefix.find('\0'), (size_t)MOST_SLOT_TEXT)));
    }
};

TEST(PresenceIndex, AgreesWithThePlainLoopAndSearchesWithAPlainSearch)
{
    const int texts = 1200;
    long blanked = 0, kept = 0, found = 0, searches = 0;
    for (unsigned seed = 1; seed <= texts; seed++) {
        Generator generator(seed);
        MadeList made;
        generator.MakeList(made);
        vector<List> lists(std::begin(PatchLists), std::end(PatchLists));
        lists.push_back(made.list);
        const string text = generator.Text(seed % 8 == 0);
        const vector<string> lines = TextLines(text);
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << text.size() << " bytes");

        // Searches, each from where the one before left the source, then the rest.
        struct Search {
            bool through;
            string prefix;
            bool found;
        };
        vector<Search> sequence;
        string expected;
        size_t at = 0;
        for (int n = 1 + generator.Below(5); n > 0; n--) {
            Search search = {generator.OneIn(2), generator.Prefix(lines), false};
            size_t line = at;
            while (line < lines.size() && !PlainMatch(lines[line], search.prefix.c_str(), search.prefix.size()))
                line++;
            search.found = line < lines.size();
            size_t to = search.found ? line + search.through : at;
            expected += Written(lines, at, to);
            at = to;
            sequence.push_back(search);
        }
        expected += Written(lines, at, lines.size());

        string written = RunPass([&] {
            for (const List &list : lists)
                for (CompareMode mode : {MARKERLESS_COMPARE, FULL_LINE_COMPARE}) {
                    SCOPED_TRACE(testing::Message() << "list " << (&list - lists.data()) << ", mode " << mode);
                    vector<string> plain = PlainBlanks(lines, list, mode);
                    EXPECT_EQ(IndexBlanks(list, mode), plain);
                    blanked += (long)plain.size();
                    kept += (long)(SlotTexts(list).size() - plain.size());
                }
            for (const Search &search : sequence) {
                SCOPED_TRACE(testing::PrintToString(search.prefix));
                bool result = search.through ? CopyThroughLine(search.prefix.c_str())
                                             : CopyUntilLine(search.prefix.c_str());
                EXPECT_EQ(result, search.found);
                found += result;
                searches++;
            }
            CopyUntilLine(NULL);
        }, text);
        EXPECT_TRUE(written == expected) << "the searches stopped at other lines";
        if (HasFailure())
            return;
    }
    // The texts must hold many of the slots' lines and many more lines that
    // nearly hold them, and give the searches lines to find and to miss.
    fprintf(stderr, "blanked %ld kept %ld found %ld searches %ld\n", blanked, kept, found, searches);
    EXPECT_GT(blanked, texts * 15);
    EXPECT_GT(kept, texts * 200);
    EXPECT_GT(found, searches / 5);
    EXPECT_LT(found, searches * 4 / 5);
}

} // namespace
