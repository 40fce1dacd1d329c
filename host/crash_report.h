// Crash reporting: a crash leaves a dump and an analytics event file, and a second copy of the
// executable in the crash-reporter role sends the events and deletes both files.
#pragma once
#include <cstdint>

// 1, or what installing the crash handler answered.
int64_t CrashReport_Init();
int64_t CrashReport_Remove();
// Whether the "crashreport" switch is set.
int64_t CrashReport_IsReporting();
// The crash callback (on the crash thread of the crashed process): starts the reporter from the
// launch prepared by CrashReport_Init, then saves the queued events; 1 when the reporter started.
int64_t CrashReport_ExceptionCallback(void* context, const char* dumpDirectory, const char* minidumpId,
                                      uint32_t succeeded);
// In the reporter, before it asks the user: marks the dump `id` as this reporter's (a second
// reporter of the same crash leaves it alone) and waits, bounded, until the crashed process or
// the start that handed it over has let go of it. The claim is kept until the process ends. 1
// when taken; 0, logged, when the dump is gone, offered by another reporter, still in use, not
// ours, or cannot be locked: it is then left as it is.
int64_t CrashReport_ClaimDump(const char* id);
// In the reporter: sends the events of the claimed dump `id` (claimed now when not yet) with the
// dump added (or the crash event made from the dump alone) under the crashed process's session,
// and deletes its files once the post succeeded; a failed post is an ERROR line and the files
// stay for a later start. A dump someone else handed over is not sent again. 1.
int64_t CrashReport_SendDump(const char* id, const char* session);
// The reporter's work: claims the dump `id`, then sends it when `autoSend`, else asks the user
// ("Crash_Message", "Crash_Title") and sends it or deletes it as answered. Where no question can
// be asked (no display) nobody declined: the dump is kept for a later start, with an ERROR line. 1.
int64_t CrashReport_Offer(const char* id, const char* session, uint32_t autoSend);
// Deletes the files of the claimed dump `id` (claimed now when not yet). 1.
int64_t CrashReport_DeleteDump(const char* id);
// "<dump directory>/<id><extension>"; 0 when it does not fit.
int64_t CrashReport_BuildFilename(const char* id, const char* extension, char* buffer, int32_t capacity);
