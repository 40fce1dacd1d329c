#include "repository/storage_request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/runtime/event_queue.h"
#include "repository/digest_table.h"
#include "repository/file_list.h"
#include "repository/meta_file.h"
#include "tests/support/abort_hook.h"
#include "tests/support/hex.h"

namespace {

// A manifest read from JSON text as a load reads it; `sound` is what its build answered.
struct Manifest {
    MetaFile* meta = nullptr;
    bool sound = false;
    explicit Manifest(const std::string& text) {
        // The manifest's loader leaves the global event queue when it goes.
        static const bool queue = EventQueue_Init() == 1;
        EXPECT_TRUE(queue);
        EXPECT_EQ(MetaFile_Create(&meta), 1);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetValueCallback(json, meta, MetaFile_ValueCallback);
        EXPECT_EQ(JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()), 1) << text;
        JSON_Release(&json);
        uint32_t code = 0, codeEx = 0;
        sound = MetaFile_WorkerBuild(nullptr, meta, &code, &codeEx) == 1;
    }
    ~Manifest() { MetaFile_Release(&meta); }
};

// Sixteen-byte pieces over a (10 bytes) and b (20 bytes), each padded up to a piece boundary.
const char* kPerFile = R"({"files":[{"name":"a","size":10,"pad":6},{"name":"b","size":20,"pad":12}],
  "pieces":{"size":16,"digests":["AAAA","AAAA","AAAA"]}})";
const char* kPadList = R"({"files":[{"name":"a","size":10},{"name":"b","size":20}],
  "pad":[{"offset":10,"size":6},{"offset":36,"size":12}],
  "pieces":{"size":16,"digests":["AAAA","AAAA","AAAA"]}})";

struct Request {
    StorageRequest* request = nullptr;
    explicit Request(MetaFile* meta) {
        EXPECT_EQ(StorageRequest_Create(&request), 1);
        StorageRequest_SetMetaFileHandle(request, meta);
    }
    ~Request() { StorageRequest_Release(&request); }

    // Each member as "file:fileOffset+length+padding@bufferOffset/unpadOffset#index".
    std::string Members() {
        std::string out;
        MetaFile* meta = nullptr;
        FileList* list = nullptr;
        StorageRequest_GetMetaFileHandle(request, &meta);
        MetaFile_GetFileListHandle(meta, &list);
        StorageRequestMember* m = nullptr;
        for (StorageRequest_MemberGetFirst(request, &m); m;) {
            FileListMember* file = nullptr;
            uint64_t fileOffset = 0;
            uint32_t length = 0, padding = 0, buffer = 0, unpad = 0, index = 0;
            char name[64];
            StorageRequest_MemberGetFileListMemberHandle(request, m, &file);
            FileList_MemberGetName(list, file, name, sizeof(name));
            StorageRequest_MemberGetFileOffset(request, m, &fileOffset);
            StorageRequest_MemberGetLength(request, m, &length);
            StorageRequest_MemberGetPadding(request, m, &padding);
            StorageRequest_MemberGetBufferOffset(request, m, &buffer);
            StorageRequest_MemberGetUnpadBufferOffset(request, m, &unpad);
            StorageRequest_MemberGetIndex(request, m, &index);
            if (!out.empty()) out += " ";
            out += std::string(name) + ":" + std::to_string(fileOffset) + "+" + std::to_string(length) + "+" +
                   std::to_string(padding) + "@" + std::to_string(buffer) + "/" + std::to_string(unpad) + "#" +
                   std::to_string(index);
            StorageRequestMember* next = nullptr;
            StorageRequest_MemberGetNext(request, m, &next);
            m = next;
        }
        return out;
    }
};

TEST(StorageRequestIndexAdd, PiecesOfBothPaddingFormsMapAlike) {
    const struct {
        std::vector<int32_t> indexes;
        const char* members;
    } rows[] = {
        {{0}, "a:0+10+6@0/0#0"},
        {{1}, "b:0+16+0@0/0#1"},
        // Starts inside b and ends in its padding: one member carrying all of it.
        {{2}, "b:16+4+12@0/0#2"},
        {{0, 1, 2}, "a:0+10+6@0/0#0 b:0+16+0@16/10#1 b:16+4+12@32/26#2"},
        {{1, 1}, "b:0+16+0@0/0#1"},
    };
    for (const char* text : {kPerFile, kPadList}) {
        Manifest manifest(text);
        ASSERT_TRUE(manifest.sound) << text;
        for (const auto& row : rows) {
            Request r(manifest.meta);
            for (int32_t index : row.indexes) EXPECT_EQ(StorageRequest_IndexAdd(r.request, index), 1);
            EXPECT_EQ(r.Members(), row.members) << text;
            uint32_t length = 0;
            StorageRequest_GetLength(r.request, &length);
            int32_t low = -1, high = -1, start = -2;
            StorageRequest_GetIndexRange(r.request, &low, &high);
            StorageRequest_GetIndexStart(r.request, &start);
            EXPECT_EQ(length, 16u * (uint32_t)(high - low + 1));
            EXPECT_EQ(start, low);
        }
    }
}

