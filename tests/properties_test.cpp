// Properties of the three patches over a few hundred generated INF texts that
// hold no marked line: a second patch adds nothing, Uninstall's strip gives the
// original text back, and no existing line is dropped or moved.
#include "tests/support.h"
#include "patches/patches.h"
#include "platform/host/system.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using std::string;

const Catalogue *const AllCatalogues[] = {
    &MachineDeviceLines, &MachineAddRegLines, &MachineIrqMiniportLines, &MachineExcludeLines, &MachineStringLines,
    &MshdcDeviceLines,   &MshdcCopyFilesOnlyLines, &MshdcStringLines, &UsbVersionLines, &UsbManufacturerLines,
    &UsbModelLines,      &UsbStringLines,
};

const char *const Headers[] = {"[MS_SYS]", "[PCI_DRV_AddReg]", "[ControlFlags]", "[Strings]", "[strings]",
                               "[INTEL_HDC]", "[VIATECH_HDC]", "[Version]", "[VERSION]", "[Manufacturer]",
                               "[Intel.Section]", "[SIS.Section]", "[VIA.Section]", "[NO_DRV]", "[Misc]"};

struct Generator {
    std::mt19937 random;
    explicit Generator(unsigned seed) : random(seed) {}

    int Below(int n) { return (int)(random() % (unsigned)n); }
    bool OneIn(int n) { return Below(n) == 0; }
    string Hex(int digits)
    {
        string text;
        while (digits--)
            text += "0123456789ABCDEF"[Below(16)];
        return text;
    }

    string Body()
    {
        string id = "PCI\\VEN_" + Hex(4) + "&DEV_" + Hex(4);
        switch (Below(14)) {
        case 0: return "%" + id + ".DeviceDesc%=NO_DRV," + id;
        case 1: return id + ".DeviceDesc=\"Some device " + Hex(2) + "\"";
        case 2: return "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI," + Hex(8) + ",1,00,00,00,00";
        case 3: return "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI\\IRQMiniports\\" + Hex(8) + ",Name,,\"X\"";
        case 4: return "ExcludeFromSelect=" + id;
        case 5: return "CopyFilesOnly=" + id;
        case 6: return OneIn(2) ? "INTEL=\"Intel\"" : "VIATECH=\"VIA Tech\"";
        case 7: return "; " + Hex(6) + " comment";
        case 8: return "";
        case 9: { // a line of the program's own, as a file may hold it without the marker
            const Catalogue &catalogue = *AllCatalogues[Below(12)];
            string text = Unmarked(catalogue, Below(catalogue.count));
            if (OneIn(3))
                for (char &c : text)
                    c = (char)tolower(c);
            return OneIn(3) ? text + " ; vendor's" : text;
        }
        case 10: { // longer than one line of 254 characters
            string text = Headers[Below(15)];
            int length = 255 + Below(500);
            while ((int)text.size() < length)
                text += "abcXYZ0189 =,.\\\"%[]"[Below(19)];
            return text;
        }
        default: return Hex(3) + "=" + Hex(5);
        }
    }

    string Line()
    {
        string line = OneIn(6) ? string(" \t  ", 1 + Below(4)) : "";
        line += OneIn(5) ? Headers[Below(15)] : Body();
        if (OneIn(25))
            line.insert(Below((int)line.size() + 1), 1, '\r'); // a lone CR
        if (OneIn(60))
            line.insert(Below((int)line.size() + 1), 1, '\0');
        static const char *const ends[] = {"\r\n", "\r\n", "\r\n", "\n", "\n", "\r\r\n"};
        return line + ends[Below(6)];
    }

    string Text()
    {
        string text;
        for (int n = Below(60); n > 0; n--)
            text += Line();
        // A last line without LF, never a section header: a header there would
        // run into the first line written after it.
        if (OneIn(3))
            text += Hex(4) + "=" + Hex(2);
        if (OneIn(20))
            text += "\x1a" + Line(); // Ctrl-Z ends the data
        return text;
    }
};

// The original's lines appear in the patched text in their order.
bool IsSubsequence(const std::vector<string> &part, const std::vector<string> &whole)
{
    size_t next = 0;
    for (const string &line : whole)
        if (next < part.size() && line == part[next])
            next++;
    return next == part.size();
}

TEST(PatchProperties, IdempotentReversibleAndKeepingEveryLine)
{
    struct Patch {
        const char *name;
        void (*run)();
    } patches[] = {{"machine", PatchMachineInf}, {"mshdc", PatchMshdcInf}, {"usb", PatchUsbInf}};
    const host::Os systems[] = {host::Os::Win95, host::Os::Win95Osr2, host::Os::Nt};
    int inserted = 0;
    for (unsigned seed = 1; seed <= 300; seed++) {
        Generator generator(seed);
        const string original = generator.Text();
        const string copied = TextModeCopy(original);
        ASSERT_EQ(CountMarked(copied), 0);
        for (const Patch &patch : patches) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << patch.name << ": "
                                            << testing::PrintToString(original));
            host::Os os = systems[seed % 3];
            const string once = RunPass(patch.run, original, os);
            EXPECT_EQ(RunPass(patch.run, once, os), once);
            EXPECT_EQ(RunPass(StripMarkedLines, once), copied);
            EXPECT_TRUE(IsSubsequence(Lines(copied), Lines(once)));
            inserted += CountMarked(once);
            if (HasFailure())
                return;
        }
    }
    // The generated texts must leave the patches work to do.
    EXPECT_GT(inserted, 300 * 20);
}

} // namespace
