#include "repository/storage_copy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/platform/async_file.h"
#include "core/runtime/bit_field.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/thread.h"
#include "tests/repository/storage_test_support.h"
#include "tests/support/abort_hook.h"

namespace {

void Runtime() {
    static const bool up = Thread_Init() == 1 && Meter_Init() == 1 && EventQueue_Init() == 1 &&
                           IOWorker_Init() == 1 && AsyncFile_Init() == 1 &&
                           NotificationCenter_Init() == 1;
    ASSERT_TRUE(up);
}

int Shell(const std::string& command) { return system(command.c_str()); }

Bytes Fill(size_t n, uint8_t seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = (uint8_t)(seed + i * 7 + (i >> 3));
    return out;
}

Storage* TestStorage(const Bytes& stream = {}) {
    Storage* s = nullptr;
    Storage_Create(&s);
    Storage_SetInterface(s, TestStorageInterface());
    TestBackendOf(s)->Stream = stream;
    return s;
}

std::vector<std::string> Only(const std::vector<std::string>& calls, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& c : calls)
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
}

size_t HeldCount(TestStorageBackend* b) {
    std::lock_guard<std::mutex> guard(b->Lock);
    return b->Held.size();
}

struct ErrorSeen {
    int32_t Source, Index, Type;
    uint32_t Count, Code;
};

// The owner's side: a few request slots, a source, an error handler that lets failed checks of
// the local and pending storages pass and otherwise answers what the test sets.
struct Owner {
    std::vector<StorageRequest*> Slots;
    std::vector<bool> Lent;
    int MaxLent = 0, Acquired = 0, Released = 0;
    Storage* Source = nullptr;
    std::vector<ErrorSeen> Errors;
    int64_t Answer = STORAGE_COPY_RESPONSE_RETRY;
    double Resume = 0;

    explicit Owner(int slots) {
        for (int i = 0; i < slots; ++i) {
            Slots.push_back(nullptr);
            StorageRequest_Create(&Slots.back());
            Lent.push_back(false);
        }
    }
    ~Owner() {
        for (auto& s : Slots) StorageRequest_Release(&s);
    }
    void Attach(StorageCopy* copy) {
        StorageCopy_SetRequestAcquireCallback(copy, this, Acquire);
        StorageCopy_SetRequestReleaseCallback(copy, this, Release);
        StorageCopy_SetSourceCallback(copy, this, Choose);
        StorageCopy_SetErrorCallback(copy, this, OnError);
    }
    static int64_t Acquire(StorageCopy*, void* user, StorageRequest** request) {
        Owner* o = static_cast<Owner*>(user);
        for (size_t i = 0; i < o->Slots.size(); ++i)
            if (!o->Lent[i]) {
                o->Lent[i] = true;
                *request = o->Slots[i];
                o->Acquired++;
                o->MaxLent = std::max(o->MaxLent, (int)std::count(o->Lent.begin(), o->Lent.end(), true));
                return 1;
            }
        return 0;
    }
    static void Release(StorageCopy*, void* user, StorageRequest** request) {
        Owner* o = static_cast<Owner*>(user);
        for (size_t i = 0; i < o->Slots.size(); ++i)
            if (o->Slots[i] == *request) o->Lent[i] = false;
        o->Released++;
        *request = nullptr;
    }
    static int64_t Choose(StorageCopy*, void* user, Storage** storage) {
        *storage = static_cast<Owner*>(user)->Source;
        return *storage ? 1 : 0;
    }
    static int64_t OnError(StorageCopy*, void* user, StorageRequest*, int32_t source, int32_t index, uint32_t count,
                           int32_t type, uint32_t code, uint32_t, double* resume) {
        Owner* o = static_cast<Owner*>(user);
        if (type == STORAGE_COPY_TYPE_READ && (source == STORAGE_COPY_SOURCE_LOCAL || source == STORAGE_COPY_SOURCE_PENDING))
            return STORAGE_COPY_RESPONSE_IGNORE;
        o->Errors.push_back({source, index, type, count, code});
        *resume = o->Resume;
        return o->Answer;
    }
};

