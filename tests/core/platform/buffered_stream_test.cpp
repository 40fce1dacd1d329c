// The buffered layer over a recording base stream: how it fills and flushes in whole blocks, which
// seeks its buffers serve, how base failures and errors come through, and its trace lines. What
// every stream kind promises, and writes over a failing base, are in the stream contract.
#include "core/platform/buffered_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/runtime/log.h"
#include "core/runtime/string_print.h"
#include "tests/core/platform/stream_contract.h"
#include "tests/support/out_value.h"
#include "tests/support/printed_lines.h"

namespace {

using stream_contract::Pattern;
using stream_contract::SpyBase;
using Bytes = std::vector<uint8_t>;

// A buffered stream over a spy base that holds `content` and stands at `start`.
struct Layer {
    SpyBase Base;
    BufferedStream* Bs = Created(BufferedStream_Create);
    Stream* S = nullptr;
    explicit Layer(const Bytes& content, int32_t readSize = 4096, int32_t writeSize = 4096, int64_t start = 0)
        : Base(content) {
        MemoryStream_Seek(Base.Memory, start, SEEK_ORIGIN_BEGIN);
        EXPECT_EQ(BufferedStream_SetReadBufferSize(Bs, readSize), 1);
        EXPECT_EQ(BufferedStream_SetWriteBufferSize(Bs, writeSize), 1);
        EXPECT_EQ(BufferedStream_SetBaseStreamHandle(Bs, &Base.Record), 1);
        EXPECT_EQ(BufferedStream_GetStreamHandle(Bs, &S), 1);
    }
    ~Layer() { BufferedStream_Delete(&Bs); }
    Bytes Read(uint32_t size, int64_t expectResult = 1) {
        Bytes out(size);
        uint32_t count = 0xDEADBEEF;
        EXPECT_EQ(Stream_Read(S, out.data(), size, &count), expectResult);
        out.resize(count <= size ? count : 0);
        return out;
    }
    int64_t Write(const std::string& text, uint32_t* count = nullptr) {
        uint32_t written = 0xDEADBEEF;
        const int64_t result = Stream_Write(S, text.data(), (uint32_t)text.size(), &written);
        if (count) *count = written;
        return result;
    }
    uint64_t Tell() { return stream_contract::Tell(S); }
};

Bytes Slice(const Bytes& content, size_t from, size_t to) {
    return Bytes(content.begin() + from, content.begin() + to);
}

// The known answers of a 10,000-byte base under 4,096-byte buffers.
TEST(BufferedStream, ReadsFillWholeBlocks) {
    const Bytes content = Pattern(10000);
    Layer small(content);
    EXPECT_EQ(small.Read(100), Slice(content, 0, 100));
    EXPECT_EQ(small.Base.ReadAsks, std::vector<uint32_t>({4096}));
    EXPECT_EQ(small.Tell(), 100u);
    EXPECT_EQ(small.Base.Position(), 4096u) << "Tell does not move the base";

    Layer whole(content);
    EXPECT_EQ(whole.Read(10000), content);
    EXPECT_EQ(whole.Base.ReadAsks, std::vector<uint32_t>({4096, 4096, 4096}));
    EXPECT_EQ(whole.Base.ReadGots, std::vector<uint32_t>({4096, 4096, 1808}));
    // The next read asks for the room behind the 1,808 bytes and finds nothing.
    EXPECT_EQ(whole.Read(10, 0), Bytes());
    EXPECT_EQ(whole.Base.ReadAsks.back(), 2288u);
    EXPECT_EQ(whole.Base.ReadGots.back(), 0u);
    EXPECT_EQ(whole.Tell(), 10000u);
}

// A request that runs into the end of the base delivers the tail as a successful short read.
TEST(BufferedStream, ReadReachingTheEndReturnsTheTailAsSuccess) {
    const struct {
        size_t Content;
        int32_t Buffer;
        uint32_t Request;
    } cases[] = {{5000, 4096, 8000}, {10, 4096, 11}, {100, 7, 1000}, {1, 1, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Content) + "/" + std::to_string(c.Buffer));
        Layer l(Pattern(c.Content, 1), c.Buffer);
        EXPECT_EQ(l.Read(c.Request, 1), Pattern(c.Content, 1));
        EXPECT_EQ(l.Read(c.Request, 0), Bytes()) << "only an empty read means the end";
    }
}

