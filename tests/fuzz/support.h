// support.h -- what every fuzz target shares: surviving the readers' exit()
// on bad input, scratch files on tmpfs, and a check that aborts with a
// message (a finding) when a reader breaks a promise about its records.
//
// The readers end the program with exit(1) or exit(-1) on bad input; that is
// their behaviour and stays.  The fuzz targets are linked with
// -Wl,--wrap=exit,--wrap=fopen,--wrap=fclose: while run_catching_exit runs a
// call, exit() jumps back into it instead of ending the process, and any
// file the call opened and left open is closed, so nothing leaks and the
// leak checker stays on.
#ifndef HYBFIT_FUZZ_SUPPORT_H
#define HYBFIT_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Runs fn(arg).  Returns 1 when fn called exit() (its status goes to
// *status), 0 when it returned.  Files fn opened and did not close are
// closed after an exit.
int run_catching_exit(void (*fn)(void *), void *arg, int *status);

// A private scratch directory on tmpfs (/dev/shm when it exists), created on
// first use and removed at process exit.
const std::string &scratch_dir();

// Writes size bytes to path (created or truncated); aborts when it cannot.
void write_bytes(const std::string &path, const uint8_t *data, size_t size);

// Aborts with "fuzz check failed: <what>" when ok is false.
void check(bool ok, const char *what);

}  // namespace fuzz

#endif
