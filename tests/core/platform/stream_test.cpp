// The stream record's dispatch, its last error, the typed writers and readers, formatted writes
// and the copy loops, against recording and scripted kinds and memory streams.
#include "core/platform/stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "core/platform/memory_stream.h"
#include "tests/core/platform/stream_contract.h"

namespace {

using stream_contract::Pattern;
using Bytes = std::vector<uint8_t>;

// A kind whose every slot records its arguments and answers what the test scripted.
struct Recorder {
    Stream Record{};
    int64_t Answer = 1;
    uint32_t Count = 7; // what the counted slots report
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

    static Recorder* Of(void* h, const char* name) {
        Recorder* r = static_cast<Recorder*>(h);
        r->Handle = h;
        r->Last = name;
        return r;
    }
    static int64_t Counted(void* h, const char* name, const void* b, uint32_t n, uint32_t* c) {
        Recorder* r = Of(h, name);
        r->Buffer = b;
        r->Size = n;
        r->CountOnEntry = *c;
        *c = r->Count;
        return r->Answer;
    }
    static int64_t Async(void* h, const char* name, uint64_t offset, const void* b, uint32_t n, void* user,
                         StreamCompletionFunc completion) {
        Recorder* r = Of(h, name);
        r->Offset = offset;
        r->Buffer = b;
        r->Size = n;
        r->User = user;
        r->Completion = completion;
        return r->Answer;
    }
    static int64_t Valued(void* h, const char* name, uint64_t* p) {
        *p = Of(h, name)->Offset;
        return Of(h, name)->Answer;
    }

