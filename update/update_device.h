// What the updater asks of the device around an update: stopping its daemons,
// the yes/no question on the terminal, temporary files and the reboot.
#pragma once

constexpr unsigned ANSWER_BUF_LEN = 512;

extern char g_szAnswer[ANSWER_BUF_LEN];
extern int g_lDaemonsStopped;

void StopDeviceDaemons(void);
int ConfirmUpdate(void);
// Reads one answer line (ended by carriage return) into g_szAnswer. Returns 0,
// or -1 when standard input ended before the carriage return.
int ReadRawLine(void);
int RemovePacketFile(void);
int RemoveTmpFiles(void);
void RebootDevice(void);

constexpr const char *SHELL_REBOOT_LINE = "sleep 3;/tmp/reboot;sleep 1;reboot;sleep 2;echo r > /proc/rmc/test";

// Clears the way for a file the updater is about to write at a fixed path:
// whatever lies there (a planted link above all) is removed, so the write
// creates a new file instead of writing through. Folders are left alone.
void RemoveTmpTarget(const char *pszPath);
// open() of a fixed /tmp file the updater rewrites: a link planted there is
// removed instead of written through.
int OpenTmpForWrite(const char *pszPath, int lFlags, unsigned ulMode);