struct Job {
    StorageCopy* copy = nullptr;
    Owner owner;
    explicit Job(int slots = 3) : owner(slots) {
        Runtime();
        StorageCopy_Create(&copy);
        owner.Attach(copy);
    }
    ~Job() {
        StorageCopy_Shutdown(copy);
        PumpUntil([] { return true; });
        StorageCopy_Release(&copy);
    }
    void Setup(MetaFile* source, MetaFile* dest, uint32_t flags, BitField* mask = nullptr) {
        StorageCopy_Reset(copy);
        StorageCopy_SetSourceMetaFileHandle(copy, source);
        StorageCopy_SetDestMetaFileHandle(copy, dest);
        StorageCopy_SetMaskBitFieldHandle(copy, mask);
        StorageCopy_SetFlags(copy, flags);
        StorageCopy_SetRequests(copy, (int32_t)owner.Slots.size());
        ASSERT_EQ(StorageCopy_Configure(copy), 1);
        ASSERT_EQ(StorageCopy_Start(copy), 1);
    }
    // An update from the installed manifest to the source with the automatic mask, the source's
    // and the destination's storages both over the source's bytes; the destination is the caller's
    // to release.
    Storage* AutoMaskUpdate(const TestManifest& source, const TestManifest& installed) {
        owner.Source = TestStorage(source.Stream);
        Storage* dest = TestStorage(source.Stream);
        StorageCopy_SetDestHandle(copy, dest);
        Setup(source.meta, installed.meta,
              STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE | STORAGE_COPY_FLAG_AUTO_MASK);
        return dest;
    }
    bool Run(double seconds = 20) {
        return PumpUntil(
            [&] {
                StorageCopy_Process(copy);
                return StorageCopy_IsComplete(copy) == 1;
            },
            seconds);
    }
    int32_t Stat(int64_t (*get)(StorageCopy*, int32_t*)) {
        int32_t v = -1;
        get(copy, &v);
        return v;
    }
    double Progress() {
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        StorageCopy_Dump(copy, d);
        double p = -1;
        Dictionary_GetFloat64ByKey(d, "progress", &p);
        Dictionary_Release(&d);
        return p;
    }
};

// A temporary folder with a "file" storage over "out" and the expected tree in "want".
struct Disk {
    std::string root;
    Storage* storage = nullptr;
    Disk() {
        char name[] = "/tmp/storage_copy_XXXXXX";
        root = mkdtemp(name);
        Shell("mkdir -p " + root + "/out " + root + "/want");
        Storage_Create(&storage);
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        Dictionary_SetStringByKey(d, "type", "file");
        Dictionary_SetStringByKey(d, "path", (root + "/out").c_str());
        EXPECT_EQ(Storage_Configure(storage, nullptr, d, nullptr), 1);
        Dictionary_Release(&d);
    }
    ~Disk() {
        Storage_Shutdown(storage);
        PumpUntil([] { return true; }, 0.05);
        Storage_Release(&storage);
        Shell("rm -rf " + root);
    }
    void Want(const std::vector<std::pair<std::string, Bytes>>& files) {
        for (const auto& [name, data] : files)
            std::ofstream(root + "/want/" + name, std::ios::binary).write((const char*)data.data(), (long)data.size());
    }
    // The record of copies stays until a sync ends; the copy job alone leaves it.
    bool Same() { return Shell("diff -r -x .quarvpartial " + root + "/want " + root + "/out >/dev/null") == 0; }
};

const std::vector<std::pair<std::string, Bytes>> kTree = {
    {"a.bin", Fill(40, 1)}, {"empty", {}}, {"b.bin", Fill(16, 9)}, {"c.bin", Fill(5, 3)}};

