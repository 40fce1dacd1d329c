// The Download type's published status (byte counts, speeds and their averages, remaining time,
// active and paused time), and the rule that turns a URL into the name of the file it is saved to.
#include <cstring>

#include "core/formats/url.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "tasks/download_task_internal.h"

namespace {

constexpr double kUpdateInterval = 1.0;

int64_t OnPublishedChange(DownloadTask* self) {
    self->Changed = 1;
    return 1;
}

// Adds the value to the window; answers the sum of the values held before it.
double Sample(double* window, double value) {
    double sum = 0;
    for (int32_t i = 0; i < DOWNLOAD_SPEED_SAMPLES; i++) sum += window[i];
    memmove(window, window + 1, sizeof(double) * (DOWNLOAD_SPEED_SAMPLES - 1));
    window[DOWNLOAD_SPEED_SAMPLES - 1] = value;
    return sum;
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Bytes the percent-decoder makes of the text (each valid "%XX" one byte).
int32_t DecodedLength(const char* text, int32_t length) {
    int32_t count = 0;
    for (int32_t i = 0; i < length; count++)
        i += text[i] == '%' && length - i >= 3 && IsHex(text[i + 1]) && IsHex(text[i + 2]) ? 3 : 1;
    return count;
}

} // namespace

void DownloadTask_WatchPublished(DownloadTask* self) {
    Dictionary_SetItemRemoveCallback(self->Published, self, [](Dictionary*, DictionaryItem*, void* context,
                                                               const char*) -> int64_t {
        return OnPublishedChange(static_cast<DownloadTask*>(context));
    });
    Dictionary_SetItemKeyChangeCallback(self->Published, self, [](Dictionary*, DictionaryItem*, void* context,
                                                                  const char*, const char*) -> int64_t {
        return OnPublishedChange(static_cast<DownloadTask*>(context));
    });
    Dictionary_SetItemValueChangeCallback(self->Published, self,
                                          [](Dictionary*, DictionaryItem*, void* context, const char*, const char*,
                                             uint32_t) -> int64_t {
                                              return OnPublishedChange(static_cast<DownloadTask*>(context));
                                          });
}

void DownloadTask_UpdateStatus(DownloadTask* self, bool force) {
    const double now = Time_GetCurrent();
    if (!force && now < self->NextUpdate) return;
    const bool paused = (self->Flags & DOWNLOAD_FLAG_PAUSED) != 0;
    if (!paused && self->Request) {
        char url[DOWNLOAD_URL_SIZE];
        if (WebGetRequest_GetURL(self->Request, url, sizeof(url)) &&
            !Download_FilenameFromURL(url, self->Name, sizeof(self->Name)))
            self->Name[0] = 0;
        WebGetRequest_GetPhase(self->Request, &self->Phase);
        WebGetRequest_GetFilePosition(self->Request, &self->FilePosition);
        if (self->Phase < WEBGET_PHASE_DONE) DownloadTask_AttachMeter(self);
    }
    Dictionary* d = self->Scratch;
    Dictionary_AddString(d, "task", self->Base.TaskId, nullptr);
    if (self->Name[0]) Dictionary_AddString(d, "name", self->Name, nullptr);
    Dictionary_AddBoolean(d, "paused", paused, nullptr);
    Dictionary_AddBoolean(d, "active", !paused, nullptr);
    Dictionary_AddBoolean(d, "skipped", (self->Flags & DOWNLOAD_FLAG_SKIPPED) != 0, nullptr);
    Dictionary_AddInt64(d, "totalBytes", self->TotalBytes, nullptr);
    Dictionary_AddInt64(d, "existingBytes", self->ExistingBytes, nullptr);
    int64_t position = 0, remaining = 0;
    if (self->TotalBytes > 0 && self->Phase >= WEBGET_PHASE_AUTHENTICATE) {
        position = self->ExistingBytes == self->TotalBytes ? self->TotalBytes : self->FilePosition;
        remaining = self->TotalBytes - position;
        Dictionary_AddFloat64(d, "progress", (double)position / (double)self->TotalBytes, nullptr);
    }
    uint64_t read = 0, write = 0;
    MeterRW_GetOverallUsage(self->Meter, &read, &write);
    Dictionary_AddInt64(d, "remoteReadBytes", (int64_t)read, nullptr);
    Dictionary_AddInt64(d, "remoteWriteBytes", (int64_t)write, nullptr);
    double readSpeed = 0, writeSpeed = 0;
    MeterRW_GetCurrentBandwidth(self->Meter, &readSpeed, &writeSpeed);
    Dictionary_AddFloat64(d, "remoteReadSpeed", readSpeed, nullptr);
    Dictionary_AddFloat64(d, "remoteWriteSpeed", writeSpeed, nullptr);
    Dictionary_AddInt64(d, "completeBytes", position, nullptr);
    Dictionary_AddInt64(d, "remainingBytes", remaining, nullptr);

    double averageRead = -1, averageWrite = -1;
    if (!paused) {
        const double readSum = Sample(self->ReadSamples, readSpeed);
        const double writeSum = Sample(self->WriteSamples, writeSpeed);
        if (self->SampleCount < DOWNLOAD_SPEED_SAMPLES) self->SampleCount++;
        if (self->SampleCount >= DOWNLOAD_SPEED_SAMPLES) {
            averageRead = readSum / (double)DOWNLOAD_SPEED_SAMPLES;
            averageWrite = writeSum / (double)DOWNLOAD_SPEED_SAMPLES;
        }
    }
    const double remainingTime = paused || averageRead <= 0 ? -1 : (double)remaining / averageRead;
    Dictionary_AddFloat64(d, "remainingTime", remainingTime, nullptr);
    Dictionary_AddBoolean(d, "canPauseResume", remaining > 0, nullptr);
    Dictionary_AddFloat64(d, "remoteAvgReadSpeed", averageRead, nullptr);
    Dictionary_AddFloat64(d, "remoteAvgWriteSpeed", averageWrite, nullptr);
    double maxRead = 0, maxWrite = 0;
    MeterRW_GetMaxBandwidth(self->Meter, &maxRead, &maxWrite);
    Dictionary_AddFloat64(d, "remoteMaxReadSpeed", maxRead, nullptr);
    Dictionary_AddFloat64(d, "remoteMaxWriteSpeed", maxWrite, nullptr);
    Dictionary_AddBoolean(d, "supportResume", 1, nullptr);
    Dictionary_AddBoolean(d, "supportPause", 1, nullptr);
    Dictionary_AddBoolean(d, "supportSkip", (self->Flags & DOWNLOAD_FLAG_ALLOW_SKIP) != 0, nullptr);
    const double open = self->PeriodStart > 0 ? now - self->PeriodStart : 0;
    Dictionary_AddFloat64(d, "activeTime", self->ActiveTime + (paused ? 0 : open), nullptr);
    Dictionary_AddFloat64(d, "pauseTime", self->PauseTime + (paused ? open : 0), nullptr);

    uint32_t before = 0, after = 0;
    Dictionary_ItemGetCount(self->Published, &before);
    Dictionary_Sync(self->Published, d, nullptr, nullptr);
    Dictionary_ItemGetCount(self->Published, &after);
    if (before != after) self->Changed = 1;
    if (self->Changed) {
        NotificationCenter_FireAfterDelay("Download", "Status", self->Base.Header.InstanceId, 0, self->Published);
        self->Changed = 0;
    }
    self->NextUpdate = now + kUpdateInterval;
    Dictionary_Reset(d);
}

int64_t Download_IsUsableFilename(const char* name) {
    if (!name || !name[0] || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    return strpbrk(name, "/\\") ? 0 : 1;
}

int64_t Download_FilenameFromURL(const char* url, char* out, int32_t capacity) {
    if (!out || capacity < 1) return 0;
    out[0] = 0;
    if (!url) return 0;
    const char* segment = nullptr;
    if (!URL_ParseFilenamePtr(url, &segment) || !segment) return 0;
    const int32_t length = (int32_t)strcspn(segment, "?#");
    const int32_t decoded = DecodedLength(segment, length);
    // A name cut to the buffer, or one that a decoded NUL would cut short, names another file.
    if (decoded >= capacity) return 0;
    URL_Decode(segment, length, out, capacity);
    if ((int32_t)strlen(out) != decoded || !Download_IsUsableFilename(out)) {
        out[0] = 0;
        return 0;
    }
    return 1;
}
