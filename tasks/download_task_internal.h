// What the Download type's files share: the instance, its flags, and the status update that the
// request side calls.
#pragma once
#include <cstdint>

#include "core/runtime/dictionary.h"
#include "core/runtime/meter_rw.h"
#include "core/web/web_get_request.h"
#include "tasks/download_task.h"
#include "tasks/task_base.h"

enum : uint32_t {
    DOWNLOAD_FLAG_ALLOW_SKIP = 0x1,
    DOWNLOAD_FLAG_ALLOW_HEAD = 0x2,
    DOWNLOAD_FLAG_PAUSED = 0x4,
    DOWNLOAD_FLAG_SKIPPED = 0x8,
    // This request writes the file (else it is a probe).
    DOWNLOAD_FLAG_FILE_OUTPUT = 0x10,
    // The total has been taken from a probe.
    DOWNLOAD_FLAG_LENGTH_KNOWN = 0x20,
    // A byte range may be asked for.
    DOWNLOAD_FLAG_RANGE_SUPPORTED = 0x40,
};

enum : int32_t {
    DOWNLOAD_URL_SIZE = 8192,
    DOWNLOAD_PATH_SIZE = 320,
};

struct DownloadTask {
    TaskBase Base;
    WebGetRequest* Request;
    int64_t TotalBytes;
    int64_t ExistingBytes;
    // Whether the total came from an answer that stated a length: without one the size of the
    // file says nothing about whether it is complete.
    uint32_t LengthGiven;
    char OutputPath[DOWNLOAD_PATH_SIZE];
    // Where the bytes go until the file is whole: "<output>.partial" beside it, renamed over the
    // output at the end. When that name is taken by what is not ours, a name of our own making
    // ("<output>.partial-<random>") that no later run can resume and that goes at any ending.
    char PartPath[DOWNLOAD_PATH_SIZE + 48];
    uint32_t PartIsOwnName;
    // The bytes already there are in the partial file (else in the output, from an earlier run).
    uint32_t ExistingInPart;
    uint32_t AllowResume;
    int32_t RetryCount;
    double MaxRetries;
    double RetryTime;
    uint32_t Flags;
    // Between Start and completion: pause, resume and skip act only then.
    uint32_t Running;
    uint32_t Ticking;
    uint32_t SampleCount;
    double ReadSamples[DOWNLOAD_SPEED_SAMPLES];
    double WriteSamples[DOWNLOAD_SPEED_SAMPLES];
    MeterRW* Meter;
    // The connection meter last linked under it (compared only, never used: it is not held).
    const MeterRW* LinkedMeter;
    Dictionary* Scratch;
    Dictionary* Published;
    uint32_t Changed;
    double NextUpdate;
    double PeriodStart;
    double ActiveTime;
    double PauseTime;
    int32_t Phase;
    int64_t FilePosition;
    char Name[WEBGET_REQUEST_FILENAME_SIZE];
};

// Rebuilds the status (at most once a second unless forced) and fires "Download"/"Status" when
// a value changed.
void DownloadTask_UpdateStatus(DownloadTask* self, bool force);
// Links the meter of the request's connection under the download's own.
void DownloadTask_AttachMeter(DownloadTask* self);
// The change callbacks of the published status and the samples reset of a pause.
void DownloadTask_WatchPublished(DownloadTask* self);