TEST(StorageCopy, CopiesIntoFileStorageInPieceOrderAndSkipsWhatExists) {
    TestManifest m(kTree, 16);
    Job job(2);
    Disk disk;
    disk.Want(kTree);
    job.owner.Source = TestStorage(m.Stream);
    StorageCopy_SetDestHandle(job.copy, disk.storage);
    job.Setup(m.meta, nullptr, STORAGE_COPY_FLAGS_DEFAULT);
    EXPECT_LE(job.Progress(), 0.99);
    ASSERT_TRUE(job.Run());
    EXPECT_TRUE(disk.Same());
    auto gets = Only(TestBackendOf(job.owner.Source)->TakeCalls(), "Get");
    std::sort(gets.begin(), gets.end());
    EXPECT_EQ(gets, (std::vector<std::string>{"Get 0", "Get 1", "Get 2", "Get 3", "Get 3", "Get 4"}));
    EXPECT_EQ(job.Stat(StorageCopy_GetPiecesWritten), 5);
    EXPECT_EQ(job.Stat(StorageCopy_GetPiecesSkipped), 0);
    uint64_t written = 0;
    StorageCopy_GetBytesWritten(job.copy, &written);
    EXPECT_EQ(written, 61u);  // the files' bytes, without their padding
    EXPECT_EQ(job.Progress(), 1.0);
    EXPECT_EQ(job.owner.MaxLent, 2);
    EXPECT_EQ(job.owner.Acquired, job.owner.Released);
    EXPECT_TRUE(job.owner.Errors.empty());

    // Again over the installed tree: every piece found in place, nothing fetched, no time sample.
    job.Setup(m.meta, nullptr, STORAGE_COPY_FLAGS_DEFAULT);
    ASSERT_TRUE(job.Run());
    EXPECT_TRUE(Only(TestBackendOf(job.owner.Source)->TakeCalls(), "Get").empty());
    EXPECT_EQ(job.Stat(StorageCopy_GetPiecesSkipped), 5);
    EXPECT_EQ(job.Stat(StorageCopy_GetPiecesWritten), 0);
    uint64_t skipped = 0;
    StorageCopy_GetBytesSkipped(job.copy, &skipped);
    EXPECT_EQ(skipped, 61u);
    double average = -1;
    EXPECT_EQ(StorageCopy_GetPieceAverageTime(job.copy, &average), 0);
    EXPECT_EQ(average, 0);
    Storage_Release(&job.owner.Source);
}

TEST(StorageCopy, AutomaticMaskSkipsOnlyFilesThatAreOnDisk) {
    TestManifest m(kTree, 16);
    Job job(1);
    Disk disk;
    disk.Want(kTree);
    job.owner.Source = TestStorage(m.Stream);
    StorageCopy_SetDestHandle(job.copy, disk.storage);
    job.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE);
    ASSERT_TRUE(job.Run());
    TestBackendOf(job.owner.Source)->TakeCalls();

    // The old manifest says a.bin is in place, but it was deleted and c.bin cut short.
    Shell("rm " + disk.root + "/out/a.bin; truncate -s 2 " + disk.root + "/out/c.bin");
    job.Setup(m.meta, m.meta, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE | STORAGE_COPY_FLAG_AUTO_MASK);
    ASSERT_TRUE(job.Run());
    EXPECT_TRUE(disk.Same());
    EXPECT_EQ(Only(TestBackendOf(job.owner.Source)->TakeCalls(), "Get"),
              (std::vector<std::string>{"Get 0", "Get 1", "Get 2", "Get 4"}));
    EXPECT_EQ(job.Stat(StorageCopy_GetPiecesSkipped), 1);
    uint64_t skipped = 0;
    StorageCopy_GetBytesSkipped(job.copy, &skipped);
    EXPECT_EQ(skipped, 16u);
    Storage_Release(&job.owner.Source);
}

