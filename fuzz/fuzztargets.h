// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef FUZZTARGETS_H
#define FUZZTARGETS_H

#include <cstddef>
#include <cstdint>

// One entry for every place where bytes from the hub come in. The libFuzzer
// programs call exactly one each; tst_fuzzcorpus replays the kept corpora and
// every input that once broke a target through the same functions.
//
// Each entry decodes its input as the program does and checks what must hold
// whatever the bytes (the sanitizers check the rest). A broken rule goes to the
// failure handler: by default it prints the rule and aborts, which is what
// libFuzzer records as a crash.
namespace FuzzTargets {

using Entry = int (*)(const uint8_t *data, size_t size);

// The buffer read after the configuration query, as the handshake looks at it.
int configReply(const uint8_t *data, size_t size);
// One line read after the identification query.
int identificationLine(const uint8_t *data, size_t size);
// Chunks of the binary stream as notifications deliver them: each chunk is one
// length byte and that many bytes; the first byte of the input picks the
// averaging count, so the fast-mode means are fuzzed along.
int binaryStream(const uint8_t *data, size_t size);
// One text record as the text reader reads it, line end included; the first
// byte picks the averaging count.
int textLine(const uint8_t *data, size_t size);
// A whole upgrade against a scripted boot loader on a pseudo-terminal: the
// first byte picks the image size (0 to 40 bytes), then come the boot loader's
// replies in order, each one length byte and that many bytes, to the erase,
// the size header, every block and the end of the session. A reply of length 0,
// or the end of the input, unplugs the boot loader.
int bootLoaderSession(const uint8_t *data, size_t size);

struct Target
{
    const char *name;   // also the name of its corpus folder
    Entry entry;
};
extern const Target targets[];
extern const int targetCount;

using FailureHandler = void (*)(const char *rule);
void setFailureHandler(FailureHandler handler);

} // namespace FuzzTargets

#endif // FUZZTARGETS_H
