// mshdc.inf: the Intel and VIA bus-master IDE controllers. Unlike the other two
// patches, only a line that already carries the installation marker counts as
// present here.
#include "patches/patches.h"

#include <iterator>

static const char MshdcDeviceTexts[][81] = {
    "%PCI\\VEN_8086&DEV_7111.DeviceDesc%=DUAL_GOOD_IDE, PCI\\VEN_8086&DEV_7111" INSTALL_MARKER,
    "%PCI\\VEN_1106&DEV_0571.DeviceDesc%=DUAL_GOOD_IDE, PCI\\VEN_1106&DEV_0571" INSTALL_MARKER,
};

static const char MshdcCopyFilesOnlyTexts[][45] = {
    "CopyFilesOnly=PCI\\VEN_8086&DEV_7111" INSTALL_MARKER,
    "CopyFilesOnly=PCI\\VEN_1106&DEV_0571" INSTALL_MARKER,
};

static const char MshdcStringTexts[][90] = {
    "PCI\\VEN_8086&DEV_7111.DeviceDesc=\"Intel 82371AB/EB PCI Bus Master IDE Controller\"" INSTALL_MARKER,
    "PCI\\VEN_1106&DEV_0571.DeviceDesc=\"VIA Tech PCI IDE Controller\"" INSTALL_MARKER,
};

// The working copies, each of its texts' shape.
static std::remove_const_t<decltype(MshdcDeviceTexts)> MshdcDeviceSlots;
static std::remove_const_t<decltype(MshdcCopyFilesOnlyTexts)> MshdcCopyFilesOnlySlots;
static std::remove_const_t<decltype(MshdcStringTexts)> MshdcStringSlots;

const Catalogue MshdcDeviceLines = CATALOGUE(MshdcDeviceTexts, MshdcDeviceSlots);
const Catalogue MshdcCopyFilesOnlyLines = CATALOGUE(MshdcCopyFilesOnlyTexts, MshdcCopyFilesOnlySlots);
const Catalogue MshdcStringLines = CATALOGUE(MshdcStringTexts, MshdcStringSlots);

// Searches the first anchor, then the first line of the kind sought after it;
// true when both were found and the source stands in front of that line.
static bool FindPlace(LPCSTR first, LPCSTR kind)
{
    return CopyUntilLine(first) && CopyUntilLine(kind);
}

void PatchMshdcInf()
{
    const Catalogue *const catalogues[] = {&MshdcDeviceLines, &MshdcCopyFilesOnlyLines, &MshdcStringLines};
    static_assert(FitsPresenceIndex(MshdcDeviceTexts, MshdcCopyFilesOnlyTexts, MshdcStringTexts),
                  "every slot of mshdc.inf's catalogues must fit the presence check's index");
    for (const Catalogue *catalogue : catalogues)
        RefreshCatalogue(*catalogue);
    DropPresentEntries(catalogues, std::size(catalogues), FULL_LINE_COMPARE);

    if (FindPlace("[INTEL_HDC]", "%PCI\\VEN_"))
        PutEntry(SlotText(MshdcDeviceLines, 0));
    if (FindPlace("[VIATECH_HDC]", "%PCI\\VEN_"))
        PutEntry(SlotText(MshdcDeviceLines, 1));
    if (FindPlace("[ControlFlags]", "CopyFilesOnly=PCI\\VEN_"))
        PutCatalogue(MshdcCopyFilesOnlyLines);
    if (FindPlace("INTEL=\"Intel\"", "PCI\\VEN_"))
        PutEntry(SlotText(MshdcStringLines, 0));
    if (FindPlace("VIATECH=\"VIA Tech\"", "PCI\\VEN_"))
        PutEntry(SlotText(MshdcStringLines, 1));
    CopyUntilLine(NULL);
}
