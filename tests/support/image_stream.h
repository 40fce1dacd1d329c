// Streams over program files for the PE and ELF reader tests: a file on disk or bytes in memory.
#pragma once

#include <string>

#include "core/platform/file.h"
#include "core/platform/memory_stream.h"

class FileStreamFixture {
  public:
    explicit FileStreamFixture(const std::string& path) {
        File_Create(&file_);
        if (File_Open(file_, path.c_str(), FILE_READ | FILE_QUIET)) File_GetStreamHandle(file_, &stream_);
    }
    ~FileStreamFixture() {
        File_Close(file_);
        File_Release(&file_);
    }
    Stream* stream() const { return stream_; }

  private:
    File* file_ = nullptr;
    Stream* stream_ = nullptr;
};

class BytesStream {
  public:
    explicit BytesStream(std::string bytes) : bytes_(std::move(bytes)) {
        MemoryStream_Create(&memory_);
        MemoryStream_SetPointer(memory_, bytes_.data(), (uint32_t)bytes_.size(), (uint32_t)bytes_.size());
        MemoryStream_GetStreamHandle(memory_, &stream_);
    }
    ~BytesStream() { MemoryStream_Release(&memory_); }
    Stream* stream() {
        Stream_Seek(stream_, 0, SEEK_ORIGIN_BEGIN);
        return stream_;
    }

  private:
    std::string bytes_;
    MemoryStream* memory_ = nullptr;
    Stream* stream_ = nullptr;
};
