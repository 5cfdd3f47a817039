#include "tests/support.h"
#include "patches/patches.h"

#include <gtest/gtest.h>

static const char MachineInf[] =
    "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=System\r\n\r\n"
    "[Manufacturer]\r\n%GENDEV_MFG%=GENDEV_SYS\r\n\r\n"
    "[MS_SYS]\r\n%*PNP0A03.DeviceDesc%=PCI_DRV,*PNP0A03\r\n%PCI\\VEN_8086&DEV_122E.DeviceDesc%=ISA_DRV,PCI\\VEN_8086&DEV_122E\r\n\r\n"
    "[PCI_DRV_AddReg]\r\nHKR,,DevLoader,,*CONFIGMG\r\nHKLM,System\\CurrentControlSet\\Services\\VxD\\PCI,8086122E,1,00,00,00,00\r\n"
    "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI\\IRQMiniports\\8086122E,Name,,\"Intel 82371FB\"\r\n\r\n"
    "[ControlFlags]\r\nExcludeFromSelect=PCI\\VEN_8086&DEV_122E\r\n\r\n"
    "[Strings]\r\nMSFT=\"Microsoft\"\r\nPCI\\VEN_8086&DEV_122E.DeviceDesc=\"Intel 82371FB PCI to ISA bridge\"\r\n";

TEST(Smoke, MachineInfTakesAllItsLines)
{
    EXPECT_EQ(CountMarked(RunPass(PatchMachineInf, MachineInf, host::Os::Win95Osr2)), 55);
    EXPECT_EQ(CountMarked(RunPass(PatchMachineInf, MachineInf, host::Os::Win95)), 52);
}
