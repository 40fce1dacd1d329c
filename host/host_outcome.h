// What became of the workflows this process ran: which one failed, in which task and why, told
// once at ERROR, and the exit code a failed run leaves when nothing else chose one.
#pragma once

#include <cstdint>

// Starts and stops watching the engine's notifications (main thread).
int64_t HostOutcome_Start();
int64_t HostOutcome_Stop();
// A shutdown was asked for (a signal) of a workflow run without a window: an entry that it cuts
// short has failed (a window run's orderly shutdown is no failure).
int64_t HostOutcome_SetStopping();
// What failed while a signal stopped the run (" in \"apply\": task ... - detail"), for the line
// that tells of the signal; 0 and an empty text when nothing did. Taken once: what is not taken
// is told at HostOutcome_Stop.
int64_t HostOutcome_TakeStoppedFailure(char* buffer, int32_t capacity);
// 1 once a workflow failed to load or an entry task of one ended in failure.
int64_t HostOutcome_Failed();
// 1 once such a failure has been told at ERROR (by this module, or by the loader).
int64_t HostOutcome_Told();
// Sets exit code 1 when a workflow failed and no End task or page chose a code; 1 when it did.
int64_t HostOutcome_ApplyExitCode();
// The skin folder whose files the content URL serves, so that places name files, not URLs.
int64_t HostOutcome_SetSkinFolder(const char* folder);
