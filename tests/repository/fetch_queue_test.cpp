#include "repository/fetch_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/formats/json.h"
#include "core/runtime/bit_field.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/time.h"
#include "repository/meta_file.h"
#include "repository/storage_request.h"
#include "tests/support/abort_hook.h"

namespace {

// Four 16-byte pieces over one file.
MetaFile* FourPieces() {
    static const bool queue = EventQueue_Init() == 1;
    EXPECT_TRUE(queue);
    MetaFile* meta = nullptr;
    EXPECT_EQ(MetaFile_Create(&meta), 1);
    const std::string text =
        R"({"files":[{"name":"a","size":64}],"pieces":{"size":16,"digests":["AAAA","AAAA","AAAA","AAAA"]}})";
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetValueCallback(json, meta, MetaFile_ValueCallback);
    EXPECT_EQ(JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()), 1);
    JSON_Release(&json);
    uint32_t code = 0, codeEx = 0;
    EXPECT_EQ(MetaFile_WorkerBuild(nullptr, meta, &code, &codeEx), 1);
    return meta;
}

// A copy job in miniature: a pool of requests to lend, and a journal of the callbacks.
struct Job {
    PieceQueue* queue = nullptr;
    MetaFile* meta = FourPieces();
    std::vector<StorageRequest*> free;
    std::vector<StorageRequest*> issued;
    std::vector<std::string> journal;

    explicit Job(int requests = 2) {
        EXPECT_EQ(PieceQueue_Create(&queue), 1);
        for (int i = 0; i < requests; i++) {
            StorageRequest* r = nullptr;
            StorageRequest_Create(&r);
            free.push_back(r);
        }
        PieceQueue_SetMetaFileHandle(queue, meta);
        PieceQueue_SetRequestAcquireCallback(queue, this, [](PieceQueue*, void* user, StorageRequest** out) -> int64_t {
            auto* job = static_cast<Job*>(user);
            if (job->free.empty()) return 0;
            *out = job->free.back();
            job->free.pop_back();
            return 1;
        });
        PieceQueue_SetRequestReleaseCallback(queue, this, [](PieceQueue*, void* user, StorageRequest** r) {
            auto* job = static_cast<Job*>(user);
            job->journal.push_back("release");
            job->free.push_back(*r);
        });
        PieceQueue_SetPieceBeginCallback(queue, this, [](PieceQueue*, void* user, StorageRequest* r) {
            auto* job = static_cast<Job*>(user);
            int32_t index = -1;
            uint32_t vcdiff = 9;
            StorageRequest_GetIndexStart(r, &index);
            StorageRequest_GetAllowVCDiff(r, &vcdiff);
            job->journal.push_back("begin " + std::to_string(index) + (vcdiff ? " vcdiff" : ""));
            job->issued.push_back(r);
        });
        PieceQueue_SetPieceEndCallback(queue, this, [](PieceQueue*, void* user, StorageRequest* r) {
            int32_t index = -1;
            StorageRequest_GetIndexStart(r, &index);
            static_cast<Job*>(user)->journal.push_back("end " + std::to_string(index));
        });
        PieceQueue_SetCompleteCallback(queue, this, [](PieceQueue*, void* user) {
            static_cast<Job*>(user)->journal.push_back("complete");
        });
    }
    ~Job() {
        PieceQueue_Release(&queue);
        for (StorageRequest* r : free) StorageRequest_Release(&r);
        for (StorageRequest* r : issued) StorageRequest_Release(&r);
        MetaFile_Release(&meta);
    }
    StorageRequest* Take() {
        StorageRequest* r = issued.front();
        issued.erase(issued.begin());
        return r;
    }
    std::string Drain() {
        std::string out;
        for (auto& line : journal) out += (out.empty() ? "" : ", ") + line;
        journal.clear();
        return out;
    }
};

