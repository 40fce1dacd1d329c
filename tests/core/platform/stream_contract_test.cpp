// Runs the common Stream contract against every kind of this folder that a test can make on its
// own: memory streams (growing, locked, over a caller's block), the buffered stream over a memory
// stream and over a failing base, the null stream, the stream view, both sides of the duplex
// stream and the File. Also the reference counts and class checks that all these kinds share.
#include "tests/core/platform/stream_contract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "core/platform/buffered_stream.h"
#include "core/platform/duplex_stream.h"
#include "core/platform/file.h"
#include "core/platform/memory_stream.h"
#include "core/platform/null_stream.h"
#include "core/platform/stream_view.h"
#include "tests/support/abort_hook.h"
#include "tests/support/out_value.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace stream_contract;

// What each made stream needs to go away: the objects behind it and, for a view, its block.
std::map<Stream*, std::function<void()>>& Owners() {
    static std::map<Stream*, std::function<void()>> owners;
    return owners;
}

void Destroy(Stream* s) {
    auto it = Owners().find(s);
    ASSERT_NE(it, Owners().end());
    it->second();
    Owners().erase(it);
}

StreamKind Kind(const std::string& name, uint32_t slots,
                std::function<Stream*(const std::vector<uint8_t>&)> make) {
    StreamKind kind;
    kind.Name = name;
    kind.Slots = slots;
    kind.Make = std::move(make);
    kind.Destroy = Destroy;
    return kind;
}

Stream* OwnedMemory(MemoryStream* m) {
    MemoryStream_Seek(m, 0, SEEK_ORIGIN_BEGIN);
    Stream* s = nullptr;
    MemoryStream_GetStreamHandle(m, &s);
    Owners()[s] = [m]() mutable { MemoryStream_Delete(&m); };
    return s;
}

Stream* Buffered(Stream* base, int32_t size, std::function<void()> alsoDelete) {
    BufferedStream* bs = nullptr;
    BufferedStream_Create(&bs);
    BufferedStream_SetReadBufferSize(bs, size);
    BufferedStream_SetWriteBufferSize(bs, size);
    BufferedStream_SetBaseStreamHandle(bs, base);
    Stream* s = nullptr;
    BufferedStream_GetStreamHandle(bs, &s);
    Owners()[s] = [bs, alsoDelete]() mutable {
        BufferedStream_Delete(&bs);
        alsoDelete();
    };
    return s;
}

StreamKind BufferedKind(int32_t size) {
    StreamKind kind = Kind("BufferedStream" + std::to_string(size), kSlotsOfMemory | kSlotFlush,
                           [size](const std::vector<uint8_t>& content) {
                               MemoryStream* m = NewMemory(content);
                               Stream* base = nullptr;
                               MemoryStream_GetStreamHandle(m, &base);
                               return Buffered(base, size, [m]() mutable { MemoryStream_Delete(&m); });
                           });
    kind.Wrap = [size](Stream* base) { return Buffered(base, size, [] {}); };
    kind.EmptyWriteSucceeds = true;
    return kind;
}