TEST(StorageRequestIndexAdd, PadRangesInsideAPieceSplitAFile) {
    Manifest manifest(R"({"files":[{"name":"a","size":10},{"name":"e","size":0},{"name":"b","size":20},
      {"name":"late","size":0}],
      "pad":[{"offset":10,"size":6},{"offset":36,"size":12}],"pieces":{"size":32,"digests":["AAAA","AAAA"]}})");
    ASSERT_TRUE(manifest.sound);
    Request r(manifest.meta);
    EXPECT_EQ(StorageRequest_IndexAdd(r.request, 1), 1);
    EXPECT_EQ(StorageRequest_IndexAdd(r.request, 0), 1);
    // The empty file past the last piece's end goes with the last piece.
    EXPECT_EQ(r.Members(), "b:16+4+12@0/0#1 late:0+0+0@16/4#1 a:0+10+6@16/4#0 e:0+0+0@32/14#0 b:0+16+0@32/14#0");
    int32_t start = -1;
    StorageRequest_GetIndexStart(r.request, &start);
    EXPECT_EQ(start, 0);
}

TEST(StorageRequestIndexAdd, DisagreeingManifestsAreRefusedWithoutStopping) {
    const char* rows[] = {
        // The files end before the last piece is full.
        R"({"files":[{"name":"a","size":10}],"pieces":{"size":16,"digests":["AAAA"]}})",
        // Padding that runs across a piece boundary.
        R"({"files":[{"name":"a","size":10,"pad":10},{"name":"b","size":12}],
           "pieces":{"size":16,"digests":["AAAA","AAAA"]}})",
        // Negative padding.
        R"({"files":[{"name":"a","size":20,"pad":-4}],"pieces":{"size":16,"digests":["AAAA"]}})",
    };
    for (const char* text : rows) {
        Manifest manifest(text);
        Request r(manifest.meta);
        bool refused = false;
        for (int32_t i = 0; i < 2; ++i) refused |= StorageRequest_IndexAdd(r.request, i) == 0;
        EXPECT_TRUE(refused) << text;
    }
    Manifest sound(kPerFile);
    Request r(sound.meta);
    EXPECT_EQ(StorageRequest_IndexAdd(r.request, 3), 0);
    EXPECT_EQ(StorageRequest_IndexAdd(r.request, -1), 0);
    EXPECT_EQ(r.Members(), "");
    uint32_t length = 1;
    StorageRequest_GetLength(r.request, &length);
    EXPECT_EQ(length, 0u);
}

TEST(StorageRequestIndexAdd, RefusedPieceLeavesEarlierPiecesAlone) {
    // Piece 0 is sound; piece 1 runs out of files.
    Manifest manifest(R"({"files":[{"name":"a","size":16},{"name":"b","size":4}],
      "pieces":{"size":16,"digests":["AAAA","AAAA"]}})");
    Request r(manifest.meta);
    EXPECT_EQ(StorageRequest_IndexAdd(r.request, 0), 1);
    EXPECT_EQ(StorageRequest_IndexAdd(r.request, 1), 0);
    EXPECT_EQ(r.Members(), "a:0+16+0@0/0#0");
}

TEST(StorageRequestMembers, NeighboursTellPieceAndFileEdges) {
    Manifest manifest(kPerFile);
    Request r(manifest.meta);
    for (int32_t i : {0, 1, 2}) StorageRequest_IndexAdd(r.request, i);
    std::string edges;
    StorageRequestMember* m = nullptr;
    for (StorageRequest_MemberGetFirst(r.request, &m); m; StorageRequest_MemberGetNext(r.request, m, &m))
        edges += std::to_string(StorageRequest_MemberIsIndexFirst(r.request, m)) +
                 std::to_string(StorageRequest_MemberIsIndexLast(r.request, m)) +
                 std::to_string(StorageRequest_MemberIsFileFirst(r.request, m)) +
                 std::to_string(StorageRequest_MemberIsFileLast(r.request, m)) + " ";
    EXPECT_EQ(edges, "1111 1110 1101 ");

    StorageRequestMember* last = nullptr;
    StorageRequest_MemberGetLast(r.request, &last);
    EXPECT_EQ(StorageRequest_MemberRemove(r.request, &last), 1);
    EXPECT_EQ(last, nullptr);
    uint32_t count = 0;
    StorageRequest_MemberGetCount(r.request, &count);
    EXPECT_EQ(count, 2u);
}

