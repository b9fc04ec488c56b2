// Command line of the flashcp applet.
#pragma once

#include <cstdint>

struct FLASHCP_OPTS_S {
    uint32_t ulFileOffset;  // -g
    uint32_t ulLength;      // -l, 0: the file's size
    uint32_t ulFlashOffset; // -o
    const char *pszFile;    // first operand
    const char *pszDev;     // second operand
};

// Parses "-g -l -o FILE DEVICE" (values decimal, 0x hexadecimal or leading-0
// octal, cut to 32 bits). Returns 0, or -1 for "-h", an unknown option, a
// missing value or a missing operand.
int FlashcpParseOptions(int argc, char *argv[], FLASHCP_OPTS_S *pstOpts);
