// Fuzz target for the download status record reader. The process gets its
// own /tmp (a tmpfs in a private mount namespace) so that the reader reads
// its fixed path there and the host's /tmp stays untouched. Without root the
// mount namespace comes with a user namespace of its own, so the target runs
// for anyone. Each input is the file's text: text that does not begin a
// record reads as status 0 and rate 0. The first eight bytes also give a
// status and a rate, which the writer writes and the reader must read back
// exactly.
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include "fetch/fetch_progress.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Files created on the private tmpfs need the caller's ids mapped in the user namespace.
    auto Put = [](const char *pszPath, const std::string &strText) {
        return static_cast<bool>(std::ofstream(pszPath) << strText << std::flush);
    };
    const std::string strUid = std::to_string(getuid()), strGid = std::to_string(getgid());
    if ((unshare(CLONE_NEWNS) != 0 &&
         (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !Put("/proc/self/setgroups", "deny") ||
          !Put("/proc/self/uid_map", strUid + " " + strUid + " 1") ||
          !Put("/proc/self/gid_map", strGid + " " + strGid + " 1"))) ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("fuzz", "/tmp", "tmpfs", 0, "size=1m") != 0) {
        perror("progress_fuzz: no private /tmp (neither a mount nor a user namespace)");
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    FileOwner pFile(fopen(DOWNLOAD_STAT_FILE, "w"));
    Check(pFile && fwrite(pData, 1, ulSize, pFile.get()) == ulSize && fflush(pFile.get()) == 0);
    uint32_t ulRate = 7, ulStat = 7;
    ReadDownloadStat(&ulRate, &ulStat);
    Check((ulStat == 0 && ulRate == 0) || (ulSize >= 5 && memcmp(pData, "Stat:", 5) == 0));
    if (ulSize >= 8) {
        memcpy(&g_stDownloadStat.ulStat, pData, 4);
        memcpy(&g_stDownloadStat.ulRate, pData + 4, 4);
        Check(WriteDownloadStat() == 0);
        ReadDownloadStat(&ulRate, &ulStat);
        Check(ulStat == g_stDownloadStat.ulStat && ulRate == g_stDownloadStat.ulRate);
    }
    return 0;
}
