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
