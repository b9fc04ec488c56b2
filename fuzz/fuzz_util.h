// Helpers shared by the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

// A broken property ends the run: libFuzzer reports the crash and keeps the input.
inline void Check(bool bOk)
{
    if (!bOk) {
        abort();
    }
}

// A memory file holding the bytes, positioned at its start.
inline int MemFd(const uint8_t *pData, size_t ulSize)
{
    int lFd = memfd_create("fuzz", MFD_CLOEXEC);
    Check(lFd >= 0 && write(lFd, pData, ulSize) == static_cast<ssize_t>(ulSize) && lseek(lFd, 0, SEEK_SET) == 0);
    return lFd;
}

// The readers report on standard output; the fuzzer talks on standard error.
inline void QuietStdout()
{
    Check(freopen("/dev/null", "w", stdout) != nullptr);
}