TEST(BufferedStream, CopyThroughTheLayerLosesNothing) {
    for (int32_t bufferSize : {1, 7, 3000, 4096, 9000}) {
        SCOPED_TRACE(bufferSize);
        Layer l(Pattern(10000, 2), bufferSize);
        MemoryStream* target = stream_contract::NewMemory();
        Stream* t = nullptr;
        MemoryStream_GetStreamHandle(target, &t);
        EXPECT_EQ(Stream_Copy(t, l.S), 1);
        EXPECT_EQ(stream_contract::Bytes(target), Pattern(10000, 2));
        MemoryStream_Delete(&target);
    }
}

TEST(BufferedStream, WithoutBuffersNothingMoves) {
    Layer noRead(Pattern(10), 0);
    uint8_t byte = 0;
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(Stream_Read(noRead.S, &byte, 0, &count), 1) << "nothing asked is nothing failed";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Stream_Read(noRead.S, &byte, 1, &count), 0) << "no read buffer";
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(noRead.Base.ReadAsks.empty());

    Layer noWrite(Pattern(10), 4096, 0);
    for (const std::string& text : {std::string(), std::string("a"), std::string(5000, 'b')}) {
        EXPECT_EQ(noWrite.Write(text, &count), 0);
        EXPECT_EQ(count, 0u);
    }
    EXPECT_TRUE(noWrite.Base.WriteSizes.empty());
    EXPECT_EQ(noWrite.Base.Content(), Pattern(10));
}

TEST(BufferedStream, WritesFlushWholeBlocks) {
    const Bytes content = Pattern(5000, 4);
    Layer l({});
    uint32_t written = 0;
    EXPECT_EQ(Stream_Write(l.S, content.data(), 5000, &written), 1);
    EXPECT_EQ(written, 5000u);
    EXPECT_EQ(l.Base.WriteSizes, std::vector<uint32_t>({4096}));
    uint64_t length = 0;
    EXPECT_EQ(Stream_Length(l.S, &length), 1);
    EXPECT_EQ(length, 4096u) << "the 904 pending bytes are not counted";
    EXPECT_EQ(l.Tell(), 5000u);
    EXPECT_EQ(Stream_Flush(l.S), 1);
    EXPECT_EQ(l.Base.WriteSizes, std::vector<uint32_t>({4096, 904}));
    EXPECT_EQ(l.Base.Content(), content);
    EXPECT_EQ(Stream_Flush(l.S), 1) << "nothing pending is nothing failed";
    EXPECT_EQ(l.Base.WriteSizes.size(), 2u);

    // Short base writes are repeated for the rest.
    Layer shortWrites({});
    shortWrites.Base.WriteLimit = 30;
    EXPECT_EQ(Stream_Write(shortWrites.S, content.data(), 100, &written), 1);
    EXPECT_EQ(Stream_Flush(shortWrites.S), 1);
    EXPECT_EQ(shortWrites.Base.WriteSizes, std::vector<uint32_t>({100, 70, 40, 10}));
    EXPECT_EQ(shortWrites.Base.Content(), Slice(content, 0, 100));
    EXPECT_EQ(shortWrites.Tell(), 100u);
}

