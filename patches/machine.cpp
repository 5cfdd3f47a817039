// machine.inf: host bridges, AGP controllers, PCI-to-ISA bridges and power
// management of the Intel, SiS and VIA chipsets, each kind of line in its section.
#include "patches/patches.h"
#include "state/state.h"

#include <iterator>

static const char MachineDeviceTexts[][76] = {
    "%PCI\\VEN_8086&DEV_7110.DeviceDesc%=ISA_DRV,PCI\\VEN_8086&DEV_7110" INSTALL_MARKER,
    "%PCI\\VEN_8086&DEV_7113.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_7113" INSTALL_MARKER,
    "%PCI\\VEN_8086&DEV_7100.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_7100" INSTALL_MARKER,
    "%PCI\\VEN_8086&DEV_7180.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_7180" INSTALL_MARKER,
    "%PCI\\VEN_8086&DEV_7181.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_7181" INSTALL_MARKER,
    "%PCI\\VEN_8086&DEV_7190.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_7190" INSTALL_MARKER,
    "%PCI\\VEN_8086&DEV_7191.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_7191" INSTALL_MARKER,
    "%PCI\\VEN_8086&DEV_7192.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_7192" INSTALL_MARKER,
    "%PCI\\VEN_1039&DEV_5571.DeviceDesc%=NO_DRV,PCI\\VEN_1039&DEV_5571" INSTALL_MARKER,
    "%PCI\\VEN_1039&DEV_5597.DeviceDesc%=NO_DRV,PCI\\VEN_1039&DEV_5597" INSTALL_MARKER,
    "%PCI\\VEN_1039&DEV_5591.DeviceDesc%=NO_DRV,PCI\\VEN_1039&DEV_5591" INSTALL_MARKER,
    "%PCI\\VEN_1039&DEV_0001.DeviceDesc%=NO_DRV,PCI\\VEN_1039&DEV_0001" INSTALL_MARKER,
    "%PCI\\VEN_1039&DEV_0009.DeviceDesc%=NO_DRV,PCI\\VEN_1039&DEV_0009" INSTALL_MARKER,
    "%PCI\\VEN_1106&DEV_0597.DeviceDesc%=NO_DRV,PCI\\VEN_1106&DEV_0597" INSTALL_MARKER,
    "%PCI\\VEN_1106&DEV_3040.DeviceDesc%=NO_DRV,PCI\\VEN_1106&DEV_3040" INSTALL_MARKER,
    "%PCI\\VEN_1106&DEV_0586.DeviceDesc%=ISA_DRV,PCI\\VEN_1106&DEV_0586" INSTALL_MARKER,
    "%PCI\\VEN_1106&DEV_8598.DeviceDesc%=NO_DRV,PCI\\VEN_1106&DEV_8598" INSTALL_MARKER,
};

static const char MachineAddRegTexts[][83] = {
    "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI,71108086,1,00,00,00,00" INSTALL_MARKER,
};

static const char MachineIrqMiniportTexts[][100] = {
    "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI\\IRQMiniports\\71108086,Name,,\"Intel 82371AB\"" INSTALL_MARKER,
    "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI\\IRQMiniports\\71108086,Path,,\"PCIMP.PCI\"" INSTALL_MARKER,
    "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI\\IRQMiniports\\71108086,Instance,1,01,00,00,00" INSTALL_MARKER,
};

static const char MachineExcludeTexts[][49] = {
    "ExcludeFromSelect=PCI\\VEN_8086&DEV_7110" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_8086&DEV_7113" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_8086&DEV_7180" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_8086&DEV_7181" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_8086&DEV_7100" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_8086&DEV_7190" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_8086&DEV_7191" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_8086&DEV_7192" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_1039&DEV_5571" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_1039&DEV_5597" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_1039&DEV_5591" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_1039&DEV_0001" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_1039&DEV_0009" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_1106&DEV_0597" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_1106&DEV_3040" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_1106&DEV_0586" INSTALL_MARKER,
    "ExcludeFromSelect=PCI\\VEN_1106&DEV_8598" INSTALL_MARKER,
};

