#include "core/platform/stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "core/platform/memory_stream.h"
#include "tests/core/platform/stream_contract.h"
#include "tests/support/abort_hook.h"

namespace {

using stream_contract::Pattern;

// A kind whose every slot records its arguments and answers what the test scripted.
struct Recorder {
    Stream Record{};
    int64_t Answer = 1;
    uint32_t Count = 0; // what the slot reports through its out-count
    uint32_t CountOnEntry = 0xFFFFFFFF;
    const void* Buffer = nullptr;
    uint32_t Size = 0;
    uint64_t Offset = 0;
    int64_t SeekOffset = 0;
    SeekOrigin Origin = 0;
    void* User = nullptr;
    StreamCompletionFunc Completion = nullptr;
    void* Handle = nullptr;
    std::string Last;

    static Recorder* Of(void* h) { return static_cast<Recorder*>(h); }
    static int64_t Counted(void* h, const char* name, const void* b, uint32_t n, uint32_t* c) {
        Recorder* r = Of(h);
        r->Handle = h;
        r->Last = name;
        r->Buffer = b;
        r->Size = n;
        r->CountOnEntry = *c;
        *c = r->Count;
        return r->Answer;
    }
    static int64_t Peek(void* h, void* b, uint32_t n, uint32_t* c) { return Counted(h, "Peek", b, n, c); }
    static int64_t Write(void* h, const void* b, uint32_t n, uint32_t* c) {
        return Counted(h, "Write", b, n, c);
    }
    static int64_t Read(void* h, void* b, uint32_t n, uint32_t* c) { return Counted(h, "Read", b, n, c); }
    static int64_t Async(void* h, const char* name, uint64_t offset, const void* b, uint32_t n, void* user,
                         StreamCompletionFunc completion) {
        Recorder* r = Of(h);
        r->Handle = h;
        r->Last = name;
        r->Offset = offset;
        r->Buffer = b;
        r->Size = n;
        r->User = user;
        r->Completion = completion;
        return r->Answer;
    }
    static int64_t WriteAsync(void* h, uint64_t o, const void* b, uint32_t n, void* u,
                              StreamCompletionFunc f) {
        return Async(h, "WriteAsync", o, b, n, u, f);
    }
    static int64_t ReadAsync(void* h, uint64_t o, void* b, uint32_t n, void* u, StreamCompletionFunc f) {
        return Async(h, "ReadAsync", o, b, n, u, f);
    }
    static int64_t Seek(void* h, int64_t offset, SeekOrigin origin) {
        Recorder* r = Of(h);
        r->Last = "Seek";
        r->SeekOffset = offset;
        r->Origin = origin;
        return r->Answer;
    }
    static int64_t Plain(void* h, const char* name) {
        Of(h)->Last = name;
        return Of(h)->Answer;
    }
    static int64_t Flush(void* h) { return Plain(h, "Flush"); }
    static int64_t IsOpen(void* h) { return Plain(h, "IsOpen"); }
    static int64_t Close(void* h) { return Plain(h, "Close"); }
    static int64_t Tell(void* h, uint64_t* p) {
        *p = Of(h)->Offset;
        return Plain(h, "Tell");
    }
    static int64_t Length(void* h, uint64_t* p) {
        *p = Of(h)->Offset;
        return Plain(h, "Length");
    }