TEST(PieceQueue, IssuesLowestFreePiecesAndRetriesReturnedOnes) {
    Job job;
    BitField* done = nullptr;
    BitField_Create(&done);
    BitField_SetTotalBits(done, 4);
    BitField_Set(done, 1);
    ASSERT_EQ(PieceQueue_Configure(job.queue, done, 1), 1);
    BitField_Release(&done);

    PieceQueue_Process(job.queue);
    PieceQueue_Process(job.queue);
    PieceQueue_Process(job.queue); // no request left to lend
    EXPECT_EQ(job.Drain(), "begin 0 vcdiff, begin 2 vcdiff");

    PieceQueue_PieceComplete(job.queue, job.Take());
    PieceQueue_PieceReturn(job.queue, job.Take());
    EXPECT_EQ(job.Drain(), "end 0, release, end 2, release");
    EXPECT_EQ(PieceQueue_IndexIsComplete(job.queue, 0), 1);
    EXPECT_EQ(PieceQueue_IndexIsComplete(job.queue, 2), 0);
    EXPECT_EQ(PieceQueue_IndexIsRangeComplete(job.queue, 0, 2), 1);
    EXPECT_EQ(PieceQueue_IndexIsRangeComplete(job.queue, 0, 3), 0);

    // The returned piece comes again; after a failure it is fetched without a delta.
    PieceQueue_ErrorCountIncrement(job.queue, 2);
    PieceQueue_Process(job.queue);
    PieceQueue_Process(job.queue);
    EXPECT_EQ(job.Drain(), "begin 2, begin 3 vcdiff");
    int32_t first = -1, total = 0, complete = 0;
    EXPECT_EQ(PieceQueue_GetFirstEmpty(job.queue, &first), 1);
    EXPECT_EQ(first, 2);
    PieceQueue_GetPiecesTotal(job.queue, &total);
    EXPECT_EQ(total, 4);

    PieceQueue_PieceComplete(job.queue, job.Take());
    PieceQueue_PieceComplete(job.queue, job.Take());
    BitField* except = nullptr;
    BitField_Create(&except);
    BitField_SetTotalBits(except, 4);
    BitField_Set(except, 0);
    PieceQueue_GetPiecesComplete(job.queue, except, &complete);
    BitField_Release(&except);
    EXPECT_EQ(complete, 3);
    job.Drain();

    // Completion is announced once, and a completed piece is never issued again.
    PieceQueue_Process(job.queue);
    PieceQueue_Process(job.queue);
    EXPECT_EQ(job.Drain(), "complete");
    EXPECT_EQ(PieceQueue_IsComplete(job.queue), 1);
}

TEST(PieceQueue, DeltasOffWhenTheQueueDisallowsThem) {
    Job job;
    PieceQueue_Configure(job.queue, nullptr, 0);
    PieceQueue_Process(job.queue);
    EXPECT_EQ(job.Drain(), "begin 0");
}

TEST(PieceQueue, AlreadyCompleteFieldAnnouncesAtOnce) {
    Job job;
    BitField* done = nullptr;
    BitField_Create(&done);
    BitField_SetTotalBits(done, 4);
    BitField_SetAll(done);
    PieceQueue_Configure(job.queue, done, 1);
    BitField_Release(&done);
    PieceQueue_Process(job.queue);
    EXPECT_EQ(job.Drain(), "complete");

    // A new configuration starts over.
    PieceQueue_Configure(job.queue, nullptr, 1);
    EXPECT_EQ(PieceQueue_IsComplete(job.queue), 0);
    PieceQueue_Process(job.queue);
    EXPECT_EQ(job.Drain(), "begin 0 vcdiff");
}

