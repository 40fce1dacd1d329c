#include "repository/storage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "repository/file_list.h"
#include "repository/meta_file.h"
#include "repository/offset_cache.h"
#include "repository/storage_request.h"
#include "tests/repository/storage_test_support.h"
#include "tests/repository/test_storage_backend.h"
#include "tests/support/abort_hook.h"
#include "tests/support/hex.h"
#include "tests/support/log_capture.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestRows();
        ASSERT_EQ(NotificationCenter_Init(), 1);
        ASSERT_EQ(Storage_Create(&storage), 1);
    }
    void TearDown() override {
        Storage_Release(&storage);
        NotificationCenter_Remove();
        EventQueue_Flush(nullptr);
    }
    TestStorageBackend* Bind(const char* type, uint32_t flags) { return BindTestBackend(storage, type, flags); }
    uint32_t Errors() {
        uint32_t count = 0;
        Storage_GetErrorCount(storage, &count);
        return count;
    }
    Storage* storage = nullptr;
};

TEST_F(StorageTest, ConfigureBindsByTypeAndReadsFlags) {
    const struct {
        const char* json;
        int64_t result;
        const char* type;
        uint32_t flags;
    } rows[] = {
        {R"({"type":"http","flags":"gzip"})", 1, "http", 1},
        {R"({"type":"file","flags":"aes256, vcdiff"})", 1, "file", 1},
        {R"({"type":"filePiece","flags":"pad, vcdiff, foo"})", 1, "filePiece", 5},
        {R"({"type":"FILEPIECE","flags":12})", 1, "filePiece", 12},
        {R"({"type":"filepiece","flags":" GZip ,AES256,,"})", 1, "filePiece", 10},
        {R"({"type":"s3","flags":"pad"})", 1, "httpPiece", 1},
        {R"({"type":"httpPiece"})", 1, "httpPiece", 0},
    };
    for (const auto& row : rows) {
        JsonDocument doc(row.json);
        uint32_t flags = 99;
        EXPECT_EQ(Storage_Configure(storage, nullptr, doc.d, nullptr), row.result) << row.json;
        const StorageInterface* bound = nullptr;
        Storage_GetInterface(storage, &bound);
        EXPECT_STREQ(Storage_NameFromInterface(bound), row.type) << row.json;
        Storage_GetFlags(storage, &flags);
        EXPECT_EQ(flags, row.flags) << row.json;
    }
}

TEST_F(StorageTest, ConfigureRefusesMissingTypeAndWrongFlagType) {
    const struct {
        const char* json;
        const char* line;
    } rows[] = {
        {R"({"flags":"pad"})", "Configuration dictionary missing type"},
        {R"({"type":"file","flags":true})", "Configuration dictionary invalid flag type (2)"},
        {R"({"type":"file","flags":1.5})", "Configuration dictionary invalid flag type (4)"},
    };
    LogCapture capture;
    for (const auto& row : rows) {
        capture.Clear();
        JsonDocument doc(row.json);
        EXPECT_EQ(Storage_Configure(storage, nullptr, doc.d, nullptr), 0) << row.json;
        EXPECT_NE(capture.Text().find(row.line), std::string::npos) << capture.Text();
    }
    // The backend's answer and out flags are the caller's.
    TestStorageBackend* backend = Bind("filePiece", 1);
    backend->ConfigureResult = 0;
    backend->ConfigureOutFlags = 1;
    JsonDocument doc(R"({"type":"filePiece"})");
    uint32_t out = 0;
    EXPECT_EQ(Storage_Configure(storage, nullptr, doc.d, &out), 0);
    EXPECT_EQ(out, 1u);
}

TEST_F(StorageTest, RowNamesAndBinding) {
    EXPECT_STREQ(Storage_NameFromInterface(nullptr), "none");
    EXPECT_STREQ(Storage_NameFromInterface(TestStorageInterface()), "unknown");
    EXPECT_EQ(Storage_InterfaceFromName("anything"), &TestRows().Rows[3]);
    EXPECT_EQ(Storage_HasInterface(storage), 0);
    EXPECT_EQ(Storage_SetInterface(storage, TestStorageInterface()), 1);
    TestStorageBackend* first = TestBackendOf(storage);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->PrintedTo, storage);
    // The same row again keeps its instance.
    Storage_SetInterface(storage, TestStorageInterface());
    EXPECT_EQ(TestBackendOf(storage), first);
    Storage_SetActive(storage, 1);
    Storage_Process(storage);
    EXPECT_EQ(first->TakeCalls(), (std::vector<std::string>{"SetActive 1", "Process"}));
    Storage_Shutdown(storage);
    EXPECT_EQ(Storage_SetActive(storage, 0), 0);
    EXPECT_EQ(first->TakeCalls(), std::vector<std::string>{"Shutdown"});
    Storage_SetPassword(storage, "pw");
    Storage_Reset(storage);
    EXPECT_EQ(Storage_HasInterface(storage), 0);
    char password[8] = "x";
    Storage_GetPassword(storage, password, sizeof(password));
    EXPECT_STREQ(password, "");
}

