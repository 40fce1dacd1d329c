// Buffered layer over a base stream: reads are served from a read buffer refilled in whole
// blocks, writes collect in a write buffer handed to the base in whole blocks.
#include "core/platform/buffered_stream.h"

#include <algorithm>
#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

// The read side and the write side never hold data at the same time: a write first gives up the
// read buffer (putting the base back at the logical position) and a read first flushes pending
// writes. So the logical position is always one of
//   BasePosition - (ReadFill - ReadOffset)   while read data is buffered,
//   BasePosition + WriteOffset               while write data is pending,
//   BasePosition                             otherwise.
struct BufferedStream {
    Class Header;
    ClassPrint Print;
    Stream StreamRecord;
    uint8_t* ReadBuffer;
    int32_t ReadSize;
    int32_t ReadFill;   // bytes held in the read buffer
    int32_t ReadOffset; // of those, bytes already handed out
    // Statistics for the efficiency report at Close; 64 bits so that a long life cannot wrap them.
    int64_t ReadCopies;
    int64_t ReadFills;
    uint8_t* WriteBuffer;
    int32_t WriteSize;
    int32_t WriteLength; // bytes held in the write buffer
    int32_t WriteOffset; // where the next byte goes; below WriteLength after a seek back
    int64_t WriteCopies;
    int64_t WriteFlushes;
    int64_t BasePosition; // where the base stands, as last learnt from a fill, flush, seek or tell
};

namespace {

enum class FlushOutcome { Nothing, Flushed, Failed };

constexpr int32_t kTraceLevel = 11;

void PreparePrint(BufferedStream* bs) {
    ClassPrint_Prepare(&bs->Print, bs, "BufferedStream", nullptr);
}

// Trace lines are formatted only when the object's verbose level asks for them.
template <typename... Args> void Trace(BufferedStream* bs, int32_t level, const char* format, Args... args) {
    if (BufferedStream_IsVerboseLevel(bs, level)) BufferedStream_PrintTabbed(bs, 0, format, args...);
}

Stream* Base(BufferedStream* bs) {
    return bs->StreamRecord.BaseStreamHandle;
}

// A failing base keeps its error on its own record; it is copied to this stream's record so that
// a consumer of the layer (a copy loop, a parser) can tell a failure from the end of the data.
// An old error of the base is put back when the call set none, as the copy loops do.
template <typename Call> int64_t CallBase(BufferedStream* bs, Stream* base, Call call) {
    const int32_t before = Stream_GetLastError(base);
    Stream_ClearLastError(base);
    const int64_t result = call();
    const int32_t after = Stream_GetLastError(base);
    if (after > 0) Stream_SetLastError(&bs->StreamRecord, after);
    if (after == 0) Stream_SetLastError(base, before);
    return result;
}

int64_t LogicalPosition(const BufferedStream* bs) {
    if (bs->ReadFill > 0) return bs->BasePosition - (bs->ReadFill - bs->ReadOffset);
    if (bs->WriteLength > 0) return bs->BasePosition + bs->WriteOffset;
    return bs->BasePosition;
}

// Hands the pending block to the base. On a refused base write the bytes not taken stay at the
// front of the buffer, so nothing accepted by Write is lost and a later flush can retry.
FlushOutcome FlushPending(BufferedStream* bs, Stream* base) {
    if (bs->WriteLength < 1) {
        bs->WriteLength = bs->WriteOffset = 0;
        return FlushOutcome::Nothing;
    }
    int32_t sent = 0;
    while (sent < bs->WriteLength) {
        const uint32_t asked = (uint32_t)(bs->WriteLength - sent);
        uint32_t took = 0;
        const int64_t ok =
            CallBase(bs, base, [&] { return Stream_Write(base, bs->WriteBuffer + sent, asked, &took); });
        if (took > asked) took = 0; // a count beyond the request cannot be trusted
        bs->WriteFlushes++;
        Trace(bs, kTraceLevel, "Write flush [%d:%d Len %d]\n", (int32_t)took, sent, bs->WriteLength);
        if (!ok || took == 0) {
            // What the base took before refusing is the base's now: kept, it would go out twice.
            sent += (int32_t)took;
            bs->BasePosition += took;
            memmove(bs->WriteBuffer, bs->WriteBuffer + sent, (size_t)(bs->WriteLength - sent));
            bs->WriteLength -= sent;
            bs->WriteOffset = bs->WriteOffset > sent ? bs->WriteOffset - sent : 0;
            return FlushOutcome::Failed;
        }
        sent += (int32_t)took;
        bs->BasePosition += took;
    }
    // After a seek back inside the pending block the next byte belongs before the end of what
    // went out; the base is put back there so that the flush does not move the position.
    const int32_t back = bs->WriteLength - bs->WriteOffset;
    bs->WriteLength = bs->WriteOffset = 0;
    if (back > 0) {
        if (!CallBase(bs, base,
                      [&] { return Stream_Seek(base, bs->BasePosition - back, SEEK_ORIGIN_BEGIN); }))
            return FlushOutcome::Failed;
        bs->BasePosition -= back;
    }
    return FlushOutcome::Flushed;
}

// Seeks the buffers cannot serve: pending writes go out, the base is moved to the target and the
// read buffer is given up. When the base refuses, the buffers still describe the base's position.
int64_t SeekBase(BufferedStream* bs, Stream* base, int64_t offset, SeekOrigin origin) {
    if (!Stream_CanSeek(base)) return 0;
    int64_t target = offset;
    if (origin == SEEK_ORIGIN_CURRENT && __builtin_add_overflow(LogicalPosition(bs), offset, &target))
        return 0;
    if (origin != SEEK_ORIGIN_END && target < 0) return 0;
    if (Stream_CanWrite(base) && FlushPending(bs, base) == FlushOutcome::Failed) return 0;
    const int64_t ok = CallBase(bs, base, [&] {
        return origin == SEEK_ORIGIN_END ? Stream_Seek(base, offset, SEEK_ORIGIN_END)
                                         : Stream_Seek(base, target, SEEK_ORIGIN_BEGIN);
    });
    if (!ok) return 0;
    bs->ReadFill = bs->ReadOffset = 0;
    if (origin == SEEK_ORIGIN_END) {
        uint64_t where = 0;
        if (Stream_Tell(base, &where) || Stream_Length(base, &where)) bs->BasePosition = (int64_t)where;
    } else {
        bs->BasePosition = target;
    }
    return 1;
}

int64_t DeleteObject(void** handle) {
    return BufferedStream_Delete(reinterpret_cast<BufferedStream**>(handle));
}

} // namespace