std::vector<StreamKind> Kinds() {
    std::vector<StreamKind> kinds;
    kinds.push_back(Kind("MemoryStream", kSlotsOfMemory,
                         [](const std::vector<uint8_t>& c) { return OwnedMemory(NewMemory(c)); }));
    kinds.push_back(Kind("LockedMemoryStream", kSlotsOfMemory, [](const std::vector<uint8_t>& c) {
        MemoryStream* m = NewMemory(c);
        MemoryStream_SetAllowLock(m, 1);
        return OwnedMemory(m);
    }));
    // Over a heap block of exactly the content, so that any access past it shows; auto-grow never
    // applies to a caller's block.
    StreamKind caller = Kind("CallerMemoryStream", kSlotsOfMemory, [](const std::vector<uint8_t>& c) {
        uint8_t* block = new uint8_t[c.empty() ? 1 : c.size()];
        if (!c.empty()) memcpy(block, c.data(), c.size());
        MemoryStream* m = NewMemory();
        MemoryStream_SetPointer(m, block, (uint32_t)c.size(), (uint32_t)c.size());
        Stream* s = OwnedMemory(m);
        Owners()[s] = [m, block]() mutable {
            MemoryStream_Delete(&m);
            delete[] block;
        };
        return s;
    });
    caller.WriteExtends = false;
    kinds.push_back(caller);
    for (int32_t size : {4096, 7, 1}) kinds.push_back(BufferedKind(size));

    StreamKind null = Kind("NullStream", kSlotsOfMemory | kSlotFlush, [](const std::vector<uint8_t>& c) {
        NullStream* ns = nullptr;
        NullStream_Create(&ns);
        Stream* s = nullptr;
        NullStream_GetStreamHandle(ns, &s);
        uint32_t written = 0;
        Stream_Write(s, c.empty() ? (const void*)"" : c.data(), (uint32_t)c.size(), &written);
        Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN);
        Owners()[s] = [ns]() mutable { NullStream_Delete(&ns); };
        return s;
    });
    null.ReadsContent = null.WritesReadBack = null.SeeksBounded = false;
    null.EmptyWriteSucceeds = null.StaysOpenAfterClose = true;
    kinds.push_back(null);

    for (uint32_t room : {0u, 64u}) {
        StreamKind view = Kind("StreamView" + std::to_string(room), kSlotsOfMemory | kSlotPeek,
                               [room](const std::vector<uint8_t>& c) {
                                   // A heap block of exactly the viewed capacity.
                                   const uint32_t capacity = (uint32_t)c.size() + room;
                                   uint8_t* block = capacity ? new uint8_t[capacity] : nullptr;
                                   if (!c.empty()) memcpy(block, c.data(), c.size());
                                   StreamView* v = nullptr;
                                   StreamView_Create(&v);
                                   StreamView_SetPointer(v, block, (uint32_t)c.size(), capacity);
                                   Stream* s = nullptr;
                                   StreamView_GetStreamHandle(v, &s);
                                   Owners()[s] = [v, block]() mutable {
                                       StreamView_Delete(&v);
                                       delete[] block;
                                   };
                                   return s;
                               });
        view.WriteExtends = room > 0;
        kinds.push_back(view);
    }
    for (bool readSide : {true, false}) {
        kinds.push_back(Kind(readSide ? "DuplexReadSide" : "DuplexWriteSide", kSlotsOfMemory,
                             [readSide](const std::vector<uint8_t>& c) {
                                 DuplexStream* ds = nullptr;
                                 DuplexStream_Create(&ds);
                                 MemoryStream* side = nullptr;
                                 if (readSide) {
                                     if (!c.empty()) DuplexStream_ReadPut(ds, c.data(), (uint32_t)c.size());
                                     DuplexStream_GetReadMemoryStreamHandle(ds, &side);
                                 } else {
                                     if (!c.empty()) DuplexStream_WritePut(ds, c.data(), (uint32_t)c.size());
                                     DuplexStream_GetWriteMemoryStreamHandle(ds, &side);
                                 }
                                 Stream* s = nullptr;
                                 MemoryStream_GetStreamHandle(side, &s);
                                 Owners()[s] = [ds]() mutable { DuplexStream_Delete(&ds); };
                                 return s;
                             }));
    }
    // A file may be positioned past its end, and honours an offset from the end.
    StreamKind file = Kind("File", kSlotsOfMemory | kSlotFlush, [](const std::vector<uint8_t>& c) -> Stream* {
        static TempDir dir;
        static int32_t counter = 0;
        const std::string path = dir.file("s" + std::to_string(counter++));
        EXPECT_TRUE(WriteText(path, std::string(c.begin(), c.end())));
        File* f = nullptr;
        File_Create(&f);
        Stream* s = nullptr;
        File_GetStreamHandle(f, &s);
        Owners()[s] = [f]() mutable { File_Delete(&f); };
        EXPECT_EQ(File_Open(f, path.c_str(), FILE_READ | FILE_WRITE | FILE_SHARED), 1);
        return s;
    });
    file.SeeksBounded = false;
    file.EmptyWriteSucceeds = true;
    kinds.push_back(file);
    return kinds;
}