    Recorder() {
        Record.Handle = this;
        Record.Peek = Peek;
        Record.Write = Write;
        Record.WriteAsync = WriteAsync;
        Record.Read = Read;
        Record.ReadAsync = ReadAsync;
        Record.Seek = Seek;
        Record.Flush = Flush;
        Record.Tell = Tell;
        Record.Length = Length;
        Record.IsOpen = IsOpen;
        Record.Close = Close;
    }
};

int64_t Done(void*, void*, uint64_t, void*, uint32_t, int32_t) {
    return 1;
}

TEST(Stream, DispatchForwardsArgumentsAndResults) {
    Recorder r;
    Stream* s = &r.Record;
    uint8_t buffer[32];
    for (int64_t answer : {1, 0}) {
        SCOPED_TRACE(answer);
        r.Answer = answer;
        r.Count = 7;
        struct Call {
            const char* Name;
            int64_t (*Fn)(Stream*, uint8_t*, uint32_t*);
        };
        const Call calls[] = {
            {"Peek", [](Stream* st, uint8_t* b, uint32_t* c) { return Stream_Peek(st, b, 21, c); }},
            {"Write", [](Stream* st, uint8_t* b, uint32_t* c) { return Stream_Write(st, b, 21, c); }},
            {"Read", [](Stream* st, uint8_t* b, uint32_t* c) { return Stream_Read(st, b, 21, c); }},
        };
        for (const Call& call : calls) {
            SCOPED_TRACE(call.Name);
            uint32_t count = 12345;
            EXPECT_EQ(call.Fn(s, buffer, &count), answer);
            EXPECT_EQ(r.Last, call.Name);
            EXPECT_EQ(r.Handle, &r);
            EXPECT_EQ(r.Buffer, buffer);
            EXPECT_EQ(r.Size, 21u);
            EXPECT_EQ(r.CountOnEntry, 0u) << "the count is zeroed before the slot runs";
            EXPECT_EQ(count, 7u) << "the slot's count comes back";
        }
        int marker = 0;
        EXPECT_EQ(Stream_WriteAsync(s, 0x123456789ull, buffer, 9, &marker, Done), answer);
        EXPECT_EQ(r.Last, "WriteAsync");
        EXPECT_EQ(r.Offset, 0x123456789ull);
        EXPECT_EQ(r.Size, 9u);
        EXPECT_EQ(r.User, &marker);
        EXPECT_EQ(r.Completion, &Done);
        EXPECT_EQ(Stream_ReadAsync(s, 77, buffer, 3, nullptr, nullptr), answer);
        EXPECT_EQ(r.Last, "ReadAsync");
        EXPECT_EQ(r.Offset, 77u);
        EXPECT_EQ(r.Completion, nullptr) << "arguments go to the slot unchanged";
        EXPECT_EQ(Stream_Seek(s, -5, 7), answer);
        EXPECT_EQ(r.SeekOffset, -5);
        EXPECT_EQ(r.Origin, 7u) << "any origin reaches the kind";
        EXPECT_EQ(Stream_Flush(s), answer);
        EXPECT_EQ(r.Last, "Flush");
        EXPECT_EQ(Stream_IsOpen(s), answer);
        EXPECT_EQ(r.Last, "IsOpen");
        EXPECT_EQ(Stream_Close(s), answer);
        EXPECT_EQ(r.Last, "Close");
        uint64_t value = 0;
        r.Offset = 99;
        EXPECT_EQ(Stream_Tell(s, &value), answer);
        EXPECT_EQ(value, 99u);
        EXPECT_EQ(Stream_Length(s, &value), answer);
        EXPECT_EQ(r.Last, "Length");
    }
    EXPECT_EQ(Stream_GetLastError(s), 0) << "dispatch never sets an error";
}

// A kind with every slot empty, and one like a pipe without Seek, Tell and Length.
TEST(Stream, EmptySlotsAnswerZero) {
    stream_contract::StreamKind none;
    none.Name = "no slots";
    none.Make = [](const std::vector<uint8_t>&) {
        Stream* s = new Stream{};
        s->Handle = s;
        return s;
    };
    none.Destroy = [](Stream* s) { delete s; };
    none.Slots = 0;
    stream_contract::CheckSlots(none);
    stream_contract::CheckEmptySlots(none);
    stream_contract::CheckLastError(none);

    Recorder r;
    r.Record.Seek = nullptr;
    r.Record.Tell = nullptr;
    r.Record.Length = nullptr;
    EXPECT_EQ(Stream_CanSeek(&r.Record), 0);
    EXPECT_EQ(Stream_Seek(&r.Record, 0, SEEK_ORIGIN_BEGIN), 0);
    uint64_t position = 55;
    EXPECT_EQ(Stream_Tell(&r.Record, &position), 0);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(Stream_CanRead(&r.Record), 1);
}

TEST(Stream, LastErrorAndBase) {
    Stream s{};
    const struct {
        int32_t Code;
        int64_t HasError;
    } cases[] = {{0, 0}, {-1, 0}, {-25300, 0}, {1, 1}, {100002, 1}, {INT32_MAX, 1}, {INT32_MIN, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(Stream_SetLastError(&s, c.Code), 1);
        EXPECT_EQ(Stream_GetLastError(&s), c.Code);
        EXPECT_EQ(Stream_HasError(&s), c.HasError) << c.Code;
    }
    EXPECT_EQ(Stream_ClearLastError(&s), 1);
    EXPECT_EQ(s.LastError, 0);
    Stream base{};
    EXPECT_EQ(Stream_SetBaseStreamHandle(&s, &base), 1);
    EXPECT_EQ(s.BaseStreamHandle, &base);
    EXPECT_EQ(Stream_SetBaseStreamHandle(&s, nullptr), 1);
    EXPECT_EQ(s.BaseStreamHandle, nullptr);
}

TEST(Stream, NullArgumentsAbort) {
    Recorder r;
    Stream* s = &r.Record;
    uint8_t b[4];
    uint32_t c = 0;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Stream_Read(s, nullptr, 1, &c);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Stream_Read(s, b, 1, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Stream_Write(s, nullptr, 1, &c);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Stream_Peek(s, b, 1, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Stream_Tell(s, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Stream_Length(s, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Stream_ReadAsync(s, 0, nullptr, 1, nullptr, Done);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Stream_ReadInt32(s, nullptr, &c);
        },
        AbortRegex("Pointer is NULL\n"));
    int32_t v = 0;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Stream_ReadInt32(s, &v, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Stream_CanRead(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

// ---- Typed writers and readers over a memory stream ---------------------------------------------

struct Memory {
    MemoryStream* M = nullptr;
    Stream* S = nullptr;
    Memory() {
        MemoryStream_Create(&M);
        MemoryStream_SetAutoGrow(M, 1);
        MemoryStream_GetStreamHandle(M, &S);
    }
    ~Memory() { MemoryStream_Delete(&M); }
    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out;
        if (M->Buffer) out.assign(M->Buffer, M->Buffer + M->Used);
        return out;
    }
};

TEST(Stream, WritersUseHostByteOrder) {
    Memory m;
    uint32_t w = 0;
    EXPECT_EQ(Stream_WriteUInt32(m.S, 0x01020304u, &w), 1);
    EXPECT_EQ(w, 4u);
    EXPECT_EQ(Stream_WriteInt16(m.S, (int16_t)-2, &w), 1);
    EXPECT_EQ(Stream_WriteUInt16(m.S, 0xA1B2, &w), 1);
    EXPECT_EQ(Stream_WriteInt32(m.S, -1, &w), 1);
    EXPECT_EQ(Stream_WriteInt64(m.S, 0x0102030405060708ll, &w), 1);
    EXPECT_EQ(w, 8u);
    EXPECT_EQ(Stream_WriteUInt64(m.S, 0xF0E0D0C0B0A09080ull, &w), 1);
    EXPECT_EQ(Stream_WriteChar(m.S, 0xFF, &w), 1);
    EXPECT_EQ(w, 1u);
    EXPECT_EQ(Stream_WriteString(m.S, "hi", &w), 1);
    EXPECT_EQ(w, 2u) << "no terminator";
    w = 9;
    EXPECT_EQ(Stream_WriteString(m.S, "", &w), 0) << "an empty text is a write of nothing";
    EXPECT_EQ(w, 0u);
    const std::vector<uint8_t> expect = {0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0xB2, 0xA1, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x80, 0x90,
                                         0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0xFF, 'h',  'i'};
    EXPECT_EQ(m.Bytes(), expect);
}

TEST(Stream, ReadersNeedEveryByte) {
    Memory m;
    const uint8_t bytes[] = {0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0x08, 0x07, 0x06,
                             0x05, 0x04, 0x03, 0x02, 0x81, 0x7F, 0xAA, 0xBB};
    uint32_t w = 0;
    MemoryStream_Put(m.M, bytes, sizeof(bytes), &w);
    uint32_t r = 0;
    uint32_t u32 = 0;
    int16_t i16 = 0;
    int64_t i64 = 0;
    uint8_t c = 0;
    EXPECT_EQ(Stream_ReadUInt32(m.S, &u32, &r), 1);
    EXPECT_EQ(u32, 0x01020304u);
    EXPECT_EQ(r, 4u);
    EXPECT_EQ(Stream_ReadInt16(m.S, &i16, &r), 1);
    EXPECT_EQ(i16, -2);
    EXPECT_EQ(Stream_ReadInt64(m.S, &i64, &r), 1);
    EXPECT_EQ((uint64_t)i64, 0x8102030405060708ull);
    EXPECT_EQ(Stream_ReadChar(m.S, &c, &r), 1);
    EXPECT_EQ(c, 0x7F);
    // Two bytes before the end a 32-bit read consumes them and fails; the value stays 0.
    int32_t i32 = 123;
    r = 9;
    EXPECT_EQ(Stream_ReadInt32(m.S, &i32, &r), 0);
    EXPECT_EQ(r, 2u);
    EXPECT_EQ(i32, 0);
    uint16_t u16 = 5;
    EXPECT_EQ(Stream_ReadUInt16(m.S, &u16, &r), 0);
    EXPECT_EQ(r, 0u);
    EXPECT_EQ(u16, 0u);
    uint64_t u64 = 5;
    EXPECT_EQ(Stream_ReadUInt64(m.S, &u64, &r), 0);
    EXPECT_EQ(u64, 0u);
}

TEST(Stream, WritePrint) {
    Memory m;
    EXPECT_EQ(Stream_WritePrint(m.S, "%s=%d;%x", "key", -12, 255u), 1);
    const std::vector<uint8_t> bytes = m.Bytes();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "key=-12;ff");
    int32_t count = 0;
    EXPECT_EQ(Stream_PrintCallback(m.S, "!!", 2, &count), 1);
    EXPECT_EQ(count, 2);

    // A stream with room for part of the text: the print fails and leaves no gap-ridden text.
    uint8_t small[6] = {};
    MemoryStream* fixed = nullptr;
    MemoryStream_Create(&fixed);
    MemoryStream_SetPointer(fixed, small, 0, sizeof(small));
    Stream* s = nullptr;
    MemoryStream_GetStreamHandle(fixed, &s);
    EXPECT_EQ(Stream_WritePrint(s, "%s and %s", "first", "second"), 0) << "a short write is a failure";
    EXPECT_EQ(MemoryStream_GetUsed(fixed), 6);
    EXPECT_EQ(std::string((const char*)small, 6), "first ");
    MemoryStream_Delete(&fixed);

    // Without a Write slot nothing can be printed.
    Stream none{};
    none.Handle = &none;
    EXPECT_EQ(Stream_WritePrint(&none, "text"), 0);
}

// ---- Copying ------------------------------------------------------------------------------------

// Reads through a memory stream and counts the passes.
struct CountingSource {
    Stream Record{};
    MemoryStream* M = nullptr;
    int Reads = 0;
    static int64_t Read(void* h, void* b, uint32_t n, uint32_t* c) {
        CountingSource* self = static_cast<CountingSource*>(h);
        self->Reads++;
        return MemoryStream_Read(self->M, b, n, c);
    }
    explicit CountingSource(MemoryStream* m) : M(m) {
        Record.Handle = this;
        Record.Read = Read;
    }
};

// Reads as scripted: each step delivers bytes of a running pattern and answers, optionally with
// an error code on the stream; past the script the source is at its end.
struct ScriptedSource {
    struct Step {
        int64_t Result;
        uint32_t Deliver;
        int32_t Error = 0;
        uint32_t Overclaim = 0;
    };
    Stream Record{};
    std::deque<Step> Steps;
    std::vector<uint8_t> Given;
    int Reads = 0;
    static int64_t Read(void* h, void* b, uint32_t n, uint32_t* c) {
        ScriptedSource* self = static_cast<ScriptedSource*>(h);
        self->Reads++;
        if (self->Steps.empty()) return 0;
        const Step step = self->Steps.front();
        self->Steps.pop_front();
        const uint32_t deliver = step.Deliver < n ? step.Deliver : n;
        for (uint32_t i = 0; i < deliver; i++) {
            const uint8_t byte = (uint8_t)(self->Given.size() * 13 + 1);
            static_cast<uint8_t*>(b)[i] = byte;
            self->Given.push_back(byte);
        }
        *c = deliver + step.Overclaim;
        if (step.Error) self->Record.LastError = step.Error;
        return step.Result;
    }
    explicit ScriptedSource(std::initializer_list<Step> steps) : Steps(steps) {
        Record.Handle = this;
        Record.Read = Read;
    }
};

TEST(Stream, CopyAll) {
    Memory source, target;
    const std::vector<uint8_t> data = Pattern(10000, 3);
    uint32_t w = 0;
    MemoryStream_Put(source.M, data.data(), (uint32_t)data.size(), &w);
    CountingSource counting(source.M);
    EXPECT_EQ(Stream_Copy(target.S, &counting.Record), 1);
    EXPECT_EQ(target.Bytes(), data);
    EXPECT_EQ(counting.Reads, 4) << "three passes with data, then the end";
    uint64_t position = 0;
    Stream_Tell(source.S, &position);
    EXPECT_EQ(position, 10000u);

    // An empty source copies nothing and succeeds.
    Memory empty, into;
    EXPECT_EQ(Stream_Copy(into.S, empty.S), 1);
    EXPECT_TRUE(into.Bytes().empty());
    Stream unreadable{};
    unreadable.Handle = &unreadable;
    EXPECT_EQ(Stream_Copy(into.S, &unreadable), 1) << "no Read slot: nothing to copy";
}

TEST(Stream, CopyFailures) {
    // Target without a Write slot: 0 after the first read.
    {
        Memory source;
        uint32_t w = 0;
        MemoryStream_Put(source.M, "abc", 3, &w);
        CountingSource counting(source.M);
        Stream sink{};
        sink.Handle = &sink;
        EXPECT_EQ(Stream_Copy(&sink, &counting.Record), 0);
        EXPECT_EQ(counting.Reads, 1);
    }
    // Target that takes only part of a read.
    {
        Memory source;
        const std::vector<uint8_t> data = Pattern(100);
        uint32_t w = 0;
        MemoryStream_Put(source.M, data.data(), 100, &w);
        uint8_t small[40];
        MemoryStream* fixed = nullptr;
        MemoryStream_Create(&fixed);
        MemoryStream_SetPointer(fixed, small, 0, sizeof(small));
        Stream* t = nullptr;
        MemoryStream_GetStreamHandle(fixed, &t);
        EXPECT_EQ(Stream_Copy(t, source.S), 0);
        ASSERT_EQ(Stream_Seek(source.S, 0, SEEK_ORIGIN_BEGIN), 1);
        EXPECT_EQ(Stream_CopyLength(t, source.S, 10), 0) << "full target";
        MemoryStream_Delete(&fixed);
    }

    struct Case {
        const char* Name;
        std::vector<ScriptedSource::Step> Steps;
        int64_t Result;
        size_t Copied;
    };
    const Case cases[] = {
        {"clean end", {{1, 4096}, {1, 100}}, 1, 4196},
        {"read error is a failure, not the end", {{1, 4096}, {0, 0, 100005}}, 0, 4096},
        {"bytes of a failing read are kept", {{1, 10}, {0, 5, 100005}}, 0, 15},
        {"bytes of the last read are kept", {{1, 10}, {0, 5}}, 1, 15},
        {"error code with a successful answer", {{1, 10, 100005}}, 0, 10},
        {"success without bytes", {{1, 10}, {1, 0}}, 0, 10},
        {"count past the buffer", {{1, 10}, {1, 4096, 0, 1}}, 0, 10},
        {"negative codes are not errors", {{1, 10}, {0, 0, -5}}, 1, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedSource source({});
        source.Steps.assign(c.Steps.begin(), c.Steps.end());
        Memory target;
        EXPECT_EQ(Stream_Copy(target.S, &source.Record), c.Result);
        EXPECT_EQ(target.Bytes().size(), c.Copied);
        const std::vector<uint8_t> expect(source.Given.begin(), source.Given.begin() + c.Copied);
        EXPECT_EQ(target.Bytes(), expect);
    }
}

TEST(Stream, CopyKeepsAnOlderErrorCode) {
    ScriptedSource source({{1, 10}});
    source.Record.LastError = 100002;
    Memory target;
    EXPECT_EQ(Stream_Copy(target.S, &source.Record), 1) << "an old error does not fail a clean copy";
    EXPECT_EQ(Stream_GetLastError(&source.Record), 100002);
    ScriptedSource failing({{0, 0, 100007}});
    failing.Record.LastError = 100002;
    EXPECT_EQ(Stream_Copy(target.S, &failing.Record), 0);
    EXPECT_EQ(Stream_GetLastError(&failing.Record), 100007) << "the new error is the one kept";
}

TEST(Stream, CopyLength) {
    const std::vector<uint8_t> data = Pattern(40000, 5);
    struct Case {
        int64_t Length;
        int64_t Result;
        size_t Copied;
    };
    const Case cases[] = {
        {40000, 1, 40000},  {16384, 1, 16384}, {16385, 1, 16385}, {1, 1, 1},         {40001, 0, 40000},
        {100000, 0, 40000}, {0, 1, 0},         {-1, 0, 0},        {INT64_MIN, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Length);
        Memory source, target;
        uint32_t w = 0;
        MemoryStream_Put(source.M, data.data(), (uint32_t)data.size(), &w);
        EXPECT_EQ(Stream_CopyLength(target.S, source.S, c.Length), c.Result);
        EXPECT_EQ(target.Bytes(), std::vector<uint8_t>(data.begin(), data.begin() + c.Copied));
        uint64_t position = 0;
        Stream_Tell(source.S, &position);
        EXPECT_EQ(position, c.Copied) << "the rest stays in the source";
    }

    // Short reads ask again for the rest; an error stops with the delivered bytes written.
    ScriptedSource trickle({{1, 100}, {1, 100}, {1, 100}});
    Memory target;
    EXPECT_EQ(Stream_CopyLength(target.S, &trickle.Record, 250), 1);
    EXPECT_EQ(target.Bytes(), trickle.Given);
    EXPECT_EQ(target.Bytes().size(), 250u);
    ScriptedSource failing({{1, 100}, {0, 20, 100005}});
    Memory second;
    EXPECT_EQ(Stream_CopyLength(second.S, &failing.Record, 1000), 0);
    EXPECT_EQ(second.Bytes(), failing.Given);
    ScriptedSource stalled({{1, 0}});
    EXPECT_EQ(Stream_CopyLength(second.S, &stalled.Record, 10), 0) << "a pass that moves nothing";
    Stream unreadable{};
    unreadable.Handle = &unreadable;
    EXPECT_EQ(Stream_CopyLength(second.S, &unreadable, 10), 0);
}

} // namespace
