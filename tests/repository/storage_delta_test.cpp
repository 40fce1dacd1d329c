#include "repository/storage_delta.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "repository/storage.h"
#include "repository/storage_request.h"
#include "tests/repository/storage_test_support.h"
#include "tests/repository/test_storage_backend.h"
#include "tests/repository/vcdiff_peer.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

constexpr uint32_t kPiece = 1024;

Bytes Be(uint32_t value, int bytes) {
    Bytes out;
    for (int i = bytes - 1; i >= 0; --i) out.push_back((uint8_t)(value >> (8 * i)));
    return out;
}

// The local installation (file backend holding its stream) and a remote piece folder whose
// pieces are deltas against it; the test plays the repository's delta-source callback.
class StorageDeltaTest : public ::testing::Test {
  protected:
    StorageDeltaTest()
        : content(7), a(content.Random(3000)), b(content.Random(5000)), local({{"a", a}, {"b", b}}, kPiece),
          remote({{"a", Edited(a)}, {"b", b}}, kPiece, true, "m2") {}

    static Bytes Edited(Bytes data) {
        for (size_t i = 1100; i < 1900; i += 97) data[i] ^= 0x5a;
        return data;
    }

    void SetUp() override {
        ASSERT_EQ(NotificationCenter_Init(), 1);
        Storage_Create(&localStorage);
        Storage_Create(&remoteStorage);
        localBackend = BindTestBackend(localStorage, "file", STORAGE_FLAG_PAD);
        localBackend->Stream = local.Stream;
        remoteBackend = BindTestBackend(remoteStorage, "filePiece", STORAGE_FLAG_VCDIFF);
        remoteBackend->PieceMode = true;
        Storage_SetDeltaSourceCallback(remoteStorage, this, DeltaSource);
        StorageDelta_Create(&delta);
        StorageDelta_SetSourceHandle(delta, localStorage);
        Dictionary* config = nullptr;
        Dictionary_Create(&config);
        Dictionary_SetInt32ByKey(config, "deltaCacheSize", 1 << 20);
        EXPECT_EQ(StorageDelta_Configure(delta, nullptr, config), 1);
        Dictionary_Release(&config);
    }
    void TearDown() override {
        StorageDelta_Release(&delta);
        Storage_Release(&localStorage);
        Storage_Release(&remoteStorage);
        NotificationCenter_Remove();
        EventQueue_Flush(nullptr);
    }

    static void DeltaSource(Storage*, void* user, StorageOperation* operation) {
        StorageDeltaTest* self = static_cast<StorageDeltaTest*>(user);
        StorageRequest* request = nullptr;
        ASSERT_EQ(Storage_OperationGetRequest(operation, &request), 1);
        self->asked++;
        StorageDelta_Get(self->delta, request, operation, Done);
    }
    static void Done(StorageDelta*, StorageRequest*, void* user, uint32_t code, uint32_t extendedCode) {
        Storage_OperationComplete(static_cast<StorageOperation*>(user), code, extendedCode);
    }

    // xdelta3's delta of a remote piece against local pieces [index, index + count), as a stored
    // piece: the header naming the source run, then the window.
    Bytes DeltaPiece(int32_t target, int32_t index, int32_t count) {
        return Cat({FromHex("6e2b3b610004"), Be((uint32_t)index, 4), Be((uint32_t)count, 1),
                    DeltaWindow(target, index, count)});
    }
    Bytes DeltaWindow(int32_t target, int32_t index, int32_t count) {
        const Bytes source = local.Data((size_t)index * kPiece, (size_t)count * kPiece);
        const Bytes goal = remote.Data((size_t)target * kPiece, kPiece);
        auto file = PeerEncode(dir.path(), count ? &source : nullptr, goal);
        EXPECT_TRUE(file.has_value());
        auto converted = ConvertPeerDelta(file.value_or(Bytes{}));
        EXPECT_TRUE(converted.has_value());
        if (!converted) return {};
        // The decoder reads source copies from the start of the run it is given.
        EXPECT_EQ(converted->SourcePosition, 0u);
        return converted->Window;
    }

    // A Get of one remote piece with its delta request over the local manifest.
    Outcome GetPiece(int32_t index, Bytes* content = nullptr) {
        Request r(remote.meta, {index});
        Request source(local.meta, {});
        StorageRequest_SetDeltaRequestHandle(r.request, source.request);
        StorageRequest_SetAllowVCDiff(r.request, 1);
        Outcome got = RunGet(remoteStorage, r.request);
        if (content) *content = r.Content();
        return got;
    }

    uint64_t ReadBytes() {
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        StorageDelta_Dump(delta, d);
        int64_t bytes = -1;
        Dictionary_GetInt64ByKey(d, "readBytes", &bytes);
        Dictionary_Release(&d);
        return (uint64_t)bytes;
    }