int64_t BufferedStream_Create(BufferedStream** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    BufferedStream* bs = static_cast<BufferedStream*>(Memory_AllocZero(sizeof(BufferedStream)));
    bs->Header.ClassId = BUFFERED_STREAM_CLASS_ID;
    bs->Header.RefCount = 1;
    bs->Header.Delete = DeleteObject;
    Stream& s = bs->StreamRecord;
    s.Handle = bs;
    s.Write = StreamSlot<BufferedStream_Write>::Call;
    s.Read = StreamSlot<BufferedStream_Read>::Call;
    s.Seek = StreamSlot<BufferedStream_Seek>::Call;
    s.Flush = StreamSlot<BufferedStream_Flush>::Call;
    s.Tell = StreamSlot<BufferedStream_Tell>::Call;
    s.Length = StreamSlot<BufferedStream_Length>::Call;
    s.IsOpen = StreamSlot<BufferedStream_IsOpen>::Call;
    s.Close = StreamSlot<BufferedStream_Close>::Call;
    *handle = bs;
    return 1;
}

int64_t BufferedStream_Delete(BufferedStream** handle) {
    ASSERT_POINTER(handle);
    BufferedStream* bs = *handle;
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    if (bs->ReadBuffer) Memory_Free(bs->ReadBuffer, bs->ReadSize);
    if (bs->WriteBuffer) Memory_Free(bs->WriteBuffer, bs->WriteSize);
    bs->Header.ClassId = 0;
    Memory_Free(bs, sizeof(BufferedStream));
    *handle = nullptr;
    return 1;
}

int64_t BufferedStream_AddRef(BufferedStream* bs) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    Class_AddRef(bs);
    return 1;
}

int64_t BufferedStream_Release(BufferedStream** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, BUFFERED_STREAM_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t BufferedStream_GetInstanceId(BufferedStream* bs, char* buffer, int32_t size) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, bs->Header.InstanceId, (int32_t)sizeof(bs->Header.InstanceId));
    return 1;
}