TEST(BufferedStream, SeeksInsideTheReadBufferStayThere) {
    const Bytes content = Pattern(10000, 5);
    Layer l(content);
    l.Read(10);
    EXPECT_EQ(Stream_Seek(l.S, -1, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(l.Read(1), Bytes({content[9]}));
    // Origin 0 inside the read buffer (the base stands at 4096 after the fill).
    EXPECT_EQ(Stream_Seek(l.S, 4000, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(l.Read(2), Slice(content, 4000, 4002));
    EXPECT_EQ(Stream_Seek(l.S, 0, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(l.Read(1), Bytes({content[0]}));
    // Origin 1 forward to the very end of the fill.
    EXPECT_EQ(Stream_Seek(l.S, 4095, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(l.Tell(), 4096u);
    EXPECT_EQ(l.Base.ReadAsks.size(), 1u) << "no base read";
    EXPECT_TRUE(l.Base.Seeks.empty()) << "no base seek";
}

// Seeks never take an offset in front of a buffer's start: what lies before it is not buffered,
// so the seek goes to the base (or is refused before position 0).
TEST(BufferedStream, SeekNeverGoesBeforeTheStartOfTheReadBuffer) {
    const Bytes content = Pattern(100, 9);
    Layer l(content, 16);
    l.Read(20); // the second fill starts again at the front; 4 of its 16 bytes are consumed
    ASSERT_EQ(l.Base.ReadAsks.size(), 2u);
    EXPECT_EQ(Stream_Seek(l.S, -5, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(l.Tell(), 15u);
    EXPECT_EQ(l.Read(2), Slice(content, 15, 17));
    EXPECT_EQ(Stream_Seek(l.S, -18, SEEK_ORIGIN_CURRENT), 0) << "before position 0";
    EXPECT_EQ(l.Tell(), 17u);
    EXPECT_EQ(Stream_Seek(l.S, -17, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(l.Read(1), Bytes({content[0]}));
}

TEST(BufferedStream, SeekNeverGoesBeforeTheStartOfTheWriteBuffer) {
    Bytes content = Pattern(100, 9);
    Layer l(content);
    ASSERT_EQ(Stream_Seek(l.S, 50, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(l.Write("0123456789"), 1);
    EXPECT_EQ(Stream_Seek(l.S, -61, SEEK_ORIGIN_CURRENT), 0);
    EXPECT_EQ(l.Tell(), 60u);
    // Back inside the pending block: the patch lands in the buffer.
    EXPECT_EQ(Stream_Seek(l.S, -4, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(l.Tell(), 56u);
    EXPECT_EQ(l.Write("ab"), 1);
    // Before the pending block: the block goes out and the base moves.
    EXPECT_EQ(Stream_Seek(l.S, -11, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(l.Tell(), 47u);
    EXPECT_EQ(l.Write("Q"), 1);
    EXPECT_EQ(Stream_Flush(l.S), 1);
    memcpy(&content[50], "012345ab89", 10);
    content[47] = 'Q';
    EXPECT_EQ(l.Base.Content(), content);
}

TEST(BufferedStream, FlushKeepsThePositionAfterASeekBack) {
    Bytes content = Pattern(20, 3);
    Layer l(content);
    EXPECT_EQ(l.Write("ABCDEFGH"), 1);
    EXPECT_EQ(Stream_Seek(l.S, 2, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(l.Write("x"), 1);
    EXPECT_EQ(Stream_Flush(l.S), 1);
    EXPECT_EQ(l.Tell(), 3u) << "a flush does not move the position";
    EXPECT_EQ(l.Write("y"), 1);
    EXPECT_EQ(Stream_Flush(l.S), 1);
    memcpy(content.data(), "ABxyEFGH", 8);
    EXPECT_EQ(l.Base.Content(), content);
}

// The end of the pending block is the end of the stream only when the base holds nothing past it.
TEST(BufferedStream, SeekToTheEndWithPendingWrites) {
    Layer empty({});
    EXPECT_EQ(empty.Write("hello"), 1);
    EXPECT_EQ(Stream_Seek(empty.S, 1, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Stream_Seek(empty.S, 0, SEEK_ORIGIN_END), 1);
    EXPECT_EQ(empty.Tell(), 5u);
    EXPECT_TRUE(empty.Base.Seeks.empty()) << "the pending block ends the stream";
    EXPECT_EQ(empty.Write("!"), 1);
    EXPECT_EQ(Stream_Flush(empty.S), 1);
    EXPECT_EQ(empty.Base.Content(), Bytes({'h', 'e', 'l', 'l', 'o', '!'}));

    Bytes content = Pattern(50, 1);
    Layer longer(content);
    EXPECT_EQ(longer.Write("ab"), 1);
    EXPECT_EQ(Stream_Seek(longer.S, 0, SEEK_ORIGIN_END), 1);
    EXPECT_EQ(longer.Tell(), 50u);
    EXPECT_EQ(longer.Write("z"), 1);
    EXPECT_EQ(Stream_Flush(longer.S), 1);
    content[0] = 'a';
    content[1] = 'b';
    content.push_back('z');
    EXPECT_EQ(longer.Base.Content(), content);

    // An unknown origin moves nothing and keeps what is pending.
    Layer invalid({});
    EXPECT_EQ(invalid.Write("abc"), 1);
    EXPECT_EQ(Stream_Seek(invalid.S, 0, 7), 0);
    EXPECT_EQ(invalid.Tell(), 3u);
    EXPECT_EQ(Stream_Flush(invalid.S), 1);
    EXPECT_EQ(invalid.Base.Content(), Bytes({'a', 'b', 'c'}));
}

// Switching between reading and writing puts the base where the logical position is first.
TEST(BufferedStream, SwitchingDirectionRepositionsTheBase) {
    Bytes content = Pattern(10000);
    Layer l(content);
    l.Read(10);
    EXPECT_EQ(l.Write("XYZ"), 1);
    ASSERT_EQ(l.Base.Seeks.size(), 1u);
    EXPECT_EQ(l.Base.Seeks[0], std::make_pair((int64_t)10, (uint32_t)SEEK_ORIGIN_BEGIN));
    EXPECT_EQ(l.Tell(), 13u);
    // Reading after writes puts the pending bytes where they belong first.
    EXPECT_EQ(l.Read(3), Slice(content, 13, 16));
    EXPECT_EQ(l.Tell(), 16u);
    memcpy(&content[10], "XYZ", 3);
    EXPECT_EQ(l.Base.Content(), content);

    // The base may stand past its start when the layer is put on it.
    Bytes offset = Pattern(200, 8);
    Layer late(offset, 4096, 4096, 100);
    EXPECT_EQ(late.Read(5), Slice(offset, 100, 105));
    EXPECT_EQ(late.Write("W"), 1);
    EXPECT_EQ(late.Base.Seeks.back(), std::make_pair((int64_t)105, (uint32_t)SEEK_ORIGIN_BEGIN));
    EXPECT_EQ(Stream_Flush(late.S), 1);
    offset[105] = 'W';
    EXPECT_EQ(late.Base.Content(), offset);

    // A base that refuses the seek: the write takes nothing and reading goes on.
    Layer refused(Pattern(100, 3));
    refused.Read(10);
    refused.Base.RefuseSeeks = true;
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(refused.Write("abc", &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Stream_Flush(refused.S), 1) << "nothing was buffered";
    EXPECT_TRUE(refused.Base.WriteSizes.empty());
    EXPECT_EQ(refused.Read(2), Slice(Pattern(100, 3), 10, 12));
}

TEST(BufferedStream, MissingBaseOperationsAnswerZero) {
    Layer l(Pattern(10));
    uint8_t buffer[4];
    uint32_t count = 0xDEADBEEF;
    uint64_t position = 0xDEAD;
    l.Base.Record.Read = nullptr;
    EXPECT_EQ(Stream_Read(l.S, buffer, 4, &count), 0);
    EXPECT_EQ(count, 0u);
    l.Base.Record.Write = nullptr;
    EXPECT_EQ(Stream_Write(l.S, "ab", 2, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Stream_Flush(l.S), 0);
    l.Base.Record.Tell = nullptr;
    EXPECT_EQ(Stream_Tell(l.S, &position), 0);
    EXPECT_EQ(position, 0u);
    l.Base.Record.Seek = nullptr;
    EXPECT_EQ(Stream_Seek(l.S, 5, SEEK_ORIGIN_BEGIN), 0);

    BufferedStream* lone = Created(BufferedStream_Create);
    Stream* s = nullptr;
    BufferedStream_GetStreamHandle(lone, &s);
    EXPECT_EQ(Stream_Read(s, buffer, 4, &count), 0);
    EXPECT_EQ(Stream_Write(s, buffer, 4, &count), 0);
    EXPECT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN), 0);
    EXPECT_EQ(Stream_Length(s, &position), 0);
    EXPECT_EQ(Stream_IsOpen(s), 0);
    EXPECT_EQ(Stream_Close(s), 0);
    BufferedStream_Delete(&lone);
}

// Refused base writes: Write reports the bytes its buffer took, the pending bytes stay, and a later
// flush puts them out; a flush that fails part way keeps the part not yet taken.
TEST(BufferedStream, RefusedBaseWritesKeepThePendingBytes) {
    const Bytes content = Pattern(10, 3);
    Layer l({}, 4096, 8);
    l.Base.WritesUntilFailure = 0;
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(Stream_Write(l.S, content.data(), 10, &count), 0) << "the flush it needed failed";
    EXPECT_EQ(count, 8u) << "the bytes the buffer took";
    EXPECT_EQ(Stream_Flush(l.S), 0);
    l.Base.WritesUntilFailure = -1;
    EXPECT_EQ(Stream_Flush(l.S), 1);
    EXPECT_EQ(l.Base.Content(), Slice(content, 0, 8));

    l.Base.WriteLimit = 3;
    EXPECT_EQ(Stream_Write(l.S, "abcdef", 6, &count), 1);
    l.Base.WritesUntilFailure = 1; // only the first base write goes through
    EXPECT_EQ(Stream_Flush(l.S), 0);
    l.Base.WritesUntilFailure = -1;
    EXPECT_EQ(Stream_Flush(l.S), 1);
    Bytes expect = Slice(content, 0, 8);
    for (char c : std::string("abcdef")) expect.push_back((uint8_t)c);
    EXPECT_EQ(l.Base.Content(), expect);

    EXPECT_EQ(l.Write("x"), 1);
    l.Base.WritesUntilFailure = 0;
    EXPECT_EQ(Stream_Close(l.S), 0) << "the pending byte is lost";
    EXPECT_EQ(MemoryStream_IsOpen(l.Base.Memory), 0) << "the base is closed all the same";
}

TEST(BufferedStream, BaseErrorsReachTheLayer) {
    Layer l(Pattern(10));
    l.Base.ReadError = 100005;
    uint8_t buffer[4];
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(Stream_Read(l.S, buffer, 4, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Stream_GetLastError(l.S), 100005);
    MemoryStream* target = stream_contract::NewMemory();
    Stream* t = nullptr;
    MemoryStream_GetStreamHandle(target, &t);
    EXPECT_EQ(Stream_Copy(t, l.S), 0) << "a failing base is not the end of the data";
    MemoryStream_Delete(&target);
}

TEST(BufferedStream, ReplacingBuffersResetsTheirCounters) {
    Bytes content = Pattern(10000, 7);
    Layer l(content);
    l.Read(10);
    // The new read buffer starts empty: reading goes on from where the base stands.
    EXPECT_EQ(BufferedStream_SetReadBufferSize(l.Bs, 4), 1);
    EXPECT_EQ(l.Read(4), Slice(content, 4096, 4100));
    EXPECT_EQ(l.Write("xy"), 1);
    // The pending bytes go out before their buffer is replaced.
    EXPECT_EQ(BufferedStream_SetWriteBufferSize(l.Bs, 2), 1);
    EXPECT_EQ(l.Write("z"), 1);
    EXPECT_EQ(Stream_Flush(l.S), 1);
    memcpy(&content[4100], "xyz", 3);
    EXPECT_EQ(l.Base.Content(), content);
}

std::string Prefix(BufferedStream* bs, const char* identifier = "") {
    char text[64];
    String_Print(text, (int32_t)sizeof(text), "BufferedStream.%08x%s - ", (uint32_t)(uintptr_t)bs,
                 identifier);
    return text;
}

TEST(BufferedStream, CloseReportsEfficiencyWhenVerbose) {
    Layer l(Pattern(10000));
    std::vector<std::string> lines;
    EXPECT_EQ(BufferedStream_SetPrintCallback(l.Bs, &lines, KeepLine), 1);
    EXPECT_EQ(BufferedStream_SetVerbose(l.Bs, 1), 1);
    for (int i = 0; i < 3; i++) l.Read(100); // one fill, three copies
    EXPECT_EQ(l.Write("abc"), 1);            // one copy, one flush at Close
    EXPECT_TRUE(lines.empty()) << "level 11 traces need the verbose filter";
    EXPECT_EQ(Stream_Close(l.S), 1);
    const std::string p = Prefix(l.Bs);
    EXPECT_EQ(lines, std::vector<std::string>(
                         {p + "Close\n", p + "Read efficiency 75.00%\n", p + "Write efficiency 50.00%\n"}));
}

TEST(BufferedStream, TracesAtLevelEleven) {
    Log_SetVerboseFilter("11BufferedStream");
    Layer l(Pattern(5000));
    std::vector<std::string> lines;
    BufferedStream_SetPrintCallback(l.Bs, &lines, KeepLine);
    BufferedStream_SetPrintIdentifier(l.Bs, "doc");
    EXPECT_EQ(BufferedStream_IsVerboseLevel(l.Bs, 11), 1);
    EXPECT_EQ(BufferedStream_IsVerboseLevel(l.Bs, 12), 0);
    l.Read(100);
    l.Write("ab");
    l.Tell();
    Stream_Seek(l.S, 0, SEEK_ORIGIN_BEGIN);
    Log_SetVerboseFilter("");
    const std::string p = Prefix(l.Bs, ".doc");
    EXPECT_EQ(lines, std::vector<std::string>({
                         p + "Read [Size 100 Pos 0]\n",
                         p + "Filled [Read 4096/4096 Buf 0:4096 Pos 4096]\n",
                         p + "Emptied [Copied 100 Remaining 0 Buf 100:4096 Pos 4096]\n",
                         p + "Write [Size 2 Len 0 Pos 4096]\n",
                         p + "Switch from read to write [100]\n",
                         p + "Write copy [Remaining 0 Write 2:4096 Len 2]\n",
                         p + "Tell [Pos 100 ReadPos 0 WritePos 2]\n",
                         p + "Seek [Origin 0 Offset 0 Pos 100]\n",
                         p + "Write flush [2:0 Len 2]\n",
                     }));
}

} // namespace