// A file whose pieces the automatic mask keeps is completed again only where the installed
// manifest does not list it as the new version does: its time, attributes or presence differ, or
// it is a link (only a completion reads where a link leads).
TEST(StorageCopy, AutomaticMaskCompletesOnlyFilesTheInstalledManifestListsOtherwise) {
    const std::vector<std::pair<std::string, Bytes>> files = {{"a", Fill(16, 1)}, {"b", Fill(16, 2)}};
    const std::string listed = ",\"mtime\":5,\"attr\":4";
    struct Row {
        const char* What;
        std::string Installed, Source;
        bool Completed;
    } rows[] = {
        {"listed alike", listed, listed, false},
        {"another time", ",\"mtime\":6,\"attr\":4", listed, true},
        {"other attributes", ",\"mtime\":5,\"attr\":0", listed, true},
        {"no time installed", ",\"attr\":4", listed, true},
        {"no attributes installed", ",\"mtime\":5", ",\"mtime\":5,\"attr\":0", true},
        {"a link", listed + ",\"link\":\"a\"", listed + ",\"link\":\"a\"", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        TestManifest installed(files, 16, true, "m1", {listed, row.Installed});
        TestManifest source(files, 16, true, "m2", {listed, row.Source});
        Job job(2);
        Storage* dest = job.AutoMaskUpdate(source, installed);
        ASSERT_TRUE(job.Run());
        EXPECT_EQ(job.Stat(StorageCopy_GetPiecesSkipped), 2);
        EXPECT_EQ(Only(TestBackendOf(dest)->TakeCalls(), "FileComplete").size(), row.Completed ? 1u : 0u);
        for (Storage* s : {job.owner.Source, dest}) Storage_Release(&s);
    }
}

// The pieces the installed manifest lists otherwise in their place go first: with one request,
// the changed piece is fetched and written before any kept one is checked; all end as before.
TEST(StorageCopy, AutomaticMaskTakesTheChangedPiecesFirst) {
    const std::vector<std::pair<std::string, Bytes>> before = {
        {"a", Fill(16, 1)}, {"b", Fill(16, 2)}, {"c", Fill(16, 3)}, {"d", Fill(16, 4)}};
    auto after = before;
    after[2].second = Fill(16, 9);
    TestManifest installed(before, 16, true, "m1");
    TestManifest source(after, 16, true, "m2");
    Job job(1);
    Storage* dest = job.AutoMaskUpdate(source, installed);
    ASSERT_TRUE(job.Run());
    std::vector<std::string> order;
    for (const auto& call : TestBackendOf(dest)->TakeCalls())
        if (call.rfind("Exists", 0) == 0 || call.rfind("Put", 0) == 0) order.push_back(call);
    EXPECT_EQ(order, (std::vector<std::string>{"Put 2", "Exists 0", "Exists 1", "Exists 3"}));
    EXPECT_EQ(job.Stat(StorageCopy_GetPiecesSkipped), 3);
    EXPECT_EQ(job.Stat(StorageCopy_GetPiecesWritten), 1);
    for (Storage* s : {job.owner.Source, dest}) Storage_Release(&s);
}

TEST(StorageCopy, PendingPieceIsWrittenWithoutCheckOrFetch) {
    TestManifest m({{"a", Fill(16, 5)}}, 16);
    Job job(1);
    job.owner.Source = TestStorage(m.Stream);
    Storage* pending = TestStorage(m.Stream);
    Storage* dest = TestStorage();
    StorageCopy_SetDestHandle(job.copy, dest);
    StorageCopy_SetPendingHandle(job.copy, pending);
    job.Setup(m.meta, nullptr, 15);
    ASSERT_TRUE(job.Run());
    EXPECT_TRUE(TestBackendOf(job.owner.Source)->TakeCalls().empty());
    EXPECT_EQ(TestBackendOf(pending)->TakeCalls(), (std::vector<std::string>{"Get 0"}));
    EXPECT_EQ(TestBackendOf(dest)->TakeCalls(), (std::vector<std::string>{"Put 0", "FileComplete"}));
    EXPECT_EQ(TestBackendOf(dest)->Stream, m.Unpadded());

    // Into the pending storage, a piece already there is skipped.
    job.Setup(m.meta, nullptr, 15 | STORAGE_COPY_FLAG_TO_PENDING);
    ASSERT_TRUE(job.Run());
    EXPECT_EQ(job.Stat(StorageCopy_GetPiecesSkipped), 1);
    EXPECT_EQ(Only(TestBackendOf(pending)->TakeCalls(), "Put"), std::vector<std::string>{});
    for (Storage* s : {job.owner.Source, pending, dest}) Storage_Release(&s);
}

TEST(StorageCopy, FilesCompleteInOrderAndWithinTheInFlightLimit) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (int i = 0; i < 13; ++i) files.push_back({"f" + std::to_string(i), Fill(16, (uint8_t)i)});
    TestManifest m(files, 16);
    Job job(1);
    job.owner.Source = TestStorage(m.Stream);
    Storage* dest = TestStorage();
    StorageCopy_SetDestHandle(job.copy, dest);
    // Every piece but the first is left out; while the first is not written no file completes.
    BitField* mask = nullptr;
    BitField_Create(&mask);
    BitField_SetTotalBits(mask, 13);
    BitField_SetRange(mask, 1, 12);
    TestBackendOf(dest)->Hold = true;
    job.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE, mask);
    EXPECT_EQ(job.Stat(StorageCopy_GetPiecesMasked), 12);
    ASSERT_TRUE(PumpUntil([&] { StorageCopy_Process(job.copy); return HeldCount(TestBackendOf(dest)) == 1; }));
    PumpUntil([&] { StorageCopy_Process(job.copy); return false; }, 0.1);
    EXPECT_EQ(TestBackendOf(dest)->TakeCalls(), std::vector<std::string>{"Put 0"});
    TestBackendOf(dest)->CompleteHeld(0, 0);
    PumpUntil([&] { StorageCopy_Process(job.copy); return false; }, 0.1);
    EXPECT_EQ(Only(TestBackendOf(dest)->TakeCalls(), "FileComplete").size(), 10u);
    EXPECT_LE(job.Progress(), 0.99);
    TestBackendOf(dest)->Hold = false;
    TestBackendOf(dest)->CompleteHeld(0, 0);
    ASSERT_TRUE(job.Run());
    EXPECT_EQ(Only(TestBackendOf(dest)->TakeCalls(), "FileComplete").size(), 3u);
    uint64_t masked = 0, total = 0;
    EXPECT_EQ(StorageCopy_GetBytesMasked(job.copy, &masked), 1);
    StorageCopy_GetBytesTotal(job.copy, &total);
    EXPECT_EQ(masked, 192u);
    EXPECT_EQ(total, 16u);
    EXPECT_EQ(job.Progress(), 1.0);
    BitField_Release(&mask);
    for (Storage* s : {job.owner.Source, dest}) Storage_Release(&s);
}