// The buffers are meant to be set before use. A buffer replaced later takes its counters with it,
// so they can never point past the new one; pending writes go to the base first.
int64_t BufferedStream_SetReadBufferSize(BufferedStream* bs, int32_t size) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    if (bs->ReadBuffer) Memory_Free(bs->ReadBuffer, bs->ReadSize);
    bs->ReadBuffer = nullptr;
    bs->ReadSize = 0;
    bs->ReadFill = bs->ReadOffset = 0;
    if (size >= 1) {
        bs->ReadBuffer = static_cast<uint8_t*>(Memory_Alloc(size));
        bs->ReadSize = size;
    }
    return 1;
}

int64_t BufferedStream_SetWriteBufferSize(BufferedStream* bs, int32_t size) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    Stream* base = Base(bs);
    if (base && Stream_CanWrite(base)) FlushPending(bs, base);
    if (bs->WriteBuffer) Memory_Free(bs->WriteBuffer, bs->WriteSize);
    bs->WriteBuffer = nullptr;
    bs->WriteSize = 0;
    bs->WriteLength = bs->WriteOffset = 0;
    if (size >= 1) {
        bs->WriteBuffer = static_cast<uint8_t*>(Memory_Alloc(size));
        bs->WriteSize = size;
    }
    return 1;
}

// The base may already stand past its start (a file opened for append, a memory stream that was
// just written); taking its position here keeps the absolute seeks of the layer right.
int64_t BufferedStream_SetBaseStreamHandle(BufferedStream* bs, Stream* base) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    Stream_SetBaseStreamHandle(&bs->StreamRecord, base);
    // Bytes read ahead from another base must not be served as this one's.
    bs->ReadFill = bs->ReadOffset = 0;
    bs->BasePosition = 0;
    uint64_t where = 0;
    if (base && Stream_Tell(base, &where)) bs->BasePosition = (int64_t)where;
    return 1;
}

int64_t BufferedStream_GetStreamHandle(BufferedStream* bs, Stream** stream) {
    ASSERT_POINTER(stream);
    *stream = nullptr;
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    *stream = &bs->StreamRecord;
    return 1;
}

int64_t BufferedStream_Read(BufferedStream* bs, void* buffer, uint32_t size, uint32_t* read) {
    ASSERT_POINTER(read);
    *read = 0;
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    ASSERT_POINTER(buffer);
    Stream* base = Base(bs);
    if (!base || !Stream_CanRead(base)) return 0;
    Trace(bs, kTraceLevel, "Read [Size %ld Pos %lld]", size, bs->BasePosition);
    if (bs->WriteLength > 0)
        Trace(bs, kTraceLevel, "Switch from write to read, not yet supported [%lld]", bs->BasePosition);
    if (size < 1) return 1;
    if (bs->ReadSize < 1) return 0;
    // Pending writes go out first: a fill would otherwise move the base past the place where they
    // belong, and the later flush would put them there.
    if (bs->WriteLength > 0) {
        if (!Stream_CanWrite(base) || FlushPending(bs, base) == FlushOutcome::Failed) return 0;
    }

    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t delivered = 0;
    while (delivered < size) {
        if (bs->ReadFill == 0 || bs->ReadOffset == bs->ReadFill) {
            if (bs->ReadFill == bs->ReadSize) bs->ReadFill = bs->ReadOffset = 0;
            const uint32_t asked = (uint32_t)(bs->ReadSize - bs->ReadFill);
            uint32_t got = 0;
            CallBase(bs, base, [&] { return Stream_Read(base, bs->ReadBuffer + bs->ReadFill, asked, &got); });
            if (got > asked) got = 0; // a count beyond the request cannot be trusted
            bs->ReadFills++;
            bs->ReadFill += (int32_t)got;
            bs->BasePosition += got;
            Trace(bs, kTraceLevel, "Filled [Read %d/%d Buf %d:%d Pos %lld]", (int32_t)got, (int32_t)asked,
                  bs->ReadOffset, bs->ReadFill, bs->BasePosition);
            // The base has run dry. What was delivered before is a successful short read, so a
            // copy through this layer passes the tail on; only an empty result means the end.
            if (got == 0) {
                *read = delivered;
                return delivered > 0;
            }
        }
        const uint32_t count = std::min(size - delivered, (uint32_t)(bs->ReadFill - bs->ReadOffset));
        memcpy(out + delivered, bs->ReadBuffer + bs->ReadOffset, count);
        bs->ReadOffset += (int32_t)count;
        delivered += count;
        bs->ReadCopies++;
        Trace(bs, kTraceLevel, "Emptied [Copied %d Remaining %d Buf %d:%d Pos %lld]", (int32_t)count,
              (int32_t)(size - delivered), bs->ReadOffset, bs->ReadFill, bs->BasePosition);
    }
    *read = size;
    return 1;
}