// The pieces set first go first, in their order, each once: one complete, in flight, held back or
// outside the table is passed over, and a Configure lets the order go.
TEST(PieceQueue, PiecesSetFirstGoFirstInTheirOrder) {
    Job job(4);
    BitField* done = nullptr;
    BitField_Create(&done);
    BitField_SetTotalBits(done, 4);
    BitField_Set(done, 1);
    ASSERT_EQ(PieceQueue_Configure(job.queue, done, 0), 1);
    PieceQueue_ResumeTimeSet(job.queue, 2, Time_GetCurrent() + 3600);
    const int32_t first[] = {3, 1, 9, -1, 2, 3, 0};
    ASSERT_EQ(PieceQueue_SetFirst(job.queue, first, 7), 1);
    for (int i = 0; i < 4; i++) PieceQueue_Process(job.queue);
    EXPECT_EQ(job.Drain(), "begin 3, begin 0, release");

    ASSERT_EQ(PieceQueue_Configure(job.queue, done, 0), 1);
    const int32_t again[] = {3};
    ASSERT_EQ(PieceQueue_SetFirst(job.queue, again, 1), 1);
    ASSERT_EQ(PieceQueue_Configure(job.queue, done, 0), 1);
    PieceQueue_Process(job.queue);
    EXPECT_EQ(job.Drain(), "begin 0");
    BitField_Release(&done);
}

TEST(PieceQueue, HeldBackPiecesReturnTheRequestAndWaitASecond) {
    Job job(1);
    PieceQueue_Configure(job.queue, nullptr, 1);
    const double later = Time_GetCurrent() + 3600;
    for (int32_t i = 0; i < 4; i++) PieceQueue_ResumeTimeSet(job.queue, i, later);
    PieceQueue_Process(job.queue);
    EXPECT_EQ(job.Drain(), "release");
    ASSERT_EQ(job.free.size(), 1u);

    // Released from the hold, piece 1 waits for the next scan, a second later.
    PieceQueue_ResumeTimeSet(job.queue, 1, 0);
    PieceQueue_Process(job.queue);
    EXPECT_EQ(job.Drain(), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    PieceQueue_Process(job.queue);
    EXPECT_EQ(job.Drain(), "begin 1 vcdiff");
    double time = 0;
    PieceQueue_ResumeTimeGet(job.queue, 0, &time);
    EXPECT_EQ(time, later);
}

TEST(PieceQueue, WithoutManifestNothingIsSizedOrComplete) {
    PieceQueue* queue = nullptr;
    ASSERT_EQ(PieceQueue_Create(&queue), 1);
    EXPECT_EQ(PieceQueue_Configure(queue, nullptr, 1), 1);
    int32_t total = -1;
    PieceQueue_GetPiecesTotal(queue, &total);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(PieceQueue_IsComplete(queue), 0);
    EXPECT_EQ(PieceQueue_IndexIsRangeComplete(queue, 0, 1), 0);
    EXPECT_EQ(PieceQueue_Process(queue), 1);
    PieceQueue_Release(&queue);
    EXPECT_EQ(queue, nullptr);
}

TEST(PieceQueueDeathTest, TablesRefuseIndexesOutsideThem) {
    Job job;
    PieceQueue_Configure(job.queue, nullptr, 1);
    uint32_t count = 0;
    double time = 0;
    EXPECT_DEATH((InstallTestAbortHook(), PieceQueue_ErrorCountGet(job.queue, 4, &count)),
                 AbortRegex("Assertion failed (Index >= 0 && Index < PieceQueue->ErrorCountSize)\nIndex out of range"));
    EXPECT_DEATH((InstallTestAbortHook(), PieceQueue_ResumeTimeGet(job.queue, -1, &time)),
                 AbortRegex("Assertion failed (Index >= 0 && Index < PieceQueue->ResumeTimeSize)\nIndex out of range"));
    // Reset frees the tables: every index is then outside them.
    PieceQueue_Reset(job.queue);
    EXPECT_DEATH((InstallTestAbortHook(), PieceQueue_ErrorCountIncrement(job.queue, 0)),
                 AbortRegex("Assertion failed (Index >= 0 && Index < PieceQueue->ErrorCountSize)\nIndex out of range"));
}

} // namespace