TEST(StorageCopy, FailuresReachTheOwnerWithSourceTypeAndCount) {
    TestManifest m({{"a", Fill(32, 5)}}, 16);
    struct Case {
        const char* Op;
        uint32_t Code;
        int32_t Source, Type;
        uint32_t Reported;
    } cases[] = {
        {"Get", 500, STORAGE_COPY_SOURCE_REMOTE, STORAGE_COPY_TYPE_READ, 500},
        {"Get", (uint32_t)-988, STORAGE_COPY_SOURCE_DELTA, STORAGE_COPY_TYPE_READ, 988},
        {"Put", 964, STORAGE_COPY_SOURCE_LOCAL, STORAGE_COPY_TYPE_WRITE, 964},
    };
    for (const Case& c : cases) {
        Job job(1);
        job.owner.Source = TestStorage(m.Stream);
        Storage* dest = TestStorage();
        StorageCopy_SetDestHandle(job.copy, dest);
        TestStorageBackend* failing = TestBackendOf(c.Op[0] == 'G' ? job.owner.Source : dest);
        failing->Answers[c.Op] = {c.Code, 0};
        job.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE);
        PumpUntil([&] { StorageCopy_Process(job.copy); return job.owner.Errors.size() >= 2; });
        failing->Answers.clear();
        ASSERT_TRUE(job.Run()) << c.Op;
        ASSERT_GE(job.owner.Errors.size(), 2u);
        const ErrorSeen& first = job.owner.Errors[0];
        EXPECT_EQ(first.Source, c.Source);
        EXPECT_EQ(first.Type, c.Type);
        EXPECT_EQ(first.Code, c.Reported);
        EXPECT_EQ(first.Index, 0);
        EXPECT_EQ(first.Count, 0u);
        EXPECT_EQ(job.owner.Errors[1].Count, 1u);  // the piece queue counted the retried failure
        EXPECT_EQ(TestBackendOf(dest)->Stream, m.Unpadded());
        for (Storage* s : {job.owner.Source, dest}) Storage_Release(&s);
    }
}


