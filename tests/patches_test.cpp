// The three patches over Windows 95 shaped INF texts: how many lines land
// where, which lines count as present, what the order of sections does, and
// that every command starts from the full catalogues.
#include "tests/fixtures/inf_texts.h"
#include "patches/patches.h"
#include "platform/host/files.h"
#include "platform/host/system.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using std::string;
using std::vector;
using fixtures::Inf;

string Replaced(string text, const string &from, const string &to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, string::npos) << from;
    return at == string::npos ? text : text.replace(at, from.size(), to);
}

// The sizes of the marked blocks, and the existing line that follows (or,
// for usb.inf, precedes) each.
vector<std::pair<int, string>> After(const string &text)
{
    vector<std::pair<int, string>> blocks;
    for (const MarkedBlock &block : MarkedBlocks(text))
        blocks.push_back({block.count, block.after});
    return blocks;
}
vector<std::pair<int, string>> Before(const string &text)
{
    vector<std::pair<int, string>> blocks;
    for (const MarkedBlock &block : MarkedBlocks(text))
        blocks.push_back({block.count, block.before});
    return blocks;
}

const string DeviceAnchor = "%PCI\\VEN_8086&DEV_1250.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_1250";
const string AddRegAnchor = "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI,8086122E,1,00,00,00,00";
const string IrqAnchor = "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI\\IRQMiniports\\8086122E,Name,,\"Intel 82371FB\"";
const string ExcludeAnchor = "ExcludeFromSelect=PCI\\VEN_8086&DEV_1250";
const string StringAnchor = "PCI\\VEN_8086&DEV_1250.DeviceDesc=\"Intel 82439HX Pentium(r) Processor to PCI bridge\"";

TEST(MachinePatch, SectionsOutOfOrderOrMissingSkipOnlyTheirGroup)
{
    // [MS_SYS] without device lines: the next one after it, in another section.
    fixtures::Sections bare = fixtures::MachineSections;
    bare["MS_SYS"] = "[MS_SYS]\n%*PNP0A03.DeviceDesc%=PCI_DRV,*PNP0A03\n\n";
    bare["NO_DRV"] = "[NO_DRV]\n%PCI\\VEN_10B9&DEV_1533.DeviceDesc%=ISA_DRV,PCI\\VEN_10B9&DEV_1533\n";
    struct Case {
        const char *name;
        string input;
        vector<std::pair<int, string>> blocks;
    } cases[] = {
        {"Strings before ControlFlags",
         Inf(fixtures::MachineSections, {"Version", "Manufacturer", "MS_SYS", "NO_DRV", "PCI_DRV_AddReg", "Strings",
                                         "ControlFlags"}),
         {{17, DeviceAnchor}, {1, AddRegAnchor}, {17, ExcludeAnchor}}},
        {"no PCI_DRV_AddReg header", Replaced(fixtures::MachineInf(), "[PCI_DRV_AddReg]", "[PCI_DRV_Reg]"),
         {{17, DeviceAnchor}, {17, ExcludeAnchor}, {17, StringAnchor}}},
        {"no MS_SYS", Inf(fixtures::MachineSections, {"Version", "PCI_DRV_AddReg", "ControlFlags", "Strings"}),
         {{1, AddRegAnchor}, {17, ExcludeAnchor}, {17, StringAnchor}}},
        {"no device line in MS_SYS", Inf(bare, fixtures::MachineOrder),
         {{17, "%PCI\\VEN_10B9&DEV_1533.DeviceDesc%=ISA_DRV,PCI\\VEN_10B9&DEV_1533"}, {1, AddRegAnchor},
          {17, ExcludeAnchor}, {17, StringAnchor}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(After(RunPass(PatchMachineInf, c.input, host::Os::Win95)), c.blocks);
    }
}

TEST(MachinePatch, LinesPresentAnywhereBlankTheirSlots)
{
    // 16 of the 17 device lines already in [MS_SYS], one exclusion in the wrong
    // section, one description in other case and indented with a comment, one
    // that differs inside the text.
    string devices;
    for (int slot = 0; slot < MachineDeviceLines.count; slot++)
        if (slot != 9)
            devices += Unmarked(MachineDeviceLines, slot) + "\r\n";
    string input = Replaced(fixtures::MachineInf(), "[MS_SYS]\r\n", "[MS_SYS]\r\n" + devices);
    input = Replaced(input, "MS=\"Microsoft\"\r\n", "MS=\"Microsoft\"\r\n" + Unmarked(MachineExcludeLines, 4) + "\r\n");
    string described = Unmarked(MachineStringLines, 0), differing = Unmarked(MachineStringLines, 1);
    for (char &c : described)
        c = (char)tolower(c);
    differing.insert(differing.find('=') + 1, " ");
    input = Replaced(input, "[Strings]\r\n", "[Strings]\r\n\t " + described + " ; old\r\n" + differing + "\r\n");

    string out = RunPass(PatchMachineInf, input, host::Os::Win95);
    vector<std::pair<int, string>> blocks = After(out);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0], std::make_pair(1, Unmarked(MachineDeviceLines, 0)));
    EXPECT_NE(out.find("\r\n" + Unmarked(MachineDeviceLines, 9) + ";Plovex\r\n" + Unmarked(MachineDeviceLines, 0)),
              string::npos);
    EXPECT_EQ(blocks[2].first, 16);
    EXPECT_EQ(out.find(Unmarked(MachineExcludeLines, 4) + ";Plovex"), string::npos);
    EXPECT_EQ(blocks[3].first, 16);
    EXPECT_EQ(out.find(Unmarked(MachineStringLines, 0) + ";Plovex"), string::npos);
    EXPECT_NE(out.find(Unmarked(MachineStringLines, 1) + ";Plovex"), string::npos);
}