    Recorder() {
        Record.Handle = this;
        Record.Peek = [](void* h, void* b, uint32_t n, uint32_t* c) { return Counted(h, "Peek", b, n, c); };
        Record.Write = [](void* h, const void* b, uint32_t n, uint32_t* c) {
            return Counted(h, "Write", b, n, c);
        };
        Record.Read = [](void* h, void* b, uint32_t n, uint32_t* c) { return Counted(h, "Read", b, n, c); };
        Record.WriteAsync = [](void* h, uint64_t o, const void* b, uint32_t n, void* u,
                               StreamCompletionFunc f) { return Async(h, "WriteAsync", o, b, n, u, f); };
        Record.ReadAsync = [](void* h, uint64_t o, void* b, uint32_t n, void* u, StreamCompletionFunc f) {
            return Async(h, "ReadAsync", o, b, n, u, f);
        };
        Record.Seek = [](void* h, int64_t offset, SeekOrigin origin) {
            Of(h, "Seek")->SeekOffset = offset;
            Of(h, "Seek")->Origin = origin;
            return Of(h, "Seek")->Answer;
        };
        Record.Flush = [](void* h) { return Of(h, "Flush")->Answer; };
        Record.IsOpen = [](void* h) { return Of(h, "IsOpen")->Answer; };
        Record.Close = [](void* h) { return Of(h, "Close")->Answer; };
        Record.Tell = [](void* h, uint64_t* p) { return Valued(h, "Tell", p); };
        Record.Length = [](void* h, uint64_t* p) { return Valued(h, "Length", p); };
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
        const struct {
            const char* Name;
            int64_t (*Fn)(Stream*, uint8_t*, uint32_t*);
        } calls[] = {
            {"Peek", [](Stream* st, uint8_t* b, uint32_t* c) { return Stream_Peek(st, b, 21, c); }},
            {"Write", [](Stream* st, uint8_t* b, uint32_t* c) { return Stream_Write(st, b, 21, c); }},
            {"Read", [](Stream* st, uint8_t* b, uint32_t* c) { return Stream_Read(st, b, 21, c); }},
        };
        for (const auto& call : calls) {
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
        const std::pair<const char*, int64_t (*)(Stream*)> plain[] = {
            {"Flush", Stream_Flush}, {"IsOpen", Stream_IsOpen}, {"Close", Stream_Close}};
        for (const auto& [name, call] : plain) {
            EXPECT_EQ(call(s), answer);
            EXPECT_EQ(r.Last, name);
        }
        uint64_t value = 0;
        r.Offset = 99;
        EXPECT_EQ(Stream_Tell(s, &value), answer);
        EXPECT_EQ(value, 99u);
        EXPECT_EQ(Stream_Length(s, &value), answer);
        EXPECT_EQ(r.Last, "Length");
    }
    EXPECT_EQ(Stream_GetLastError(s), 0) << "dispatch never sets an error";
}

TEST(Stream, AKindWithoutSlotsAnswersZero) {
    stream_contract::StreamKind none;
    none.Name = "no slots";
    none.Make = [](const Bytes&) {
        Stream* s = new Stream{};
        s->Handle = s;
        return s;
    };
    none.Destroy = [](Stream* s) { delete s; };
    stream_contract::CheckSlots(none);
    stream_contract::CheckEmptySlots(none);
}

// The last error lives in the record: set, read, cleared; only positive codes are errors.
TEST(Stream, LastError) {
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
    EXPECT_EQ(Stream_GetLastError(&s), 0);
}

// A growing memory stream, optionally over a fixed block of the caller's instead.
struct Memory {
    MemoryStream* M = stream_contract::NewMemory();
    Stream* S = nullptr;
    explicit Memory(const Bytes& content = {}, uint8_t* block = nullptr, uint32_t blockSize = 0) {
        uint32_t w = 0;
        if (block) MemoryStream_SetPointer(M, block, 0, blockSize);
        if (!content.empty()) MemoryStream_Put(M, content.data(), (uint32_t)content.size(), &w);
        MemoryStream_GetStreamHandle(M, &S);
    }
    ~Memory() { MemoryStream_Delete(&M); }
    Bytes Content() const { return stream_contract::Bytes(M); }
    std::string Text() const {
        const Bytes bytes = Content();
        return std::string(bytes.begin(), bytes.end());
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
    EXPECT_EQ(m.Content(), Bytes({0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0xB2, 0xA1, 0xFF, 0xFF, 0xFF,
                                  0xFF, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x80, 0x90,
                                  0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0xFF, 'h',  'i'}));
}

TEST(Stream, ReadersNeedEveryByte) {
    Memory m({0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x81, 0x7F, 0xAA,
              0xBB});
    uint32_t r = 0, u32 = 0;
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
    int32_t count = 0;
    EXPECT_EQ(Stream_PrintCallback(m.S, "!!", 2, &count), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(m.Text(), "key=-12;ff!!");
    // A stream with room for part of the text: the print fails and leaves no gap-ridden text.
    uint8_t small[6] = {};
    Memory fixed({}, small, sizeof(small));
    EXPECT_EQ(Stream_WritePrint(fixed.S, "%s and %s", "first", "second"), 0) << "a short write is a failure";
    EXPECT_EQ(fixed.Text(), "first ");
    // Without a Write slot nothing can be printed.
    Stream none{};
    none.Handle = &none;
    EXPECT_EQ(Stream_WritePrint(&none, "text"), 0);
}

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
    Bytes Given;
    int Reads = 0;
    MemoryStream* From = nullptr; // reads pass to it when set
    static int64_t Read(void* h, void* b, uint32_t n, uint32_t* c) {
        ScriptedSource* self = static_cast<ScriptedSource*>(h);
        self->Reads++;
        if (self->From) return MemoryStream_Read(self->From, b, n, c);
        if (self->Steps.empty()) return 0;
        const Step step = self->Steps.front();
        self->Steps.pop_front();
        const uint32_t deliver = step.Deliver < n ? step.Deliver : n;
        for (uint32_t i = 0; i < deliver; i++) {
            static_cast<uint8_t*>(b)[i] = (uint8_t)(self->Given.size() * 13 + 1);
            self->Given.push_back(static_cast<uint8_t*>(b)[i]);
        }
        *c = deliver + step.Overclaim;
        if (step.Error) self->Record.LastError = step.Error;
        return step.Result;
    }
    explicit ScriptedSource(std::initializer_list<Step> steps, MemoryStream* from = nullptr)
        : Steps(steps), From(from) {
        Record.Handle = this;
        Record.Read = Read;
    }
};

TEST(Stream, CopyAll) {
    Memory source(Pattern(10000, 3)), target;
    ScriptedSource counting({}, source.M);
    EXPECT_EQ(Stream_Copy(target.S, &counting.Record), 1);
    EXPECT_EQ(target.Content(), Pattern(10000, 3));
    EXPECT_EQ(counting.Reads, 4) << "three passes with data, then the end";
    EXPECT_EQ(stream_contract::Tell(source.S), 10000u);
    // An empty source copies nothing and succeeds.
    Memory empty, into;
    EXPECT_EQ(Stream_Copy(into.S, empty.S), 1);
    EXPECT_TRUE(into.Content().empty());
    Stream unreadable{};
    unreadable.Handle = &unreadable;
    EXPECT_EQ(Stream_Copy(into.S, &unreadable), 1) << "no Read slot: nothing to copy";
}

TEST(Stream, CopyFailures) {
    // Target without a Write slot: 0 after the first read.
    Memory abc({'a', 'b', 'c'});
    ScriptedSource counting({}, abc.M);
    Stream sink{};
    sink.Handle = &sink;
    EXPECT_EQ(Stream_Copy(&sink, &counting.Record), 0);
    EXPECT_EQ(counting.Reads, 1);
    // Target that takes only part of a read.
    Memory source(Pattern(100));
    uint8_t small[40];
    Memory fixed({}, small, sizeof(small));
    EXPECT_EQ(Stream_Copy(fixed.S, source.S), 0);
    ASSERT_EQ(Stream_Seek(source.S, 0, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Stream_CopyLength(fixed.S, source.S, 10), 0) << "full target";

    const struct {
        const char* Name;
        std::vector<ScriptedSource::Step> Steps;
        int64_t Result;
        size_t Copied;
    } cases[] = {
        {"clean end", {{1, 4096}, {1, 100}}, 1, 4196},
        {"read error is a failure, not the end", {{1, 4096}, {0, 0, 100005}}, 0, 4096},
        {"bytes of a failing read are kept", {{1, 10}, {0, 5, 100005}}, 0, 15},
        {"bytes of the last read are kept", {{1, 10}, {0, 5}}, 1, 15},
        {"error code with a successful answer", {{1, 10, 100005}}, 0, 10},
        {"success without bytes", {{1, 10}, {1, 0}}, 0, 10},
        {"count past the buffer", {{1, 10}, {1, 4096, 0, 1}}, 0, 10},
        {"negative codes are not errors", {{1, 10}, {0, 0, -5}}, 1, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedSource scripted({});
        scripted.Steps.assign(c.Steps.begin(), c.Steps.end());
        Memory target;
        EXPECT_EQ(Stream_Copy(target.S, &scripted.Record), c.Result);
        EXPECT_EQ(target.Content(), Bytes(scripted.Given.begin(), scripted.Given.begin() + c.Copied));
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
    const Bytes data = Pattern(40000, 5);
    const struct {
        int64_t Length;
        int64_t Result;
        size_t Copied;
    } cases[] = {
        {40000, 1, 40000},  {16384, 1, 16384}, {16385, 1, 16385}, {1, 1, 1},         {40001, 0, 40000},
        {100000, 0, 40000}, {0, 1, 0},         {-1, 0, 0},        {INT64_MIN, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Length);
        Memory source(data), target;
        EXPECT_EQ(Stream_CopyLength(target.S, source.S, c.Length), c.Result);
        EXPECT_EQ(target.Content(), Bytes(data.begin(), data.begin() + c.Copied));
        EXPECT_EQ(stream_contract::Tell(source.S), c.Copied) << "the rest stays in the source";
    }
    // Short reads ask again for the rest; an error stops with the delivered bytes written.
    ScriptedSource trickle({{1, 100}, {1, 100}, {1, 100}});
    Memory target;
    EXPECT_EQ(Stream_CopyLength(target.S, &trickle.Record, 250), 1);
    EXPECT_EQ(target.Content(), trickle.Given);
    EXPECT_EQ(target.Content().size(), 250u);
    ScriptedSource failing({{1, 100}, {0, 20, 100005}});
    Memory second;
    EXPECT_EQ(Stream_CopyLength(second.S, &failing.Record, 1000), 0);
    EXPECT_EQ(second.Content(), failing.Given);
    ScriptedSource stalled({{1, 0}});
    EXPECT_EQ(Stream_CopyLength(second.S, &stalled.Record, 10), 0) << "a pass that moves nothing";
    Stream unreadable{};
    unreadable.Handle = &unreadable;
    EXPECT_EQ(Stream_CopyLength(second.S, &unreadable, 10), 0);
}

} // namespace