TEST(StorageRequestCompare, SameSlicesOfSameNamesCompareEqual) {
    Manifest perFile(kPerFile), padList(kPadList);
    Request a(perFile.meta), b(padList.meta), c(perFile.meta);
    for (int32_t i : {0, 2}) StorageRequest_IndexAdd(a.request, i), StorageRequest_IndexAdd(b.request, i);
    StorageRequest_IndexAdd(c.request, 0);
    StorageRequest_IndexAdd(c.request, 1);
    EXPECT_EQ(StorageRequest_Compare(a.request, b.request), 1);
    EXPECT_EQ(StorageRequest_Compare(a.request, c.request), 0);
    // The same slices of files of other names, or of a name that only begins alike, differ.
    for (const char* other : {R"({"files":[{"name":"x","size":10,"pad":6},{"name":"b","size":20,"pad":12}],
      "pieces":{"size":16,"digests":["AAAA","AAAA","AAAA"]}})",
                              R"({"files":[{"name":"a","size":10,"pad":6},{"name":"bb","size":20,"pad":12}],
      "pieces":{"size":16,"digests":["AAAA","AAAA","AAAA"]}})"}) {
        Manifest renamed(other);
        ASSERT_TRUE(renamed.sound);
        Request d(renamed.meta);
        for (int32_t i : {0, 2}) StorageRequest_IndexAdd(d.request, i);
        EXPECT_EQ(StorageRequest_Compare(a.request, d.request), 0) << other;
        EXPECT_EQ(StorageRequest_Compare(d.request, a.request), 0) << other;
    }
}

// One request mapping set after set of pieces, reset between them, as a copy's requests are used,
// holds each time what a new request given the same pieces holds.
TEST(StorageRequestIndexAdd, AReusedRequestMapsAsANewOne) {
    const char* kSplit = R"({"files":[{"name":"a","size":10},{"name":"e","size":0},{"name":"b","size":20},
      {"name":"late","size":0}],
      "pad":[{"offset":10,"size":6},{"offset":36,"size":12}],"pieces":{"size":32,"digests":["AAAA","AAAA"]}})";
    std::mt19937 random(77);
    for (const char* text : {kPerFile, kPadList, kSplit}) {
        Manifest manifest(text);
        ASSERT_TRUE(manifest.sound) << text;
        int32_t total = 0;
        PieceList* pieces = nullptr;
        MetaFile_GetPieceListHandle(manifest.meta, &pieces);
        PieceList_GetPieceTotal(pieces, &total);
        Request reused(manifest.meta);
        for (int round = 0; round < 40; round++) {
            StorageRequest_Reset(reused.request);
            StorageRequest_SetMetaFileHandle(reused.request, manifest.meta);
            Request fresh(manifest.meta);
            // Up to four pieces in any order, now and then one past the last, which is refused.
            const int count = 1 + (int)(random() % 4);
            for (int i = 0; i < count; i++) {
                const int32_t index = (int32_t)(random() % (uint32_t)(total + 1));
                EXPECT_EQ(StorageRequest_IndexAdd(reused.request, index),
                          StorageRequest_IndexAdd(fresh.request, index));
            }
            EXPECT_EQ(reused.Members(), fresh.Members()) << text << " round " << round;
            EXPECT_EQ(StorageRequest_Compare(reused.request, fresh.request), 1);
        }
    }
}

