// The update session: from the parsed request to the reboot.
#pragma once

#include "include/update_types.h"

int UpdateMain(int argc, char *argv[]);
int UpdateSession(int argc, char *argv[]);
// Another updater of this name runs: says so (standard output) and gives true.
bool RefuseSecondInstance(const char *pszName);
// Everything after the relocation: log, address check, worker and watch.
int UpdateRun(int argc, char *argv[], UPDATE_REQ_S *pstReq);
void StartUpdateProcess(int argc, char *argv[], const UPDATE_REQ_S *pstReq);
// The hand-over path; pszName is the program name the instance check counts.
int UpdateByExtraArgs(UPDATE_REQ_S *pstReq, const char *pszExtraArgs, const char *pszName);
// Frees the record and closes the log, unless a worker still uses them.
void EndSession(UPDATE_REQ_S *pstReq);
// The end of a successful run: unlock, report, reboot unless asked not to.
void FinishSession(UPDATE_REQ_S *pstReq);

// How long the session waits for a worker that has published its outcome.
constexpr unsigned WORKER_END_WAIT_POLLS = 300;
constexpr unsigned WORKER_END_POLL_US = 100000;
constexpr int WORKER_NOT_STARTED = -1000;

// Starts pfnWorker on the request as a detached thread and watches it: the
// watch result, or WORKER_NOT_STARTED.
int WatchWorker(void *(*pfnWorker)(void *), UPDATE_REQ_S *pstReq, unsigned ulIdleLimit);
