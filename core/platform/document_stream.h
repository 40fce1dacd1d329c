// Moving a whole document between its module's stream reader or writer and a file, a caller's
// buffer or a counting null stream, so that every format sets these up the same way.
#pragma once

#include <cstdint>

#include "core/platform/stream.h"

// A format's stream reader or writer, called with the document object.
typedef int64_t (*DocumentStreamFunc)(void* document, Stream* stream);

// Adapts a typed Module_LoadStream / Module_SaveStream to DocumentStreamFunc.
template <typename T, int64_t (*Function)(T*, Stream*)> int64_t DocumentStreamCall(void* document, Stream* stream) {
    return Function(static_cast<T*>(document), stream);
}

// Opens the file for shared reading and hands its stream (through a read buffer of that many
// bytes, none when 0) to load. -1 when the file cannot be opened, nothing read; else load's answer.
int64_t Document_LoadFile(void* document, DocumentStreamFunc load, const char* path, int32_t readBuffer);
// Opens the file to be replaced whole and hands its stream (through a write buffer of that many
// bytes, none when 0) to save: the new text takes the old one's place only when save, the flushes,
// the truncation and the close all succeeded, so a failed save never leaves a half-written file.
// -1 when the file cannot be opened; else 1 or 0.
int64_t Document_SaveFile(void* document, DocumentStreamFunc save, const char* path, int32_t writeBuffer);
// Saves into the caller's buffer of capacity bytes; *length is what was written.
int64_t Document_SaveBuffer(void* document, DocumentStreamFunc save, void* buffer, uint32_t capacity,
                            uint32_t* length);
// Saves into a counting null stream; *length is the size the text would have.
int64_t Document_SaveEstimate(void* document, DocumentStreamFunc save, uint32_t* length);