TEST_F(StorageTest, DumpNamesTheRowAndCounters) {
    Bind("http", 1);
    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    EXPECT_EQ(Storage_Dump(storage, d), 1);
    const char* text = nullptr;
    Dictionary_GetStringPtrByKey(d, "type", &text);
    EXPECT_STREQ(text, "http");
    Dictionary_GetStringPtrByKey(d, "backend", &text);
    EXPECT_STREQ(text, "test");
    for (const char* key : {"id", "errorCount", "pendingRequests", "readBytes", "writeBytes", "maxReadSpeed",
                            "maxWriteSpeed", "readSpeed", "writeSpeed"})
        EXPECT_EQ(Dictionary_ContainsKey(d, key), 1) << key;
    Dictionary_Release(&d);
}

TEST_F(StorageTest, FormatExpandsTheTemplateNames) {
    TestManifest m({{"a", Text("0123456789abcdef")}}, 16);
    const std::string digest = ToHex(m.Digests[0]);
    const struct {
        const char* format;
        const char* source;
        std::string expected;
    } rows[] = {
        {"{targetInfoHash}/{targetDigest}.quarvpiece", nullptr, "m1/" + digest + ".quarvpiece"},
        {"{TARGETINDEX}-{SourceInfoHash}", "s9", "0-s9"},
        {"{TargetIndex}-{SourceInfoHash}", nullptr, "0-{SourceInfoHash}"},
    };
    for (const auto& row : rows) {
        char out[256];
        EXPECT_EQ(Storage_Format(storage, row.format, m.meta, 0, row.source, out, sizeof(out)), 1);
        EXPECT_EQ(std::string(out), row.expected) << row.format;
    }
    // A piece the manifest does not have names no file.
    char out[256] = "x";
    for (int32_t index : {1, -1})
        EXPECT_EQ(Storage_Format(storage, "{TargetDigest}", m.meta, index, nullptr, out, sizeof(out)), 0);
    EXPECT_EQ(Storage_Format(storage, "{TargetInfoHash}", nullptr, 0, nullptr, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
}

// ---- Chains ----------------------------------------------------------------------------------

TEST_F(StorageTest, GetReadsEachMemberDecodesAndVerifies) {
    for (bool hashPadding : {true, false}) {
        TestManifest m({{"a", Text("ten bytes!")}, {"b", Text("twenty bytes of text")}}, 16, hashPadding);
        TestStorageBackend* backend = Bind("file", 1);
        backend->Stream = m.Stream;
        Request r(m.meta, {0, 1, 2});
        double before = 0, after = 0;
        Storage_SetIOTime(storage, -1.0);
        Storage_GetIOTime(storage, &before);
        Outcome got = RunGet(storage, r.request);
        Storage_GetIOTime(storage, &after);
        EXPECT_GT(after, before);
        EXPECT_EQ(got.Code, 0u);
        EXPECT_EQ(got.Slot, r.request);
        EXPECT_EQ(backend->TakeCalls(), (std::vector<std::string>{"Get 0", "Get 1", "Get 2"}));
        EXPECT_EQ(r.Content(), hashPadding ? m.Stream : m.Unpadded());
        uint32_t pending = 9;
        Storage_GetPendingRequests(storage, &pending);
        EXPECT_EQ(pending, 0u);
    }
    EXPECT_EQ(Errors(), 0u);
}

// A step that ends on its worker thread hands the chain's next step to that thread rather than to
// another: the members of a request run one after another either way, and a hand-off costs more
// than a member's work.
TEST_F(StorageTest, AChainRunsOnOneThread) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (int i = 0; i < 150; ++i) files.push_back({"f" + std::to_string(i), Text("x")});
    TestManifest m(files, 1);
    TestStorageBackend* backend = Bind("file", 1);
    backend->Stream = m.Stream;
    Request r(m.meta, {});
    for (int32_t i = 0; i < (int32_t)files.size(); ++i) ASSERT_EQ(StorageRequest_IndexAdd(r.request, i), 1);
    ASSERT_EQ(StorageRequest_Alloc(r.request), 1);
    for (int run = 0; run < 5; ++run) {
        {
            std::lock_guard<std::mutex> guard(backend->Lock);
            backend->Threads.clear();
        }
        ASSERT_TRUE(backend->TakeCalls().empty());
        Outcome got = RunGet(storage, r.request);
        ASSERT_EQ(got.Code, 0u);
        std::vector<std::thread::id> threads;
        {
            std::lock_guard<std::mutex> guard(backend->Lock);
            threads = backend->Threads;
        }
        ASSERT_GT(threads.size(), 64u);
        EXPECT_EQ(backend->TakeCalls().size(), threads.size());
        // The first steps of the chain ran where the first member did.
        for (size_t i = 1; i < 60; ++i) EXPECT_EQ(threads[i], threads[0]) << i;
    }
}

TEST_F(StorageTest, ErrorsTravelToTheCompletionAndCountOnce) {
    TestManifest m({{"a", Text("ten bytes!")}, {"b", Text("twenty bytes of text")}}, 16);
    TestStorageBackend* backend = Bind("file", 1);
    backend->Stream = m.Stream;
    backend->Answers["Get"] = {964, 13};
    Request r(m.meta, {0, 1, 2});
    Outcome got = RunGet(storage, r.request);
    EXPECT_EQ(got.Code, 964u);
    EXPECT_EQ(got.Extended, 13u);
    EXPECT_EQ(backend->TakeCalls(), std::vector<std::string>{"Get 0"});
    EXPECT_EQ(Errors(), 1u);
    Storage_DecrementErrorCount(storage);
    Storage_DecrementErrorCount(storage);
    EXPECT_EQ(Errors(), 0u);

    // A changed byte fails the digest.
    backend->Answers.clear();
    backend->Stream[20] ^= 1;
    Request changed(m.meta, {0, 1, 2});
    EXPECT_EQ(RunGet(storage, changed.request).Code, 979u);
    EXPECT_EQ(Errors(), 1u);
}

TEST_F(StorageTest, ShortPieceIsHashFailureWithItsReason) {
    TestManifest m({{"a", Text("0123456789abcdef")}}, 16, false);
    TestStorageBackend* backend = Bind("filePiece", 0);
    backend->PieceMode = true;
    backend->Pieces[0] = Text("0123456789");
    Request r(m.meta, {0});
    LogCapture capture;
    EXPECT_EQ(RunGet(storage, r.request).Code, 979u);
    EXPECT_NE(capture.Text().find("Not enough bytes to calculate digest (0)"), std::string::npos);
}

TEST_F(StorageTest, CachedMembersSkipTheBackend) {
    TestManifest m({{"a", Text("ten bytes!")}, {"b", Text("twenty bytes of text")}}, 16);
    TestStorageBackend* backend = Bind("file", 1);
    backend->Stream = m.Stream;
    OffsetCache* cache = nullptr;
    OffsetCache_Create(&cache);
    OffsetCache_SetSize(cache, 1 << 16);
    // An entry of another length at a member's offset is no copy of that member: it is read.
    OffsetCache_Put(cache, 0, "abc", 3);
    Request first(m.meta, {0, 1, 2});
    EXPECT_EQ(RunGet(storage, first.request, cache).Code, 0u);
    EXPECT_EQ(first.Content(), m.Stream);
    EXPECT_EQ(backend->TakeCalls().size(), 3u);
    Request again(m.meta, {1, 2});
    EXPECT_EQ(RunGet(storage, again.request, cache).Code, 0u);
    EXPECT_TRUE(backend->TakeCalls().empty());
    EXPECT_EQ(again.Content(), Bytes(m.Stream.begin() + 16, m.Stream.end()));
    OffsetCache_Release(&cache);
}

TEST_F(StorageTest, PieceHeaderFlagsDecideTheStages) {
    TestManifest m({{"a", Text(std::string(40, 'z') + "end")}}, 64);
    TestStorageBackend* backend = Bind("filePiece", 1);
    backend->PieceMode = true;
    backend->Pieces[0] = Cat({FromHex("6e2b3b610002"), Gzip(m.Unpadded())});
    Request r(m.meta, {0});
    EXPECT_EQ(RunGet(storage, r.request).Code, 0u);
    EXPECT_EQ(r.Content(), m.Stream);
    // Broken gzip: Compression with zlib's answer.
    backend->Pieces[0] = Cat({FromHex("6e2b3b610002"), Text("not gzip at all")});
    Request broken(m.meta, {0});
    Outcome got = RunGet(storage, broken.request);
    EXPECT_EQ(got.Code, 960u);
    EXPECT_EQ(got.Extended, (uint32_t)-3); // Z_DATA_ERROR
}

TEST_F(StorageTest, PutEncodesTowardsTheStorageOrSaysWhyNot) {
    TestManifest m({{"a", Text("ten bytes!")}, {"b", Text("twenty bytes of text")}}, 16);
    const struct {
        uint32_t flags;
        uint32_t code;
        const char* line;
    } rows[] = {
        {0, 0, nullptr},
        {1, 0, nullptr},
        {3, 960, "GZip deflate not implemeted"},
        {9, 989, "AES encrypt not implemeted"},
    };
    for (const auto& row : rows) {
        TestStorageBackend* backend = Bind("filePiece", row.flags);
        Request r(m.meta, {0, 1, 2});
        r.Load(m.Stream, STORAGE_FLAG_PAD);
        LogCapture capture;
        Outcome got = RunChain([&](StorageCallback cb, void* user) {
            return Storage_Put(storage, r.request, user, cb);
        });
        EXPECT_EQ(got.Code, row.code) << row.flags;
        if (row.line) {
            EXPECT_NE(capture.Text().find(row.line), std::string::npos) << capture.Text();
            EXPECT_TRUE(backend->TakeCalls().empty());
        } else {
            EXPECT_EQ(backend->TakeCalls(), (std::vector<std::string>{"Put 0", "Put 1", "Put 2"}));
            EXPECT_EQ(r.Content(), (row.flags & 1) ? m.Stream : m.Unpadded()) << row.flags;
        }
    }
}

TEST_F(StorageTest, SingleStepOperationsHandTheirSlotBack) {
    TestManifest m({{"a", Text("0123456789abcdef")}}, 16);
    TestStorageBackend* backend = Bind("filePiece", 0);
    backend->PieceMode = true;
    backend->Pieces[0] = Text("x");
    FileList* files = nullptr;
    FileListMember* file = nullptr;
    MetaFile_GetFileListHandle(m.meta, &files);
    FileList_MemberGetFirst(files, &file);
    Request r(m.meta, {0});

    Outcome erase = RunChain([&](StorageCallback cb, void* user) { return Storage_Erase(storage, m.meta, 0, user, cb); });
    EXPECT_EQ(erase.Code, 0u);
    EXPECT_EQ(erase.Slot, nullptr);
    EXPECT_EQ(RunChain([&](StorageCallback cb, void* user) { return Storage_Erase(storage, m.meta, 0, user, cb); }).Code,
              404u);
    Outcome fileErase =
        RunChain([&](StorageCallback cb, void* user) { return Storage_FileErase(storage, m.meta, file, user, cb); });
    EXPECT_EQ(fileErase.Slot, file);
    Outcome complete = RunChain(
        [&](StorageCallback cb, void* user) { return Storage_FileComplete(storage, r.request, file, user, cb); });
    EXPECT_EQ(complete.Slot, file);
    Outcome exists =
        RunChain([&](StorageCallback cb, void* user) { return Storage_Exists(storage, r.request, user, cb); });
    EXPECT_EQ(exists.Code, 404u);
    EXPECT_EQ(backend->TakeCalls(),
              (std::vector<std::string>{"Erase 0", "Erase 0", "FileErase", "FileComplete", "Exists 0"}));
}

TEST_F(StorageTest, DeltaWithoutSourceCallbackIsNotSupported) {
    TestManifest m({{"a", Text("0123456789abcdef")}}, 16);
    TestStorageBackend* backend = Bind("filePiece", STORAGE_FLAG_VCDIFF);
    backend->PieceMode = true;
    backend->Pieces[0] = Cat({FromHex("6e2b3b61000400000000" "01"), Text("delta bytes")});
    Request r(m.meta, {0});
    StorageRequest* delta = nullptr;
    StorageRequest_Create(&delta);
    StorageRequest_SetDeltaRequestHandle(r.request, delta);
    StorageRequest_Release(&delta);
    StorageRequest_SetAllowVCDiff(r.request, 1);
    EXPECT_EQ(RunGet(storage, r.request).Code, 501u);
}

TEST_F(StorageTest, ShutdownCompletesEveryOpenChainOnceWith989) {
    TestManifest m({{"a", Text("0123456789abcdef")}}, 16);
    TestStorageBackend* backend = Bind("file", 1);
    backend->Stream = m.Stream;
    backend->Hold = true;
    Request r(m.meta, {0});
    std::vector<Outcome> seen;
    auto record = [](Storage*, void* user, void* slot, uint32_t code, uint32_t extended) {
        static_cast<std::vector<Outcome>*>(user)->push_back({slot, code, extended, true});
    };
    Storage_Get(storage, r.request, nullptr, &seen, record);
    ASSERT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> guard(backend->Lock);
        return !backend->Calls.empty();
    }));
    EXPECT_EQ(Storage_Shutdown(storage), 1);
    EXPECT_EQ(Storage_Shutdown(storage), 1);
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
    // A Get after shutdown never reaches the backend.
    Request later(m.meta, {0});
    Storage_Get(storage, later.request, nullptr, &seen, record);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }));
    PumpUntil([] { return false; }, 0.05);
    ASSERT_EQ(seen.size(), 2u);
    for (const Outcome& o : seen) {
        EXPECT_EQ(o.Code, 989u);
        EXPECT_EQ(o.Extended, 1u);
    }
    EXPECT_EQ(backend->TakeCalls(), (std::vector<std::string>{"Get 0", "Shutdown"}));
}