TEST(MshdcPatch, WritesOneLineAtEachOfItsFiveAnchors)
{
    const string intel = "%PCI\\VEN_8086&DEV_1230.DeviceDesc%=DUAL_GOOD_IDE, PCI\\VEN_8086&DEV_1230";
    const string via = "%PCI\\VEN_1106&DEV_0561.DeviceDesc%=DUAL_GOOD_IDE, PCI\\VEN_1106&DEV_0561";
    const string copyFiles = "CopyFilesOnly=PCI\\VEN_8086&DEV_1230";
    const string intelText = "PCI\\VEN_8086&DEV_1230.DeviceDesc=\"Intel 82371 PCI Bus Master IDE Controller\"";
    const string viaText = "PCI\\VEN_1106&DEV_0561.DeviceDesc=\"VIA Tech VT82C561 PCI IDE Controller\"";
    const string marked = Unmarked(MshdcDeviceLines, 0) + ";Plovex";
    string other = marked;
    for (char &c : other)
        c = (char)toupper(c);
    struct Case {
        const char *name;
        string input;
        vector<std::pair<int, string>> blocks;
    } cases[] = {
        {"all anchors", fixtures::MshdcInf(), {{1, intel}, {1, via}, {2, copyFiles}, {1, intelText}, {1, viaText}}},
        {"VIATECH_HDC before INTEL_HDC",
         Inf(fixtures::MshdcSections, {"Version", "VIATECH_HDC", "INTEL_HDC", "ControlFlags", "Strings"}),
         {{1, intel}, {2, copyFiles}, {1, intelText}, {1, viaText}}},
        {"no VIA name", Replaced(fixtures::MshdcInf(), "VIATECH=\"VIA Tech\"", "VIATECH = \"VIA Tech\""),
         {{1, intel}, {1, via}, {2, copyFiles}, {1, intelText}}},
        // Present without the marker: the device is listed twice.
        {"unmarked line", Replaced(fixtures::MshdcInf(), intel, Unmarked(MshdcDeviceLines, 0) + "\r\n" + intel),
         {{1, Unmarked(MshdcDeviceLines, 0)}, {1, via}, {2, copyFiles}, {1, intelText}, {1, viaText}}},
        {"marked line with more after it", Replaced(fixtures::MshdcInf(), intel, marked + " ; again\r\n" + intel),
         {{1, marked + " ; again"}, {1, via}, {2, copyFiles}, {1, intelText}, {1, viaText}}},
        {"marked line in other case and indented", Replaced(fixtures::MshdcInf(), intel, " \t" + other + "\r\n" + intel),
         {{1, via}, {2, copyFiles}, {1, intelText}, {1, viaText}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        string out = RunPass(PatchMshdcInf, c.input);
        EXPECT_EQ(After(out), c.blocks);
        EXPECT_EQ(Lines(out).size(), Lines(c.input).size() + CountMarked(out));
    }
}

// An existing but empty usb.inf is patched, not created, into the 21 lines
// of a created one.
TEST(UsbPatch, AnEmptyUsbInfIsPatchedIntoTheWholeFile)
{
    EXPECT_EQ(RunPass(PatchUsbInf, ""), ReadWholeFile(PLOVEX_GOLDEN "/install/WINDOWS/INF/usb.inf"));
}

TEST(UsbPatch, WritesEachGroupAfterItsHeaderOrAsANewSection)
{
    const string intelSection = "%USB\\ROOT_HUB.DeviceDesc%=ROOTHUB.Dev,USB\\ROOT_HUB";
    struct Case {
        const char *name;
        string input;
        vector<std::pair<int, string>> blocks;
    } cases[] = {
        {"the four headers", fixtures::UsbInf(),
         {{1, "[Version]"}, {3, "[Manufacturer]"}, {6, "[Intel.Section]"}, {7, "[Strings]"}}},
        // Its header is present but behind: the lines come without it, after [Version]'s.
        {"Manufacturer above Version", Inf(fixtures::UsbSections, {"Manufacturer", "Version", "Intel.Section", "Strings"}),
         {{4, "[Version]"}, {6, "[Intel.Section]"}, {7, "[Strings]"}}},
        {"no Intel.Section", Replaced(fixtures::UsbInf(), "[Intel.Section]\r\n", ""),
         {{1, "[Version]"}, {10, "[Manufacturer]"}, {7, "[Strings]"}}},
        {"Intel.Mfg with more text",
         Replaced(fixtures::UsbInf(), "Msft=\"Microsoft\"", "Intel.Mfg=Intel Corporation"),
         {{1, "[Version]"}, {3, "[Manufacturer]"}, {6, "[Intel.Section]"}, {6, "[Strings]"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        string out = RunPass(PatchUsbInf, c.input);
        EXPECT_EQ(Before(out), c.blocks);
        EXPECT_EQ(out.find("Intel.Mfg=Intel;Plovex") == string::npos, c.blocks.back().first == 6);
    }
    // The lines that followed [Manufacturer] stand under the new VIA section.
    vector<string> lines = Lines(RunPass(PatchUsbInf, cases[2].input));
    auto at = std::find(lines.begin(), lines.end(), "%Compaq.Mfg%=Compaq.Section");
    ASSERT_NE(at, lines.end());
    EXPECT_EQ(at[-2], "[VIA.Section];Plovex");
}

TEST(Patches, EveryCommandStartsFromTheFullCatalogues)
{
    // A file holding every line blanks every slot, yet the next file gets them all.
    const string machine = RunPass(PatchMachineInf, fixtures::MachineInf(), host::Os::Win95Osr2);
    EXPECT_EQ(RunPass(PatchMachineInf, machine, host::Os::Win95Osr2), machine);
    EXPECT_EQ(RunPass(PatchMachineInf, fixtures::MachineInf(), host::Os::Win95Osr2), machine);

    const string mshdc = RunPass(PatchMshdcInf, fixtures::MshdcInf());
    EXPECT_EQ(RunPass(PatchMshdcInf, mshdc), mshdc);
    EXPECT_EQ(RunPass(PatchMshdcInf, fixtures::MshdcInf()), mshdc);

    const string usb = RunPass(PatchUsbInf, fixtures::UsbInf());
    EXPECT_EQ(RunPass(PatchUsbInf, usb), usb); // every header slot blanked here
    Scratch drive;
    PrepareCommand(drive);
    CreateUsbInf("C:\\WINDOWS\\inf\\usb.inf", "C:\\WINDOWS\\inf\\out.inf");
    EXPECT_EQ(drive.Read("WINDOWS/INF/usb.inf"), ReadWholeFile(PLOVEX_GOLDEN "/install/WINDOWS/INF/usb.inf"));
}

} // namespace

// A usb.inf whose last line is a section header without LF: the added lines
// must start a line of their own, or the header would be joined to a marked
// line and lost at the next Uninstall.
TEST(UsbPatch, AnchorOnTheLastLineWithoutLfStaysALineOfItsOwn)
{
    for (const char *last : {"[Version]", "[Strings]"}) {
        SCOPED_TRACE(last);
        string input = "[Manufacturer]\r\n[Intel.Section]\r\n" + string(last);
        if (string(last) == "[Version]")
            input = "[Version]";
        string patched = RunPass(PatchUsbInf, input);
        vector<string> lines = Lines(patched);
        EXPECT_NE(std::find(lines.begin(), lines.end(), last), lines.end()) << patched;
        string stripped = RunPass(StripMarkedLines, patched);
        EXPECT_EQ(stripped, input + "\r\n"); // the header is kept; it only gains its line end
        EXPECT_EQ(RunPass(PatchUsbInf, patched), patched);
    }
}
