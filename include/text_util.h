// Bounded text helpers shared by every subsystem.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

// Copies src into a fixed-size field, cut to the field size minus one and
// always NUL-terminated. A null source gives an empty field.
inline void CopyText(char *pszDst, size_t ulDstSize, const char *pszSrc)
{
    if (pszDst == nullptr || ulDstSize == 0) {
        return;
    }
    size_t ulLen = 0;
    if (pszSrc != nullptr) {
        ulLen = strnlen(pszSrc, ulDstSize - 1);
        memcpy(pszDst, pszSrc, ulLen);
    }
    pszDst[ulLen] = '\0';
}

template <size_t N>
inline void CopyText(char (&szDst)[N], const char *pszSrc)
{
    CopyText(szDst, N, pszSrc);
}

// Appends to a NUL-terminated text held in a buffer of ulDstSize bytes,
// cutting what does not fit. Returns false when something was cut.
inline bool AppendText(char *pszDst, size_t ulDstSize, std::string_view sv)
{
    if (pszDst == nullptr || ulDstSize == 0) {
        return false;
    }
    size_t ulUsed = strnlen(pszDst, ulDstSize - 1);
    size_t ulRoom = ulDstSize - 1 - ulUsed;
    size_t ulCopy = sv.size() < ulRoom ? sv.size() : ulRoom;
    memcpy(pszDst + ulUsed, sv.data(), ulCopy);
    pszDst[ulUsed + ulCopy] = '\0';
    return ulCopy == sv.size();
}

template <size_t N>
inline bool AppendText(char (&szDst)[N], std::string_view sv)
{
    return AppendText(szDst, N, sv);
}

// snprintf into a buffer of ulSize bytes; false when the text did not fit
// (the buffer then holds it cut). A cut command line would run something
// else than meant, so callers refuse it.
__attribute__((format(printf, 3, 4))) inline bool FormatTextN(char *pszOut, size_t ulSize, const char *pszFmt, ...)
{
    va_list args;
    va_start(args, pszFmt);
    int lLen = vsnprintf(pszOut, ulSize, pszFmt, args);
    va_end(args);
    return lLen >= 0 && static_cast<size_t>(lLen) < ulSize;
}

#define FORMAT_TEXT(szBuf, ...) FormatTextN((szBuf), sizeof(szBuf), __VA_ARGS__)