    TempDir dir;
    DeltaContent content;
    Bytes a, b;
    TestManifest local, remote;
    Storage* localStorage = nullptr;
    Storage* remoteStorage = nullptr;
    TestStorageBackend* localBackend = nullptr;
    TestStorageBackend* remoteBackend = nullptr;
    StorageDelta* delta = nullptr;
    int asked = 0;
};

TEST_F(StorageDeltaTest, SourceRunIsReadFromLocalContentAndTheDeltaApplied) {
    remoteBackend->Pieces[1] = DeltaPiece(1, 1, 2);
    Bytes content;
    Outcome got = GetPiece(1, &content);
    EXPECT_EQ(got.Code, 0u);
    EXPECT_EQ(content, remote.Slice(kPiece, kPiece));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(localBackend->TakeCalls(), (std::vector<std::string>{"Get 1", "Get 2"}));
    EXPECT_EQ(ReadBytes(), 2u * kPiece);

    // The same source again comes from the cache, and still counts as read.
    content.clear();
    EXPECT_EQ(GetPiece(1, &content).Code, 0u);
    EXPECT_EQ(content, remote.Slice(kPiece, kPiece));
    EXPECT_TRUE(localBackend->TakeCalls().empty());
    EXPECT_EQ(ReadBytes(), 4u * kPiece);
}

TEST_F(StorageDeltaTest, WindowWithoutSourceNeedsNoLocalRead) {
    remoteBackend->Pieces[0] = DeltaPiece(0, 0, 0);
    Bytes content;
    EXPECT_EQ(GetPiece(0, &content).Code, 0u);
    EXPECT_EQ(content, remote.Slice(0, kPiece));
    EXPECT_TRUE(localBackend->TakeCalls().empty());
    EXPECT_EQ(ReadBytes(), 0u);
}

TEST_F(StorageDeltaTest, UnusableSourceRangeOrHeaderIs988) {
    const int32_t last = 7;
    const struct {
        Bytes piece;
        uint32_t code;
    } rows[] = {
        {Cat({FromHex("6e2b3b610004"), Be(last, 4), Be(2, 1), DeltaWindow(1, 1, 2)}), 988},
        {Cat({FromHex("6e2b3b610004"), Be(0x80000000u, 4), Be(1, 1), Text("x")}), 988},
        {Cat({FromHex("6e2b3b610004"), Be(1, 4), Be(1, 1), Text("not a window")}), 988},
    };
    for (const auto& row : rows) {
        remoteBackend->Pieces[1] = row.piece;
        EXPECT_EQ(GetPiece(1).Code, row.code);
    }
    EXPECT_TRUE(localBackend->TakeCalls().empty());
    EXPECT_EQ(ReadBytes(), 0u);
}

TEST_F(StorageDeltaTest, FailedSourceReadTravelsUnchanged) {
    remoteBackend->Pieces[1] = DeltaPiece(1, 1, 2);
    localBackend->Answers["Get"] = {964, 2};
    Outcome got = GetPiece(1);
    EXPECT_EQ(got.Code, 964u);
    EXPECT_EQ(got.Extended, 2u);
    EXPECT_EQ(ReadBytes(), 0u);
    // A changed local byte fails the source's digest.
    localBackend->Answers.clear();
    localBackend->Stream[kPiece + 5] ^= 1;
    StorageDelta_CacheClear(delta);
    EXPECT_EQ(GetPiece(1).Code, 979u);
}

TEST_F(StorageDeltaTest, CacheSizeFromEitherConfiguration) {
    LogCapture capture;
    Dictionary* engine = nullptr;
    Dictionary* storage = nullptr;
    Dictionary_Create(&engine);
    Dictionary_Create(&storage);
    EXPECT_EQ(StorageDelta_Configure(delta, engine, storage), 0);
    EXPECT_NE(capture.Text().find("Configuration dictionary missing deltaCacheSize"), std::string::npos);
    Dictionary_SetInt32ByPath(engine, "storage.deltaCacheSize", 4096);
    EXPECT_EQ(StorageDelta_Configure(delta, engine, storage), 1);
    Dictionary* dump = nullptr;
    Dictionary_Create(&dump);
    StorageDelta_Dump(delta, dump);
    int32_t size = 0;
    EXPECT_EQ(Dictionary_GetInt32ByPath(dump, "cache.size", &size), 1);
    EXPECT_EQ(size, 4096);
    Dictionary_SetInt32ByKey(storage, "deltaCacheSize", 8192);
    EXPECT_EQ(StorageDelta_Configure(delta, engine, storage), 1);
    StorageDelta_Dump(delta, dump);
    Dictionary_GetInt32ByPath(dump, "cache.size", &size);
    EXPECT_EQ(size, 8192);
    Dictionary_Release(&dump);
    Dictionary_Release(&engine);
    Dictionary_Release(&storage);
}

} // namespace
