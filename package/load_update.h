// The install worker: one package update from fetch to the record of the
// last update, its outcome published through the watch state.
#pragma once

constexpr const char *UPDATE_RECORD_FILE = "/var/runtime/log/update_record.log";

// Thread body; pvReq is the session's UPDATE_REQ_S, only read here.
void *UPDATE_LoadUpdate(void *pvReq);

// Whether the worker still runs: the session keeps what the worker uses
// alive until it has ended.
bool IsWorkerRunning(void);
void MarkWorkerStarted(void);
void WorkerEnded(void);