static const char MachineStringTexts[][119] = {
    "PCI\\VEN_8086&DEV_7110.DeviceDesc=\"Intel 82371AB/EB PCI to ISA bridge\"" INSTALL_MARKER,
    "PCI\\VEN_8086&DEV_7113.DeviceDesc=\"Intel 82371AB/EB Power Management Controller\"" INSTALL_MARKER,
    "PCI\\VEN_8086&DEV_7100.DeviceDesc=\"Intel 82439TX Pentium(r) Processor to PCI bridge\"" INSTALL_MARKER,
    "PCI\\VEN_8086&DEV_7180.DeviceDesc=\"Intel 82443LX Pentium(r) II Processor to PCI bridge\"" INSTALL_MARKER,
    "PCI\\VEN_8086&DEV_7181.DeviceDesc=\"Intel 82443LX Pentium(r) II Processor to AGP controller\"" INSTALL_MARKER,
    "PCI\\VEN_8086&DEV_7190.DeviceDesc=\"Intel 82443BX Pentium(r) II Processor to PCI bridge (with GART support)\"" INSTALL_MARKER,
    "PCI\\VEN_8086&DEV_7191.DeviceDesc=\"Intel 82443BX Pentium(r) II Processor to AGP controller\"" INSTALL_MARKER,
    "PCI\\VEN_8086&DEV_7192.DeviceDesc=\"Intel 82443BX Pentium(r) II Processor to PCI brigde (without GART support)\"" INSTALL_MARKER,
    "PCI\\VEN_1039&DEV_5571.DeviceDesc=\"SIS 5571 Host-to-PCI bridge\"" INSTALL_MARKER,
    "PCI\\VEN_1039&DEV_5597.DeviceDesc=\"SIS 5582 Host-to-PCI bridge\"" INSTALL_MARKER,
    "PCI\\VEN_1039&DEV_5591.DeviceDesc=\"SIS 5591 Host-to-PCI bridge\"" INSTALL_MARKER,
    "PCI\\VEN_1039&DEV_0001.DeviceDesc=\"SIS 5591 CPU to AGP controller\"" INSTALL_MARKER,
    "PCI\\VEN_1039&DEV_0009.DeviceDesc=\"SIS PMU device\"" INSTALL_MARKER,
    "PCI\\VEN_1106&DEV_0597.DeviceDesc=\"VIA VT82C598AT CPU to PCI bridge\"" INSTALL_MARKER,
    "PCI\\VEN_1106&DEV_3040.DeviceDesc=\"VIA VT82C586B Power Management Controller\"" INSTALL_MARKER,
    "PCI\\VEN_1106&DEV_0586.DeviceDesc=\"VIA VT82C586B (PIPC) PCI to ISA bridge\"" INSTALL_MARKER,
    "PCI\\VEN_1106&DEV_8598.DeviceDesc=\"VIA VT82C598AT CPU to AGP controller\"" INSTALL_MARKER,
};

// The working copies, each of its texts' shape.
static std::remove_const_t<decltype(MachineDeviceTexts)> MachineDeviceSlots;
static std::remove_const_t<decltype(MachineAddRegTexts)> MachineAddRegSlots;
static std::remove_const_t<decltype(MachineIrqMiniportTexts)> MachineIrqMiniportSlots;
static std::remove_const_t<decltype(MachineExcludeTexts)> MachineExcludeSlots;
static std::remove_const_t<decltype(MachineStringTexts)> MachineStringSlots;

const Catalogue MachineDeviceLines = CATALOGUE(MachineDeviceTexts, MachineDeviceSlots);
const Catalogue MachineAddRegLines = CATALOGUE(MachineAddRegTexts, MachineAddRegSlots);
const Catalogue MachineIrqMiniportLines = CATALOGUE(MachineIrqMiniportTexts, MachineIrqMiniportSlots);
const Catalogue MachineExcludeLines = CATALOGUE(MachineExcludeTexts, MachineExcludeSlots);
const Catalogue MachineStringLines = CATALOGUE(MachineStringTexts, MachineStringSlots);

// Searches the section header, then the first line of the kind sought after
// it, and writes the catalogue in front of that line.
static void PutBeforeFirst(LPCSTR header, LPCSTR kind, const Catalogue &catalogue)
{
    if (header && !CopyUntilLine(header))
        return;
    if (CopyUntilLine(kind))
        PutCatalogue(catalogue);
}

void PatchMachineInf()
{
    // The IRQ miniport lines belong only to a Windows 95 with a service release.
    const Catalogue *const withIrq[] = {&MachineDeviceLines, &MachineAddRegLines, &MachineIrqMiniportLines,
                                        &MachineExcludeLines, &MachineStringLines};
    const Catalogue *const withoutIrq[] = {&MachineDeviceLines, &MachineAddRegLines, &MachineExcludeLines,
                                           &MachineStringLines};
    static_assert(FitsPresenceIndex(MachineDeviceTexts, MachineAddRegTexts, MachineIrqMiniportTexts,
                                    MachineExcludeTexts, MachineStringTexts),
                  "every slot of machine.inf's catalogues must fit the presence check's index");
    for (const Catalogue *catalogue : withIrq)
        RefreshCatalogue(*catalogue);
    if (GetPlatformKind() == WINDOWS_95_SERVICE_RELEASE)
        DropPresentEntries(withIrq, std::size(withIrq), MARKERLESS_COMPARE);
    else
        DropPresentEntries(withoutIrq, std::size(withoutIrq), MARKERLESS_COMPARE);

    PutBeforeFirst("[MS_SYS]", "%PCI\\VEN_", MachineDeviceLines);
    PutBeforeFirst("[PCI_DRV_AddReg]", "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI,", MachineAddRegLines);
    if (GetPlatformKind() == WINDOWS_95_SERVICE_RELEASE)
        PutBeforeFirst(NULL, "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI\\IRQMiniports",
                       MachineIrqMiniportLines);
    PutBeforeFirst("[ControlFlags]", "ExcludeFromSelect=PCI\\VEN_", MachineExcludeLines);
    PutBeforeFirst("[Strings]", "PCI\\VEN_", MachineStringLines);
    CopyUntilLine(NULL);
}