int64_t BufferedStream_Write(BufferedStream* bs, const void* data, uint32_t size, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    ASSERT_POINTER(data);
    Stream* base = Base(bs);
    if (!base || !Stream_CanWrite(base)) return 0;
    Trace(bs, kTraceLevel, "Write [Size %ld Len %d Pos %lld]", size, bs->WriteLength, bs->BasePosition);
    if (bs->WriteSize < 1) return 0;
    if (bs->ReadFill > 0) {
        // The base stands after the whole fill; the write belongs at the logical position. The
        // read buffer is given up only once the base has moved there.
        const int64_t logical = LogicalPosition(bs);
        Trace(bs, kTraceLevel, "Switch from read to write [%lld]", logical);
        if (!Stream_CanSeek(base)) return 0;
        if (!CallBase(bs, base, [&] { return Stream_Seek(base, logical, SEEK_ORIGIN_BEGIN); })) return 0;
        bs->BasePosition = logical;
        bs->ReadFill = bs->ReadOffset = 0;
    }

    const uint8_t* in = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    while (done < size) {
        const int32_t room = bs->WriteSize - bs->WriteOffset;
        if (room == 0) {
            if (FlushPending(bs, base) != FlushOutcome::Flushed) {
                // What went into the buffer is still held (or out) and is reported as taken.
                *written = done;
                return 0;
            }
            continue;
        }
        const uint32_t count = std::min(size - done, (uint32_t)room);
        memcpy(bs->WriteBuffer + bs->WriteOffset, in + done, count);
        bs->WriteOffset += (int32_t)count;
        bs->WriteLength = std::max(bs->WriteLength, bs->WriteOffset);
        done += count;
        bs->WriteCopies++;
        Trace(bs, kTraceLevel, "Write copy [Remaining %d Write %d:%d Len %d]", (int32_t)(size - done),
              bs->WriteOffset, bs->WriteSize, bs->WriteLength);
    }
    *written = size;
    return 1;
}

// Nothing pending is nothing failed: the answer is 1 then, so that a caller checking Flush after
// an empty document does not see an error.
int64_t BufferedStream_Flush(BufferedStream* bs) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    Stream* base = Base(bs);
    if (!base || !Stream_CanWrite(base)) return 0;
    return FlushPending(bs, base) != FlushOutcome::Failed;
}

int64_t BufferedStream_Seek(BufferedStream* bs, int64_t offset, SeekOrigin origin) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    Trace(bs, kTraceLevel, "Seek [Origin %d Offset %llu Pos %lld]\n", origin, offset, bs->BasePosition);
    Stream* base = Base(bs);
    if (!base) return 0;
    switch (origin) {
    case SEEK_ORIGIN_END:
        // The end of the pending block is the end of the stream only when the base holds nothing
        // beyond it; a base that cannot say is taken to end there.
        if (bs->WriteLength > 0 && offset == 0) {
            uint64_t length = 0;
            if (!Stream_Length(base, &length) || (int64_t)length <= bs->BasePosition + bs->WriteLength) {
                bs->WriteOffset = bs->WriteLength;
                return 1;
            }
        }
        break;
    case SEEK_ORIGIN_CURRENT:
        // Moves inside the buffered data, never before the start of a buffer.
        if (bs->ReadFill > 0) {
            if (offset >= -(int64_t)bs->ReadOffset && offset <= bs->ReadFill - bs->ReadOffset) {
                bs->ReadOffset += (int32_t)offset;
                return 1;
            }
        } else if (offset >= -(int64_t)bs->WriteOffset && offset <= bs->WriteLength - bs->WriteOffset) {
            bs->WriteOffset += (int32_t)offset;
            return 1;
        }
        break;
    case SEEK_ORIGIN_BEGIN:
        if (bs->WriteLength > 0 && offset >= bs->BasePosition &&
            offset - bs->BasePosition <= bs->WriteLength) {
            bs->WriteOffset = (int32_t)(offset - bs->BasePosition);
            return 1;
        }
        if (bs->ReadFill > 0 && offset >= bs->BasePosition - bs->ReadFill && offset < bs->BasePosition) {
            bs->ReadOffset = (int32_t)(offset - (bs->BasePosition - bs->ReadFill));
            return 1;
        }
        break;
    default:
        return 0;
    }
    return SeekBase(bs, base, offset, origin);
}