class StreamContract : public ::testing::TestWithParam<StreamKind> {
  protected:
    void TearDown() override { EXPECT_TRUE(Owners().empty()) << "every stream made was destroyed"; }
};

TEST_P(StreamContract, Holds) {
    RunStreamContract(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Kinds, StreamContract, ::testing::ValuesIn(Kinds()),
                         [](const ::testing::TestParamInfo<StreamKind>& info) { return info.param.Name; });

// A base write that fails after taking bytes: those bytes are the base's, and the retry after
// the failure sends only the rest, so the base ends up with every byte once.
TEST(StreamContract, BufferedStreamNeverRepeatsBytesABaseTookBeforeFailing) {
    for (int32_t size : {4096, 7}) {
        CheckFailingBaseLosesAndRepeatsNothing(BufferedKind(size), 3);
        EXPECT_TRUE(Owners().empty());
    }
}

// Every kind counts references the same way: AddRef, a release that nulls the caller's handle,
// and a last release that deletes (the leak check sees one that does not); a null handle
// releases nothing.
template <typename T>
void CheckReferences(const char* name, int64_t (*create)(T**), int64_t (*addRef)(T*),
                     int64_t (*release)(T**)) {
    SCOPED_TRACE(name);
    T* object = Created(create);
    EXPECT_EQ(addRef(object), 1);
    T* second = object;
    EXPECT_EQ(release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(release(&object), 1);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(release(&object), 0);
}

TEST(StreamKinds, ReferenceCounts) {
    CheckReferences("memory", MemoryStream_Create, MemoryStream_AddRef, MemoryStream_Release);
    CheckReferences("buffered", BufferedStream_Create, BufferedStream_AddRef, BufferedStream_Release);
    CheckReferences("null", NullStream_Create, NullStream_AddRef, NullStream_Release);
    CheckReferences("view", StreamView_Create, StreamView_AddRef, StreamView_Release);
    CheckReferences("duplex", DuplexStream_Create, DuplexStream_AddRef, DuplexStream_Release);
    CheckReferences("file", File_Create, File_AddRef, File_Release);
}

// An object of one kind handed to another kind's function stops the process, naming both ids.
TEST(StreamKinds, AnotherKindsObjectAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto text = [](uint32_t expected, uint32_t was) {
        char line[128];
        snprintf(line, sizeof(line),
                 "ABORT - Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x%08x but was 0x%08x\\)",
                 expected, was);
        return std::string(line);
    };
    const struct {
        void (*Call)();
        std::string Text;
    } cases[] = {
        {[] { BufferedStream_Flush((BufferedStream*)Created(NullStream_Create)); },
         text(BUFFERED_STREAM_CLASS_ID, NULL_STREAM_CLASS_ID)},
        {[] { NullStream_GetUsed((NullStream*)Created(BufferedStream_Create)); },
         text(NULL_STREAM_CLASS_ID, BUFFERED_STREAM_CLASS_ID)},
        {[] { DuplexStream_Reset((DuplexStream*)Created(MemoryStream_Create)); },
         text(DUPLEX_STREAM_CLASS_ID, MEMORY_STREAM_CLASS_ID)},
        {[] { MemoryStream_Close((MemoryStream*)Created(StreamView_Create)); },
         text(MEMORY_STREAM_CLASS_ID, STREAM_VIEW_CLASS_ID)},
        {[] { StreamView_Close((StreamView*)Created(File_Create)); },
         text(STREAM_VIEW_CLASS_ID, FILE_CLASS_ID)},
        {[] { File_IsOpen((File*)Created(MemoryStream_Create)); },
         text(FILE_CLASS_ID, MEMORY_STREAM_CLASS_ID)},
    };
    for (const auto& c : cases) EXPECT_DEATH((InstallTestAbortHook(), c.Call()), c.Text);
}

} // namespace
