// The worker threads of the file task types through the engine: a large copy or digest cancelled
// while its thread runs, and a workflow deleted in the middle of a copy.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "tests/support/bounded_wait.h"
#include "tests/tasks/file_task_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

class FileTaskThreads : public FileTaskTest {
  protected:
    // Entries of the scratch directory when the watched task completed.
    int entriesAtCompletion = -1;

    void SetUp() override {
        FileTaskTest::SetUp();
        NotificationCenter_AddObserver("Task", "Complete", this, OnComplete);
    }
    void TearDown() override {
        NotificationCenter_RemoveObserver("Task", "Complete", this, OnComplete);
        FileTaskTest::TearDown();
    }
    static int64_t OnComplete(void* user, const char*, const char*, const char*, Dictionary*) {
        FileTaskThreads* test = static_cast<FileTaskThreads*>(user);
        test->entriesAtCompletion = test->Entries();
        return 1;
    }
    int Entries() const {
        int count = 0;
        DIR* listing = opendir(dir.path().c_str());
        while (listing && readdir(listing)) count++;
        if (listing) closedir(listing);
        return count - 2;
    }
    // A file of `size` bytes that are not all zero.
    bool MakeBig(const std::string& path, off_t size) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        std::string block(1 << 20, 'b');
        bool ok = true;
        for (off_t done = 0; ok && done < size; done += (off_t)block.size())
            ok = write(fd, block.data(), block.size()) == (ssize_t)block.size();
        return close(fd) == 0 && ok;
    }
    Task* Named(const char* name) {
        Task* task = nullptr;
        Workflow_FindTaskByName(workflow, name, &task);
        return task;
    }
};

TEST_F(FileTaskThreads, CancelledCopyEndsOnceAfterItsThreadAndLeavesNoTarget) {
    ASSERT_TRUE(MakeBig(P("big"), 256 << 20));
    Define("{\"copy\": {\"type\": \"FileCopy\", \"sourcePath\": " + Q(P("big")) + ", \"targetPath\": " +
           Q(P("copy")) + ", \"success\": \"after\", \"failure\": \"after\"}, \"after\": {\"type\": "
           "\"DirectoryExists\", \"path\": \"/\"}}");
    last = "copy";
    Start("copy");
    ASSERT_TRUE(PumpUntil([&] { return LastNumber("progress") > 0; }, 60));
    ASSERT_EQ(Task_Cancel(Named("copy")), 1);
    ASSERT_TRUE(PumpUntil([&] { return Result("copy").ended; }, 60));
    const Run run = Result("copy");
    EXPECT_TRUE(run.cancelled);
    EXPECT_EQ(run.errors, std::vector<std::string>{"Task_Error_Cancelled"});
    EXPECT_LT(LastNumber("progress"), 1);
    // The thread had removed its unfinished copy before the task completed.
    EXPECT_EQ(entriesAtCompletion, 1);
    EXPECT_FALSE(Started("after"));
    EXPECT_EQ(threads.load(), 1);
}

TEST_F(FileTaskThreads, CancelledHashPublishesNoDigest) {
    ASSERT_TRUE(MakeBig(P("big"), 256 << 20));
    Define("{\"hash\": {\"type\": \"FileHash\", \"path\": " + Q(P("big")) + ", \"algorithm\": \"sha512\", "
           "\"expectedDigest\": \"00\", \"notEqualTo\": \"after\"}, \"after\": {\"type\": \"DirectoryExists\", "
           "\"path\": \"/\"}}");
    last = "hash";
    Start("hash");
    ASSERT_TRUE(PumpUntil([&] { return threads.load() == 1; }, 10));
    ASSERT_EQ(Task_Cancel(Named("hash")), 1);
    ASSERT_TRUE(PumpUntil([&] { return Result("hash").ended; }, 60));
    EXPECT_EQ(Result("hash").errors, std::vector<std::string>{"Task_Error_Cancelled"});
    EXPECT_EQ(Last("actualDigest"), "<none>");
    EXPECT_FALSE(Started("after"));
}

TEST_F(FileTaskThreads, ReleasedWorkflowLetsTheCopyFinishCleanly) {
    ASSERT_TRUE(MakeBig(P("big"), 128 << 20));
    Define("{\"copy\": {\"type\": \"FileCopy\", \"sourcePath\": " + Q(P("big")) + ", \"targetPath\": " +
           Q(P("copy")) + "}}");
    last = "copy";
    Start("copy");
    ASSERT_TRUE(PumpUntil([&] { return LastNumber("progress") > 0; }, 60));
    Workflow_Release(&workflow);
    ASSERT_TRUE(PumpUntil([&] { return Result("copy").ended; }, 60));
    EXPECT_TRUE(Result("copy").successful);
    EXPECT_EQ(entriesAtCompletion, 2);
    EXPECT_EQ(Sh("cmp " + P("big") + " " + P("copy") + " && echo same"), "same\n");
}

TEST_F(FileTaskThreads, UnbindingTheTypeMidCopyWaitsForTheThread) {
    ASSERT_TRUE(MakeBig(P("big"), 128 << 20));
    Define("{\"copy\": {\"type\": \"FileCopy\", \"sourcePath\": " + Q(P("big")) + ", \"targetPath\": " +
           Q(P("copy")) + "}}");
    last = "copy";
    Start("copy");
    ASSERT_TRUE(PumpUntil([&] { return LastNumber("progress") > 0; }, 60));
    Task* task = Named("copy");
    // The instance goes with its binding: its thread has ended by then, its copy whole and in place.
    ASSERT_EQ(Task_SetInterface(task, nullptr), 1);
    EXPECT_EQ(Entries(), 2);
    EXPECT_EQ(Sh("cmp " + P("big") + " " + P("copy") + " && echo same"), "same\n");
    // A task ended without a type sends no per-type analytics event, and nothing stops.
    Task_SetDelayedCancel(task, 0);
    Task_Cancel(task);
    EXPECT_TRUE(PumpUntil([&] { return Result("copy").ended; }, 10));
}

} // namespace
