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
// In the reporter: once the crashed process has let go of the dump `id` (bounded wait), sends its
// events with the dump added (or the crash event made from the dump alone) under the crashed
// process's session, then deletes its files. A dump someone else handed over is not sent again. 1.
int64_t CrashReport_SendDump(const char* id, const char* session);
int64_t CrashReport_DeleteDump(const char* id);
// "<dump directory>/<id><extension>"; 0 when it does not fit.
int64_t CrashReport_BuildFilename(const char* id, const char* extension, char* buffer, int32_t capacity);
