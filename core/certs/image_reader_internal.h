// Bounded random access to a program file through a stream: every read names an offset from the
// position where reading began and must lie wholly inside the file, or it fails.
#pragma once

#include <cstdint>

#include "core/platform/file.h"
#include "core/platform/path.h"
#include "core/platform/stream.h"

struct ImageReader {
    Stream* Source = nullptr;
    uint64_t Base = 0;
    // Bytes from Base to the end; UINT64_MAX when the stream cannot say (reads then fail short).
    uint64_t Length = UINT64_MAX;

    ImageReader() = default;
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;
    // Every reader leaves the stream where it found it, so calls can follow one another.
    ~ImageReader() {
        if (Source) Stream_Seek(Source, (int64_t)Base, SEEK_ORIGIN_BEGIN);
    }

    bool Start(Stream* stream) {
        if (!stream || !Stream_Tell(stream, &Base)) return false;
        Source = stream;
        uint64_t end = 0;
        if (Stream_Length(stream, &end)) {
            Length = end >= Base ? end - Base : 0;
        } else if (Stream_Seek(stream, 0, SEEK_ORIGIN_END) && Stream_Tell(stream, &end)) {
            Length = end >= Base ? end - Base : 0;
        }
        return Stream_Seek(stream, (int64_t)Base, SEEK_ORIGIN_BEGIN) != 0;
    }

    bool Fits(uint64_t offset, uint64_t size) const { return offset <= Length && size <= Length - offset; }

    // Exactly size bytes at offset, or false.
    bool Read(uint64_t offset, void* buffer, uint64_t size) {
        if (!Fits(offset, size) || offset > (uint64_t)INT64_MAX - Base) return false;
        if (!Stream_Seek(Source, (int64_t)(Base + offset), SEEK_ORIGIN_BEGIN)) return false;
        uint8_t* at = static_cast<uint8_t*>(buffer);
        while (size > 0) {
            const uint32_t part = size > 0x10000000u ? 0x10000000u : (uint32_t)size;
            uint32_t got = 0;
            Stream_Read(Source, at, part, &got);
            if (got == 0) return false;
            at += got;
            size -= got;
        }
        return true;
    }
};

// Exactly size bytes at an offset from the start of the stream, or false; no bound but the file's.
inline bool ImageReadAt(Stream* stream, uint64_t offset, void* buffer, uint32_t size) {
    if (offset > (uint64_t)INT64_MAX) return false;
    if (!Stream_Seek(stream, (int64_t)offset, SEEK_ORIGIN_BEGIN)) return false;
    uint32_t done = 0;
    while (done < size) {
        uint32_t n = 0;
        Stream_Read(stream, static_cast<uint8_t*>(buffer) + done, size - done, &n);
        if (n == 0) return false;
        done += n;
    }
    return true;
}

inline uint16_t ImageU16(const uint8_t* p, bool big = false) {
    return big ? (uint16_t)(p[0] << 8 | p[1]) : (uint16_t)(p[0] | p[1] << 8);
}
inline uint32_t ImageU32(const uint8_t* p, bool big = false) {
    return big ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
               : (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
inline uint64_t ImageU64(const uint8_t* p, bool big = false) {
    return big ? (uint64_t)ImageU32(p, true) << 32 | ImageU32(p + 4, true)
               : (uint64_t)ImageU32(p + 4) << 32 | ImageU32(p);
}

// Opens a regular file for reading without retries; the caller deletes the File.
inline bool ImageOpenFile(const char* path, File** file, Stream** stream) {
    *file = nullptr;
    *stream = nullptr;
    if (!path || !path[0] || Path_IsDirectory(path)) return false;
    File_Create(file);
    File_SetRetries(*file, 1);
    if (!File_Open(*file, path, FILE_READ | FILE_QUIET) || !File_GetStreamHandle(*file, stream)) {
        File_Delete(file);
        return false;
    }
    return true;
}

inline void ImageCloseFile(File** file) {
    if (!*file) return;
    File_Close(*file);
    File_Delete(file);
}
