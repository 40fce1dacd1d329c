// An output file that appears only when complete: bytes go to a private file beside the target,
// which takes the target's name in one step once everything was written, and is removed otherwise.
#pragma once

#include <cstdint>

struct ExtractOutput {
    int32_t DirectoryFd; // -1 when closed
    int32_t Fd;
    char Name[320];
    char TemporaryName[340];
};

void ExtractOutput_Clear(ExtractOutput* output);
int64_t ExtractOutput_IsOpen(const ExtractOutput* output);
// The path's directory must exist; the file made beside the target is new (0600) and private.
int64_t ExtractOutput_Open(ExtractOutput* output, const char* path);
int64_t ExtractOutput_Write(ExtractOutput* output, const void* data, uint32_t length);
// Syncs and renames over the target (a link at the target is replaced, never followed).
int64_t ExtractOutput_Commit(ExtractOutput* output);
// Throws the partial file away; the target is left as it was. 1, also when nothing is open.
int64_t ExtractOutput_Abort(ExtractOutput* output);