TEST(StorageRequestPad, InflateThenDeflateGivesBackTheContent) {
    Manifest manifest(kPerFile);
    Request r(manifest.meta);
    for (int32_t i : {0, 1, 2}) StorageRequest_IndexAdd(r.request, i);
    ASSERT_EQ(StorageRequest_Alloc(r.request), 1);
    const std::string data = "aaaaaaaaaa" "bbbbbbbbbbbbbbbbbbbb";
    uint8_t* p = nullptr;
    ASSERT_EQ(StorageRequest_GetPointer(r.request, &p), 1);
    memcpy(p, data.data(), data.size());
    StorageRequest_ReleasePointer(r.request, &p);
    StorageRequest_SetContentLength(r.request, (uint32_t)data.size());
    StorageRequest_SetFlags(r.request, 0);

    auto content = [&] {
        uint32_t length = 0;
        StorageRequest_GetContentLength(r.request, &length);
        StorageRequest_GetPointer(r.request, &p);
        std::string out(reinterpret_cast<char*>(p), length);
        StorageRequest_ReleasePointer(r.request, &p);
        return out;
    };
    EXPECT_EQ(StorageRequest_PadInflate(r.request), 1);
    EXPECT_EQ(content(), "aaaaaaaaaa" + std::string(6, '\0') + std::string(20, 'b') + std::string(12, '\0'));
    EXPECT_EQ(StorageRequest_HasFlag(r.request, STORAGE_REQUEST_FLAG_PAD), 1);
    EXPECT_EQ(StorageRequest_PadDeflate(r.request), 1);
    EXPECT_EQ(content(), data);
    EXPECT_EQ(StorageRequest_HasFlag(r.request, STORAGE_REQUEST_FLAG_PAD), 0);
}

TEST(StorageRequestVCDiff, DeltaDecodesAgainstTheDeltaRequest) {
    Manifest manifest(kPerFile);
    Request r(manifest.meta), source(manifest.meta);
    StorageRequest_IndexAdd(r.request, 0);
    StorageRequest_Alloc(r.request);
    StorageRequest_Alloc(source.request);
    StorageRequest_SetDeltaRequestHandle(r.request, source.request);
    // Source-less window: ADD "A", then COPY 4 bytes from the target it is writing.
    const Bytes delta = FromHex("000000000001020141021400");
    uint8_t* p = nullptr;
    StorageRequest_GetPointer(r.request, &p);
    memcpy(p, delta.data(), delta.size());
    StorageRequest_ReleasePointer(r.request, &p);
    StorageRequest_SetContentLength(r.request, (uint32_t)delta.size());
    StorageRequest_SetFlags(r.request, STORAGE_REQUEST_FLAG_VCDIFF);

    EXPECT_EQ(StorageRequest_VCDiffInflate(r.request), 0); // not loaded yet
    int32_t index = -1, count = -1;
    EXPECT_EQ(StorageRequest_VCDiffLoad(r.request, &index, &count), 1);
    EXPECT_EQ(StorageRequest_VCDiffInflate(r.request), 1);
    uint32_t length = 0;
    StorageRequest_GetContentLength(r.request, &length);
    StorageRequest_GetPointer(r.request, &p);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(p), length), "AAAAA");
    StorageRequest_ReleasePointer(r.request, &p);
    EXPECT_EQ(StorageRequest_HasFlag(r.request, STORAGE_REQUEST_FLAG_VCDIFF), 0);

    // A RUN of 100 bytes does not fit the 16-byte piece: the delta stays as it was.
    const Bytes tooLong = FromHex("0000000000000300" "006441");
    StorageRequest_GetPointer(r.request, &p);
    memcpy(p, tooLong.data(), tooLong.size());
    StorageRequest_ReleasePointer(r.request, &p);
    StorageRequest_SetContentLength(r.request, (uint32_t)tooLong.size());
    StorageRequest_SetFlags(r.request, STORAGE_REQUEST_FLAG_VCDIFF);
    EXPECT_EQ(StorageRequest_VCDiffLoad(r.request, &index, &count), 1);
    EXPECT_EQ(StorageRequest_VCDiffInflate(r.request), 0);
    StorageRequest_GetContentLength(r.request, &length);
    StorageRequest_GetPointer(r.request, &p);
    EXPECT_EQ(Bytes(p, p + length), tooLong);
    StorageRequest_ReleasePointer(r.request, &p);
}

TEST(StorageRequestDeath, ResetWithABufferPointerOutStops) {
    InstallTestAbortHook();
    EXPECT_DEATH(
        {
            StorageRequest* request = nullptr;
            StorageRequest_Create(&request);
            StorageRequest_Alloc(request);
            uint8_t* p = nullptr;
            StorageRequest_GetPointer(request, &p);
            StorageRequest_Reset(request);
        },
        AbortRegex("Assertion failed (StorageRequest->BufferRefCount == 0)\n"
                   "Reference to buffer not released before being reset [1]\n"));
}

} // namespace
