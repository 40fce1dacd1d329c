// The Download task type: fetches one URL into a file on the main thread, probing a file already
// there, resuming or replacing it, retrying failed transfers, and answering pause, resume and skip.
#pragma once
#include <cstdint>

#include "workflow/task.h"

enum : uint32_t { DOWNLOADTASK_CLASS_ID = 0xd518cae0 };

enum : int32_t {
    // Samples in each window of the average read and write speeds.
    DOWNLOAD_SPEED_SAMPLES = 12,
};

extern const TaskInterface Download_Interface;

// Puts the type in the engine's table of built-in types. Returns 1.
int64_t DownloadTasks_Register();

// The file name a URL gives: its last path segment without query and fragment, percent-decoded.
// 0 and an empty out when that is no name of a file in a folder (see Download_IsUsableFilename)
// or does not fit capacity.
int64_t Download_FilenameFromURL(const char* url, char* out, int32_t capacity);
// 1 for a name that stays within its folder: not empty, ".", or "..", and without a separator.
int64_t Download_IsUsableFilename(const char* name);
// Seconds to wait before a retry, by the count of retries made before it.
double Download_RetryDelay(int32_t count);
