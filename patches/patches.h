// The three target patches and their catalogues. Each patch expects the source
// stream open on its target at the beginning and the work stream open and
// empty, and writes the whole patched text to the work stream.
#ifndef PLOVEX_PATCHES_H
#define PLOVEX_PATCHES_H

#include "inf/linestream.h"
#include "inf/presence.h"

extern const Catalogue MachineDeviceLines;
extern const Catalogue MachineAddRegLines;
extern const Catalogue MachineIrqMiniportLines;
extern const Catalogue MachineExcludeLines;
extern const Catalogue MachineStringLines;

extern const Catalogue MshdcDeviceLines;
extern const Catalogue MshdcCopyFilesOnlyLines;
extern const Catalogue MshdcStringLines;

extern const Catalogue UsbVersionLines;
extern const Catalogue UsbManufacturerLines;
extern const Catalogue UsbModelLines;
extern const Catalogue UsbStringLines;

void PatchMachineInf();
void PatchMshdcInf();
void PatchUsbInf();
// Writes a complete usb.inf to the work file and gives it the name `path`;
// ends the process with exit code 1 when the file cannot be created, written
// or named.
void CreateUsbInf(LPCSTR path, LPCSTR workPath);

#endif