TEST(StorageCopy, PieceAverageDropsTheOutliersFromSeventySamplesOn) {
    const int32_t pieces = 81;
    TestManifest m({{"a", Fill(16 * pieces, 5)}}, 16);
    Job job(1);
    job.owner.Source = TestStorage(m.Stream);
    Storage* dest = TestStorage();
    StorageCopy_SetDestHandle(job.copy, dest);
    TestStorageBackend* held = TestBackendOf(dest);
    held->Hold = true;
    job.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE);
    double average = -1;
    // 25 quick pieces, 30 of about 20 ms and 25 of about 300 ms: only the middle 30 count. The
    // slow ones are slow enough that a busy machine's lag on the middle ones does not reach the
    // average of all.
    for (int32_t i = 0; i < pieces - 1; ++i) {
        ASSERT_TRUE(PumpUntil([&] { StorageCopy_Process(job.copy); return HeldCount(held) == 1; }));
        usleep(i % 3 == 0 && i < 75 ? 300000 : i % 3 == 1 && i < 75 ? 0 : 20000);
        held->CompleteHeld(0, 0);
        ASSERT_TRUE(PumpUntil([&] { return job.Stat(StorageCopy_GetPiecesWritten) == i + 1; })) << i;
        if (i == 18) {
            EXPECT_EQ(StorageCopy_GetPieceAverageTime(job.copy, &average), 0);
        }
    }
    ASSERT_EQ(StorageCopy_GetPieceAverageTime(job.copy, &average), 1);
    EXPECT_GE(average, 0.020);
    EXPECT_LT(average, 0.080);  // all 80 would average about 0.10 s
    StorageCopy_SetRequests(job.copy, 2);
    double remaining = 0;
    ASSERT_EQ(StorageCopy_GetRemainingTime(job.copy, &remaining), 1);
    EXPECT_DOUBLE_EQ(remaining, average / 2);
    held->Hold = false;
    held->CompleteHeld(0, 0);
    ASSERT_TRUE(job.Run());
    for (Storage* s : {job.owner.Source, dest}) Storage_Release(&s);
}

TEST(StorageCopy, WaitRepeatsTheStepAtItsResumeTimeKeepingTheRequest) {
    TestManifest m({{"a", Fill(16, 5)}}, 16);
    Job job(1);
    job.owner.Source = TestStorage(m.Stream);
    Storage* dest = TestStorage();
    StorageCopy_SetDestHandle(job.copy, dest);
    TestStorageBackend* source = TestBackendOf(job.owner.Source);
    source->Answers["Get"] = {500, 0};
    job.owner.Answer = STORAGE_COPY_RESPONSE_WAIT;
    job.owner.Resume = Time_GetCurrent() + 0.3;
    job.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE);
    ASSERT_TRUE(PumpUntil([&] { StorageCopy_Process(job.copy); return !job.owner.Errors.empty(); }));
    source->Answers.clear();
    PumpUntil([&] { StorageCopy_Process(job.copy); return false; }, 0.1);
    EXPECT_EQ(Only(source->TakeCalls(), "Get").size(), 1u);
    ASSERT_TRUE(job.Run());
    EXPECT_GE(Time_GetCurrent(), job.owner.Resume);
    EXPECT_EQ(Only(source->TakeCalls(), "Get").size(), 1u);
    EXPECT_EQ(job.owner.Acquired, 1);
    EXPECT_EQ(TestBackendOf(dest)->Stream, m.Stream);
    for (Storage* s : {job.owner.Source, dest}) Storage_Release(&s);
}

