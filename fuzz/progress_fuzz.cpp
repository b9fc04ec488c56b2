// Fuzz target for the download status record reader. The process gets its
// own /tmp (a tmpfs in a private mount namespace) so that the reader reads
// its fixed path there and the host's /tmp stays untouched. Each input is
// the file's text: text that does not begin a record reads as status 0 and
// rate 0. The first eight bytes also give a status and a rate, which the
// writer writes and the reader must read back exactly.
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>

#include "fuzz/fuzz_util.h"
#include "fetch/fetch_progress.h"
#include "include/owners.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("fuzz", "/tmp", "tmpfs", 0, "size=1m") != 0) {
        fprintf(stderr, "progress_fuzz: no private /tmp here (needs root): skipped\n");
        exit(77);
    }
    uint32_t ulRate = 7;
    uint32_t ulStat = 7;
    ReadDownloadStat(&ulRate, &ulStat);
    Check(ulStat == DOWNLOAD_STAT_FAILED && ulRate == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    {
        FdOwner fd(open(DOWNLOAD_STAT_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        Check(fd.Get() >= 0 && write(fd.Get(), pData, ulSize) == static_cast<ssize_t>(ulSize));
    }
    uint32_t ulRate = 7;
    uint32_t ulStat = 7;
    ReadDownloadStat(&ulRate, &ulStat);
    if (ulSize < 5 || memcmp(pData, "Stat:", 5) != 0) {
        Check(ulStat == 0 && ulRate == 0);
    }
    if (ulSize >= 8) {
        memcpy(&g_stDownloadStat.ulStat, pData, 4);
        memcpy(&g_stDownloadStat.ulRate, pData + 4, 4);
        Check(WriteDownloadStat() == 0);
        ReadDownloadStat(&ulRate, &ulStat);
        Check(ulStat == g_stDownloadStat.ulStat && ulRate == g_stDownloadStat.ulRate);
    }
    return 0;
}