TEST_F(StorageTest, PasswordPromptRerunsDecryptOrCancels) {
    TestManifest m({{"a", Text("piece bytes that are not a whole number of blocks")}}, 64, false);
    const Bytes container = BuildContainer("secret", m.Unpadded());
    PromptWatcher prompts;
    for (bool cancel : {false, true}) {
        TestStorageBackend* backend = Bind("filePiece", 0);
        Storage_SetIdentifier(storage, "vault");
        Storage_SetPassword(storage, "wrong");
        backend->PieceMode = true;
        backend->Pieces[0] = Cat({FromHex("6e2b3b610008"), container});
        Request r(m.meta, {0});
        Outcome got = RunGet(storage, r.request, nullptr, [&] {
            if (prompts.Requester.empty()) return false;
            EXPECT_EQ(prompts.Filter, "storagedecrypt");
            EXPECT_EQ(prompts.Host, "vault");
            EXPECT_EQ(prompts.Password, "wrong");
            prompts.Answer(cancel, "secret");
            return true;
        });
        if (cancel) {
            EXPECT_EQ(got.Code, 989u);
            EXPECT_EQ(got.Extended, 9u);
        } else {
            EXPECT_EQ(got.Code, 0u);
            EXPECT_EQ(r.Content(), m.Unpadded());
        }
        EXPECT_EQ(backend->TakeCalls(), std::vector<std::string>{"Get 0"});
    }
    // A prompt still open at shutdown ends its chain with 989/1.
    TestStorageBackend* backend = Bind("filePiece", 0);
    Storage_SetPassword(storage, "wrong");
    backend->PieceMode = true;
    backend->Pieces[0] = Cat({FromHex("6e2b3b610008"), container});
    Request r(m.meta, {0});
    Outcome got = RunGet(storage, r.request, nullptr, [&] {
        if (prompts.Requester.empty()) return false;
        Storage_Shutdown(storage);
        return true;
    });
    EXPECT_EQ(got.Code, 989u);
    EXPECT_EQ(got.Extended, 1u);
    // The late answer finds nothing to resume.
    prompts.Answer(false, "secret");
    PumpUntil([] { return false; }, 0.05);
}

TEST(StorageDeathTest, RowWithoutAnEntryIsAProgrammingError) {
    InstallTestAbortHook();
    StorageInterface row = *TestStorageInterface();
    row.Get = nullptr;
    Storage* storage = nullptr;
    Storage_Create(&storage);
    EXPECT_DEATH(Storage_SetInterface(storage, &row), AbortRegex("Pointer is NULL\n"));
    // Piece operations need a bound backend.
    StorageRequest* request = nullptr;
    StorageRequest_Create(&request);
    EXPECT_DEATH(Storage_Exists(storage, request, nullptr, nullptr), AbortRegex("Pointer is NULL\n"));
    StorageRequest_Release(&request);
    Storage_Release(&storage);
}

} // namespace
