// SPDX-License-Identifier: GPL-3.0-or-later
// A libFuzzer program for one entry of fuzztargets.h, chosen when it is built.
#include "fuzztargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return FuzzTargets::PELLIX_FUZZ_ENTRY(data, size);
}
