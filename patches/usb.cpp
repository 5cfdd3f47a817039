// usb.inf: the Intel, SiS and VIA USB host controllers. Sections the file lacks
// are written whole, header first; a missing usb.inf is created from the same
// catalogues.
#include "patches/patches.h"
#include "state/messages.h"

#include <iterator>

static const char UsbVersionTexts[][18] = {
    "[Version]" INSTALL_MARKER,
    "Class=USB" INSTALL_MARKER,
};

static const char UsbManufacturerTexts[][34] = {
    "[Manufacturer]" INSTALL_MARKER,
    "%Intel.Mfg%=Intel.Section" INSTALL_MARKER,
    "%SIS.Mfg%=SIS.Section" INSTALL_MARKER,
    "%VIA.Mfg%=VIA.Section" INSTALL_MARKER,
};

static const char UsbModelTexts[][84] = {
    "[Intel.Section]" INSTALL_MARKER,
    "%PCI\\VEN_8086&DEV_7020.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_7020" INSTALL_MARKER,
    "%PCI\\VEN_8086&DEV_7112.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_7112" INSTALL_MARKER,
    "[SIS.Section]" INSTALL_MARKER,
    "%PCI\\VEN_1039&DEV_7001.DeviceDesc%=NO_DRV,PCI\\VEN_1039&DEV_7001" INSTALL_MARKER,
    "[VIA.Section]" INSTALL_MARKER,
    "%PCI\\VEN_1106&DEV_3038.DeviceDesc%=NO_DRV,PCI\\VEN_1106&DEV_3038" INSTALL_MARKER,
};

static const char UsbStringTexts[][98] = {
    "[Strings]" INSTALL_MARKER,
    "Intel.Mfg=Intel" INSTALL_MARKER,
    "PCI\\VEN_8086&DEV_7020.DeviceDesc=\"Intel 82371SB PCI to USB Universal Host Controller\"" INSTALL_MARKER,
    "PCI\\VEN_8086&DEV_7112.DeviceDesc=\"Intel 82371AB/EB PCI to USB Universal Host Controller\"" INSTALL_MARKER,
    "SIS.Mfg=Silicon Integrated Systems" INSTALL_MARKER,
    "PCI\\VEN_1039&DEV_7001.DeviceDesc=\"SiS 7001 PCI to USB Open Host Controller\"" INSTALL_MARKER,
    "VIA.Mfg=VIA Technologies" INSTALL_MARKER,
    "PCI\\VEN_1106&DEV_3038.DeviceDesc=\"VIA VT82C586B PCI TO USB Universal Host Controller\"" INSTALL_MARKER,
};

// The working copies, each of its texts' shape.
static std::remove_const_t<decltype(UsbVersionTexts)> UsbVersionSlots;
static std::remove_const_t<decltype(UsbManufacturerTexts)> UsbManufacturerSlots;
static std::remove_const_t<decltype(UsbModelTexts)> UsbModelSlots;
static std::remove_const_t<decltype(UsbStringTexts)> UsbStringSlots;

const Catalogue UsbVersionLines = CATALOGUE(UsbVersionTexts, UsbVersionSlots);
const Catalogue UsbManufacturerLines = CATALOGUE(UsbManufacturerTexts, UsbManufacturerSlots);
const Catalogue UsbModelLines = CATALOGUE(UsbModelTexts, UsbModelSlots);
const Catalogue UsbStringLines = CATALOGUE(UsbStringTexts, UsbStringSlots);

// The four sections in file order, each with the header its group anchors on.
static const Catalogue *const UsbCatalogues[] = {&UsbVersionLines, &UsbManufacturerLines, &UsbModelLines,
                                                 &UsbStringLines};
static const char *const UsbAnchors[] = {"[VERSION]", "[Manufacturer]", "[INTEL.SECTION]", "[Strings]"};
static_assert(std::size(UsbAnchors) == std::size(UsbCatalogues), "one anchor for each catalogue");
static_assert(FitsPresenceIndex(UsbVersionTexts, UsbManufacturerTexts, UsbModelTexts, UsbStringTexts),
              "every slot of usb.inf's catalogues must fit the presence check's index");

void PatchUsbInf()
{
    for (const Catalogue *catalogue : UsbCatalogues)
        RefreshCatalogue(*catalogue);
    DropPresentEntries(UsbCatalogues, std::size(UsbCatalogues), MARKERLESS_COMPARE);
    // Found or not, the group is written: after its header, or as a new section.
    for (size_t group = 0; group < std::size(UsbCatalogues); group++) {
        CopyThroughLine(UsbAnchors[group]);
        PutCatalogue(*UsbCatalogues[group]);
    }
    CopyUntilLine(NULL);
}

void CreateUsbInf(LPCSTR path, LPCSTR workPath)
{
    if (!OpenWorkStream(workPath)) {
        ShowMessage("Can't create usb.inf", "File Open Error", MB_OK | MB_ICONERROR);
        ExitProgram(1);
    }
    for (const Catalogue *catalogue : UsbCatalogues) {
        RefreshCatalogue(*catalogue);
        PutCatalogue(*catalogue);
    }
    // Written in full and flushed before it takes its name: a usb.inf cut
    // short would be taken for a whole one by the next Install.
    if (!CloseWorkStream() || !MoveFileA(workPath, path)) {
        DeleteFileA(workPath);
        ShowMessage("Can't create usb.inf", "File Open Error", MB_OK | MB_ICONERROR);
        ExitProgram(1);
    }
}
