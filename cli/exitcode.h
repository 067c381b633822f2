// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef EXITCODE_H
#define EXITCODE_H

// The exit codes scripts may rely on; the values are those of sysexits(3)
// where one fits, and the shell's for an interrupt.
namespace ExitCode {
const int Success = 0;
const int Usage = 64;        // a command or option that makes no sense
const int NoInput = 66;      // no such port or file, a file with nothing to flash, a key that cannot be used
const int NoHost = 68;       // the broker's name does not resolve
const int PortFailed = 74;   // the port cannot be opened, or it vanished
const int HubFailed = 76;    // the hub or its boot loader refused or stopped answering
const int NoPermission = 77; // the broker refused the credentials or the certificates
const int Interrupted = 130; // Ctrl-C or SIGTERM
} // namespace ExitCode

#endif // EXITCODE_H
