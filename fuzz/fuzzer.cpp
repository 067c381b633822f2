// SPDX-License-Identifier: GPL-3.0-or-later
// A libFuzzer program for one entry of fuzztargets.h, chosen when it is built.
#include "fuzztargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return FuzzTargets::PELLIX_FUZZ_ENTRY(data, size);
}

// QSerialPort locks every port it opens with a file that it forces to the disk,
// and the boot-loader target opens a fresh pseudo-terminal for every input:
// that flush took longer than all the rest of an input. Nothing this program
// writes needs to outlive a power cut, so here it is left to the kernel.
extern "C" int fdatasync(int)
{
    return 0;
}
