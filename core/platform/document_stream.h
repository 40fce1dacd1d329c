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

// Opens the regular file at the path (never waiting: a FIFO, device or directory is refused) and
// hands its stream (through a read buffer of that many bytes, none when 0) to load. -1 when the
// file cannot be opened, nothing read; else load's answer.
int64_t Document_LoadFile(void* document, DocumentStreamFunc load, const char* path, int32_t readBuffer);
// Writes the document into a new private file beside the one at the path (through a write buffer
// of that many bytes, none when 0) and, when save and the sync succeeded, renames it over the old
// name: the path then holds the whole new text, or, on any failure, exactly what it held before.
// A link at the path stays a link to a file that gets the new text (in a directory others can
// write, only our own link in a sticky one: any other is refused); a file with further hard
// links gets the new text under this name only, the other names keep the old text. Only a
// regular file, or none, can be replaced. -1 when no new file can be made there (nothing was
// touched); else 1 or 0.
int64_t Document_SaveFile(void* document, DocumentStreamFunc save, const char* path, int32_t writeBuffer);
// Saves into the caller's buffer of capacity bytes; *length is what was written.
int64_t Document_SaveBuffer(void* document, DocumentStreamFunc save, void* buffer, uint32_t capacity,
                            uint32_t* length);
// Saves into a counting null stream; *length is the size the text would have.
int64_t Document_SaveEstimate(void* document, DocumentStreamFunc save, uint32_t* length);
