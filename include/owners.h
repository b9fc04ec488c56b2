// Owners that give back what a procedure took, on every return path.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

// Heap blocks from malloc/calloc.
struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
template <typename T>
using HeapOwner = std::unique_ptr<T, FreeDeleter>;

struct FileCloser {
    void operator()(FILE *pFile) const { fclose(pFile); }
};
using FileOwner = std::unique_ptr<FILE, FileCloser>;

struct PipeCloser {
    void operator()(FILE *pFile) const { pclose(pFile); }
};
using PipeOwner = std::unique_ptr<FILE, PipeCloser>;

class FdOwner {
public:
    explicit FdOwner(int lFd) : m_lFd(lFd) {}
    ~FdOwner()
    {
        if (m_lFd >= 0) {
            close(m_lFd);
        }
    }
    FdOwner(const FdOwner &) = delete;
    FdOwner &operator=(const FdOwner &) = delete;
    int Get() const { return m_lFd; }
    // Hands the descriptor over to the caller, who closes it from now on.
    int Release()
    {
        int lFd = m_lFd;
        m_lFd = -1;
        return lFd;
    }

private:
    int m_lFd;
};