int64_t BufferedStream_Tell(BufferedStream* bs, uint64_t* position) {
    ASSERT_POINTER(position);
    *position = 0;
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    Stream* base = Base(bs);
    if (!base || !Stream_CanTell(base)) return 0;
    uint64_t where = 0;
    if (!Stream_Tell(base, &where)) return 0;
    bs->BasePosition = (int64_t)where;
    Trace(bs, kTraceLevel, "Tell [Pos %llu ReadPos %d WritePos %d]\n", where, bs->ReadOffset,
          bs->WriteOffset);
    const int64_t logical = LogicalPosition(bs);
    *position = logical > 0 ? (uint64_t)logical : 0;
    return 1;
}

int64_t BufferedStream_Length(BufferedStream* bs, uint64_t* length) {
    ASSERT_POINTER(length);
    *length = 0;
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    Stream* base = Base(bs);
    if (!base) return 0;
    return Stream_Length(base, length);
}

int64_t BufferedStream_IsOpen(BufferedStream* bs) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    Stream* base = Base(bs);
    if (!base) return 0;
    return Stream_IsOpen(base);
}

// A flush that fails here loses the pending bytes with the base's close, so Close then answers 0
// whatever the base answers.
int64_t BufferedStream_Close(BufferedStream* bs) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    Stream* base = Base(bs);
    FlushOutcome flushed = FlushOutcome::Nothing;
    if (base && Stream_CanWrite(base))
        flushed = FlushPending(bs, base);
    else if (bs->WriteLength > 0)
        flushed = FlushOutcome::Failed;
    Trace(bs, 0, "Close");
    if (bs->ReadCopies > 0 || bs->ReadFills > 0)
        Trace(bs, 0, "Read efficiency %.02f%%",
              (double)bs->ReadCopies / (double)(bs->ReadFills + bs->ReadCopies) * 100.0);
    if (bs->WriteCopies > 0 || bs->WriteFlushes > 0)
        Trace(bs, 0, "Write efficiency %.02f%%",
              (double)bs->WriteCopies / (double)(bs->WriteFlushes + bs->WriteCopies) * 100.0);
    bs->ReadFill = bs->ReadOffset = 0;
    const int64_t closed = base ? Stream_Close(base) : 0;
    return flushed == FlushOutcome::Failed ? 0 : closed;
}

int64_t BufferedStream_Print(BufferedStream* bs, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = BufferedStream_VPrint(bs, 0, format, args);
    va_end(args);
    return result;
}

int64_t BufferedStream_PrintTabbed(BufferedStream* bs, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = BufferedStream_VPrint(bs, indent, format, args);
    va_end(args);
    return result;
}

int64_t BufferedStream_VPrint(BufferedStream* bs, int32_t indent, const char* format, va_list args) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    ASSERT_POINTER(format);
    PreparePrint(bs);
    return ClassPrint_VPrint(&bs->Print, indent, format, args);
}

int64_t BufferedStream_SetPrintCallback(BufferedStream* bs, void* user, ClassPrintCallback callback) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    bs->Print.PrintUser = user;
    bs->Print.PrintCallback = callback;
    return 1;
}

int64_t BufferedStream_GetPrintCallback(BufferedStream* bs, void** user, ClassPrintCallback* callback) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    *user = nullptr;
    *callback = nullptr;
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    PreparePrint(bs);
    *user = bs->Print.PrintUser;
    *callback = bs->Print.PrintCallback;
    return 1;
}

int64_t BufferedStream_SetPrintIdentifier(BufferedStream* bs, const char* text) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    bs->Print.Identifier = text;
    return 1;
}

int64_t BufferedStream_SetVerbose(BufferedStream* bs, uint32_t flag) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    bs->Print.Verbose = (int32_t)flag;
    return 1;
}

int64_t BufferedStream_GetVerbose(BufferedStream* bs, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    *flag = (uint32_t)bs->Print.Verbose;
    return 1;
}

int64_t BufferedStream_IsVerboseLevel(BufferedStream* bs, int32_t level) {
    CLASS_CHECK(bs, BUFFERED_STREAM_CLASS_ID);
    PreparePrint(bs);
    return ClassPrint_IsVerboseLevel(&bs->Print, level);
}