TEST(StorageCopy, FailedFileCompletionStaysUntilItsResumeTime) {
    TestManifest m({{"a", Fill(16, 5)}}, 16);
    Job job(1);
    job.owner.Source = TestStorage(m.Stream);
    Storage* dest = TestStorage();
    StorageCopy_SetDestHandle(job.copy, dest);
    TestStorageBackend* target = TestBackendOf(dest);
    target->Answers["FileComplete"] = {964, 2};
    job.owner.Answer = STORAGE_COPY_RESPONSE_WAIT;
    job.owner.Resume = Time_GetCurrent() + 0.3;
    job.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE);
    ASSERT_TRUE(PumpUntil([&] { StorageCopy_Process(job.copy); return !job.owner.Errors.empty(); }));
    target->Answers.clear();
    PumpUntil([&] { StorageCopy_Process(job.copy); return false; }, 0.1);
    EXPECT_EQ(Only(target->TakeCalls(), "FileComplete").size(), 1u);

    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    StorageCopy_Dump(job.copy, d);
    std::vector<std::string> keys;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(d, &item); item; Dictionary_ItemGetNext(d, item, &item)) {
        const char* key = nullptr;
        Dictionary_ItemGetKeyPtr(d, item, &key);
        keys.push_back(key ? key : "");
    }
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "flags", "filesTotal", "filesComplete", "filesPending", "filesPendingInFlight", "progress",
                        "piecesTotal", "piecesSkipped", "piecesWritten", "piecesMasked", "piecesComplete",
                        "pieceLength", "pieceCompleteLastTime", "pieceAverageTime", "remainingTime",
                        "fileCompleteLastTime", "bytesTotal", "bytesMasked", "bytesSkipped", "bytesWritten",
                        "bytesComplete", "bytesRemaining"}));
    int64_t pending = -1;
    Dictionary_GetInt64ByKey(d, "filesPending", &pending);
    EXPECT_EQ(pending, 1);
    double progress = -1;
    Dictionary_GetFloat64ByKey(d, "progress", &progress);
    EXPECT_DOUBLE_EQ(progress, 0.2);  // every piece, no file
    Dictionary_Release(&d);

    ASSERT_TRUE(job.Run());
    EXPECT_GE(Time_GetCurrent(), job.owner.Resume);
    ASSERT_EQ(job.owner.Errors.size(), 1u);
    const ErrorSeen& e = job.owner.Errors[0];
    EXPECT_EQ(std::vector<int64_t>({e.Source, e.Index, e.Type, e.Count, e.Code}),
              std::vector<int64_t>({STORAGE_COPY_SOURCE_LOCAL, -1, STORAGE_COPY_TYPE_WRITE, 0, 964}));
    EXPECT_EQ(Only(target->TakeCalls(), "FileComplete").size(), 1u);
    for (Storage* s : {job.owner.Source, dest}) Storage_Release(&s);
}

TEST(StorageCopy, CompletionsOfAShutDownRunAreDropped) {
    TestManifest m({{"a", Fill(16, 5)}}, 16);
    Job job(2);
    job.owner.Source = TestStorage(m.Stream);
    Storage* dest = TestStorage();
    StorageCopy_SetDestHandle(job.copy, dest);
    TestStorageBackend* held = TestBackendOf(dest);
    held->Hold = true;
    job.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE);
    ASSERT_TRUE(PumpUntil([&] { StorageCopy_Process(job.copy); return HeldCount(held) == 1; }));
    StorageCopy_Shutdown(job.copy);
    EXPECT_EQ(StorageCopy_IsComplete(job.copy), 0);
    job.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE);
    ASSERT_TRUE(PumpUntil([&] { StorageCopy_Process(job.copy); return HeldCount(held) == 2; }));
    held->Hold = false;
    held->CompleteHeld(0, 0);
    ASSERT_TRUE(job.Run());
    EXPECT_EQ(job.Stat(StorageCopy_GetPiecesWritten), 1);
    EXPECT_EQ(Only(held->TakeCalls(), "FileComplete").size(), 1u);
    for (Storage* s : {job.owner.Source, dest}) Storage_Release(&s);
}

// A job shut down before every piece and file is done has stopped, not completed, whether it ran
// or never started; started again it runs to its end, and shut down once complete it stays complete.
TEST(StorageCopy, AJobShutDownBeforeItsEndIsNotComplete) {
    TestManifest m({{"a", Fill(16, 5)}, {"b", Fill(16, 6)}, {"c", Fill(16, 7)}, {"d", Fill(16, 8)}}, 16);
    Job job(3);
    job.owner.Source = TestStorage(m.Stream);
    Storage* dest = TestStorage();
    StorageCopy_SetDestHandle(job.copy, dest);
    StorageCopy_Shutdown(job.copy);
    EXPECT_EQ(StorageCopy_IsComplete(job.copy), 0);
    job.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE);
    ASSERT_TRUE(job.Run());
    StorageCopy_Shutdown(job.copy);
    EXPECT_EQ(StorageCopy_IsComplete(job.copy), 1);
    // Stopped while it runs. (The requests of its dropped pieces stay with it: a job of its own.)
    Job stopped(3);
    stopped.owner.Source = job.owner.Source;
    StorageCopy_SetDestHandle(stopped.copy, dest);
    stopped.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE);
    ASSERT_TRUE(PumpUntil([&] { StorageCopy_Process(stopped.copy); return stopped.Stat(StorageCopy_GetPiecesWritten) >= 1; }));
    StorageCopy_Shutdown(stopped.copy);
    EXPECT_EQ(StorageCopy_IsComplete(stopped.copy), 0);
    EXPECT_EQ(StorageCopy_IsAlive(stopped.copy), 0);
    PumpUntil([&] { StorageCopy_Process(stopped.copy); return false; }, 0.1);
    EXPECT_EQ(StorageCopy_IsComplete(stopped.copy), 0);
    // Stopped with every piece done and a file completion still to come.
    Job filesLeft(3);
    filesLeft.owner.Source = job.owner.Source;
    StorageCopy_SetDestHandle(filesLeft.copy, dest);
    TestBackendOf(dest)->Answers["FileComplete"] = {964, 2};
    filesLeft.owner.Answer = STORAGE_COPY_RESPONSE_WAIT;
    filesLeft.owner.Resume = Time_GetCurrent() + 60;
    filesLeft.Setup(m.meta, nullptr, STORAGE_COPY_FLAG_FETCH | STORAGE_COPY_FLAG_WRITE);
    ASSERT_TRUE(PumpUntil([&] {
        StorageCopy_Process(filesLeft.copy);
        return !filesLeft.owner.Errors.empty() && filesLeft.Stat(StorageCopy_GetPiecesComplete) == 4;
    }));
    StorageCopy_Shutdown(filesLeft.copy);
    EXPECT_EQ(StorageCopy_IsComplete(filesLeft.copy), 0);
    TestBackendOf(dest)->Answers.clear();
    for (Storage* s : {job.owner.Source, dest}) Storage_Release(&s);
}

TEST(StorageCopyDeathTest, AliveJobRefusesResetConfigureAndStart) {
    TestManifest m({{"a", Fill(16, 5)}}, 16);
    struct Case {
        int64_t (*Call)(StorageCopy*);
        const char* Text;
    } cases[] = {{StorageCopy_Reset, "Unable to reset active storage copy"},
                 {StorageCopy_Configure, "Unable to configure active storage copy"},
                 {StorageCopy_Start, "Unable to start active storage copy"}};
    for (const Case& c : cases) {
        Job job(1);
        job.Setup(m.meta, nullptr, STORAGE_COPY_FLAGS_DEFAULT);
        EXPECT_DEATH((InstallTestAbortHook(), c.Call(job.copy)), AbortRegex(c.Text));
    }
}

} // namespace
