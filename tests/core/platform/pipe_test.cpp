// Tests of Pipe: real FIFOs in a private pipe directory, written by a thread or a child process;
// the "Pipe" "Read" notifications of the polling step, writers that vanish, closed pipes, a pipe
// directory another user made first, the Stream record and the print block.
#include "core/platform/pipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/certs/build_info.h"
#include "core/formats/base64.h"
#include "core/formats/interop.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "tests/core/platform/stream_contract.h"
#include "tests/support/child_text.h"
#include "tests/support/out_value.h"
#include "tests/support/printed_lines.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

// The runtime directory of every test (the pipe directory is made inside it), and the
// temporary directory too. Made by the first test that opens pipes, so that death tests, which
// run in processes of their own, leave none behind.
TempDir* g_pipeDir = nullptr;
ScopedEnv* g_runtimeValue = nullptr;
ScopedEnv* g_tempValue = nullptr;

class PipeEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        // Log lines reach only the print hooks: no log file.
        ASSERT_EQ(Debug_Init("pipe.log", nullptr, DEBUG_FLAG_EXTERNAL_PRINT), 1);
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
    }
    void TearDown() override {
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
        Debug_Remove();
        delete g_runtimeValue;
        delete g_tempValue;
        g_runtimeValue = g_tempValue = nullptr;
        delete g_pipeDir;
        g_pipeDir = nullptr;
    }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new PipeEnvironment);

std::string PipeDirectory() {
    return g_pipeDir->path() + "/" QVR_BUILD_PRODUCT_NAME;
}

std::string PipePath(const std::string& name) {
    return PipeDirectory() + "/" + name;
}

bool IsFifo(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

// One "Pipe" "Read" notification as an observer saw it, its Base64 text decoded.
struct Announcement {
    std::string type, name, instance;
    std::string text;
    std::vector<uint8_t> bytes;
};

int64_t Record(void* user, const char* type, const char* name, const char* instance, Dictionary* info) {
    auto* seen = static_cast<std::vector<Announcement>*>(user);
    Announcement a{type, name, instance, "", {}};
    const char* text = nullptr;
    if (info && Dictionary_GetStringPtrByKey(info, "buffer", &text) && text) {
        a.text = text;
        uint32_t capacity = 0;
        Base64_CalculateDecodeSize((uint32_t)a.text.size(), &capacity);
        std::vector<uint8_t> bytes(capacity + 1);
        uint32_t decoded = 0;
        EXPECT_EQ(Base64_Decode(text, (int32_t)a.text.size(), bytes.data(), (int32_t)bytes.size(), &decoded),
                  1);
        a.bytes.assign(bytes.begin(), bytes.begin() + decoded);
    }
    seen->push_back(a);
    return 1;
}

// Writes the bytes into the FIFO from a child process that then ends without closing anything
// itself: the writer vanishes. The child only opens, writes and leaves.
void WriteFromChild(const std::string& path, const std::vector<uint8_t>& data) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(path.c_str(), O_WRONLY);
        if (fd < 0) _exit(2);
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = write(fd, data.data() + done, data.size() - done);
            if (n <= 0) _exit(3);
            done += (size_t)n;
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
}

class PipeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!g_pipeDir) {
            g_pipeDir = new TempDir;
            g_runtimeValue = new ScopedEnv("XDG_RUNTIME_DIR", g_pipeDir->path());
            g_tempValue = new ScopedEnv("TMPDIR", g_pipeDir->path());
        }
        ASSERT_EQ(NotificationCenter_Init(), 1);
    }
    void TearDown() override {
        for (Pipe*& p : made)
            if (p) Pipe_Release(&p);
        EXPECT_EQ(NotificationCenter_Remove(), 1);
        EventQueue_Flush(nullptr);
        Interop_Process();
    }
    // A new pipe of that name and kind, released at the end; not opened yet.
    Pipe* NewPipe(const std::string& name = "", uint32_t openExisting = 0, uint32_t inbound = 1,
                  uint32_t blocking = 0) {
        Pipe* p = Created(Pipe_Create);
        made.push_back(p);
        if (!name.empty()) {
            EXPECT_EQ(Pipe_SetName(p, name.c_str()), 1);
        }
        Pipe_SetOpenExisting(p, openExisting);
        Pipe_SetIsIn(p, inbound);
        Pipe_SetBlocking(p, blocking);
        return p;
    }
    // A new pipe of that name, opened; watched by `seen` when given.
    Pipe* OpenPipe(const std::string& name, std::vector<Announcement>* seen = nullptr,
                   uint32_t blocking = 0) {
        Pipe* p = NewPipe(name, 0, 1, blocking);
        EXPECT_EQ(Pipe_Open(p), 1);
        if (seen) NotificationCenter_AddInstanceObserver("Pipe", "Read", p->Header.InstanceId, seen, Record);
        return p;
    }
    std::vector<Pipe*> made;
};

TEST_F(PipeTest, InstancesAreTrackedUntilTheLastRelease) {
    Pipe* p = Created(Pipe_Create);
    char id[40];
    ASSERT_EQ(Pipe_GetInstanceId(p, id, sizeof(id)), 1);
    EXPECT_EQ(strlen(id), 32u);
    EXPECT_EQ(strspn(id, "0123456789abcdef"), 32u);
    EXPECT_EQ(Class_ConvertFromInstanceId(id), p);
    EXPECT_EQ(Pipe_ValidHandle(p), 1);
    EXPECT_EQ(Pipe_ValidHandle(nullptr), 0);
    Dictionary* other = Created(Dictionary_Create);
    EXPECT_EQ(Pipe_ValidHandle(other), 0);
    Dictionary_Release(&other);
    uint32_t inbound = 7;
    EXPECT_EQ(Pipe_GetIsIn(p, &inbound), 1);
    EXPECT_EQ(inbound, 1u) << "inbound by default";
    ASSERT_EQ(Pipe_AddRef(p), 1);
    Pipe* second = p;
    ASSERT_EQ(Pipe_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(Class_ConvertFromInstanceId(id), p);
    ASSERT_EQ(Pipe_Release(&p), 1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(Class_ConvertFromInstanceId(id), nullptr);
    EXPECT_EQ(Pipe_Release(&p), 0);
}

TEST_F(PipeTest, BadSettingsAreRefusedAndNamesCut) {
    Pipe* p = NewPipe();
    int32_t size = 0;
    EXPECT_EQ(Pipe_SetBufferSize(p, 4096), 1);
    for (int32_t bad : {0, -1, INT32_MIN}) {
        EXPECT_EQ(Pipe_SetBufferSize(p, bad), 0) << bad;
        EXPECT_EQ(Pipe_GetBufferSize(p, &size), 1);
        EXPECT_EQ(size, 4096) << "kept";
    }
    EXPECT_EQ(Pipe_SetBufferSize(p, 1), 1);
    EXPECT_EQ(Pipe_GetBufferSize(p, &size), 1);
    EXPECT_EQ(size, 1);
    const std::string longName(400, 'n');
    EXPECT_EQ(Pipe_SetName(p, longName.c_str()), 1);
    char name[400];
    EXPECT_EQ(Pipe_GetName(p, name, sizeof(name)), 1);
    EXPECT_EQ(std::string(name), longName.substr(0, PIPE_NAME_SIZE - 1));
    EXPECT_EQ(Pipe_SetName(p, "short"), 1);
    EXPECT_EQ(Pipe_GetName(p, name, 4), 1);
    EXPECT_STREQ(name, "sho");
}

TEST_F(PipeTest, OpenCreatesTheFifoInThePipeDirectory) {
    Pipe* p = OpenPipe("open-a");
    EXPECT_EQ(Pipe_IsOpen(p), 1);
    EXPECT_TRUE(IsFifo(PipePath("open-a")));
    void* handle = nullptr;
    EXPECT_EQ(Pipe_GetStandardHandle(p, &handle), 1);
    EXPECT_NE(handle, nullptr);
    // Non-blocking: nothing there answers at once with nothing.
    uint8_t byte = 0;
    uint32_t count = 9;
    EXPECT_EQ(Pipe_Read(p, &byte, 1, &count), 1);
    EXPECT_EQ(count, 0u);
    // A repeated open reopens; Start is Open.
    EXPECT_EQ(Pipe_Start(p), 1);
    EXPECT_EQ(Pipe_IsOpen(p), 1);
    EXPECT_TRUE(IsFifo(PipePath("open-a")));
    EXPECT_EQ(Pipe_Close(p), 1);
    EXPECT_EQ(Pipe_IsOpen(p), 0);
    EXPECT_FALSE(IsFifo(PipePath("open-a"))) << "closing removes the FIFO";
    EXPECT_EQ(Pipe_GetStandardHandle(p, &handle), 0);
    EXPECT_EQ(handle, nullptr);

    // Connecting to a pipe that does not exist fails and leaves the pipe closed.
    Pipe_SetOpenExisting(p, 1);
    EXPECT_EQ(Pipe_Open(p), 0);
    EXPECT_EQ(Pipe_IsOpen(p), 0);
    EXPECT_FALSE(IsFifo(PipePath("open-a")));
}

TEST_F(PipeTest, PipesLiveInADirectoryOfThisUserAlone) {
    Pipe* p = OpenPipe("private-pipe");
    ASSERT_EQ(Pipe_IsOpen(p), 1);
    struct stat info;
    ASSERT_EQ(lstat(PipeDirectory().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(lstat(PipePath("private-pipe").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(Pipe_Close(p), 1);
}

TEST_F(PipeTest, APipeDirectoryAnotherUserMadeFirstIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    constexpr uid_t kOtherUser = 65534;
    const std::string app = QVR_BUILD_PRODUCT_NAME;
    // With and without a runtime directory; either place is one everyone may write.
    // Open to everyone, or closed to all but its owner, who is not us.
    const struct {
        bool runtime;
        std::string leaf;
        mode_t mode;
    } cases[] = {
        {true, app, 0777},
        {false, app + "-" + std::to_string(geteuid()), 0777},
        {true, app, 0700},
        {false, app + "-" + std::to_string(geteuid()), 0700},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.leaf);
        TempDir shared;
        ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);
        ScopedEnv runtime("XDG_RUNTIME_DIR",
                          c.runtime ? std::optional<std::string>(shared.path()) : std::nullopt);
        ScopedEnv temp("TMPDIR", shared.path());
        const std::string planted = shared.file(c.leaf);
        const auto planting = TextFromChild(
            [] { return setgroups(0, nullptr) == 0 && setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0; },
            [&]() -> std::string {
                if (mkdir(planted.c_str(), c.mode) != 0 || chmod(planted.c_str(), c.mode) != 0)
                    return "failed " + std::to_string(errno);
                return "made";
            });
        ASSERT_EQ(planting, std::optional<std::string>("made"));

        Pipe* p = NewPipe("stolen-pipe");
        EXPECT_EQ(Pipe_Open(p), 0);
        EXPECT_EQ(Pipe_IsOpen(p), 0);
        // Left as the other user made it, and nothing of ours inside.
        struct stat info;
        ASSERT_EQ(lstat(planted.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, kOtherUser);
        EXPECT_EQ(info.st_mode & 0777, c.mode);
        EXPECT_FALSE(FileExists(planted + "/stolen-pipe"));
        EXPECT_FALSE(FileExists(shared.file("stolen-pipe")));
    }
}

TEST_F(PipeTest, NamesThatCannotBeOpened) {
    Pipe* p = NewPipe();
    EXPECT_EQ(Pipe_Open(p), 0) << "no name";
    // The path of the pipe directory and the name must fit 320 bytes whole.
    const std::string tooLong(PIPE_NAME_SIZE - PipeDirectory().size() - 1, 'x');
    const struct {
        std::string name;
        std::string mustNotExist;
    } cases[] = {
        {"..", ""},
        {"../escaped", PipeDirectory() + "/../escaped"},
        {"sub/../../escaped", PipeDirectory() + "/../escaped"},
        {"..\\escaped", ""},
        {tooLong, PipePath(tooLong.substr(0, 200))},
        {"missing-directory/pipe", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Pipe_SetName(p, c.name.c_str()), 1);
        EXPECT_EQ(Pipe_Open(p), 0);
        EXPECT_EQ(Pipe_IsOpen(p), 0);
        if (!c.mustNotExist.empty()) {
            EXPECT_FALSE(FileExists(c.mustNotExist));
        }
    }
    // A file of another kind at the path is left alone.
    const std::string plain = PipePath("plain-file");
    FILE* f = fopen(plain.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("keep", f);
    fclose(f);
    ASSERT_EQ(Pipe_SetName(p, "plain-file"), 1);
    EXPECT_EQ(Pipe_Open(p), 0);
    EXPECT_EQ(ReadFile(plain), "keep");
    // Names may contain dots that are not a whole segment.
    ASSERT_EQ(Pipe_SetName(p, "..dots..name.."), 1);
    EXPECT_EQ(Pipe_Open(p), 1);
    EXPECT_TRUE(IsFifo(PipePath("..dots..name..")));
    Pipe_Close(p);
}

TEST_F(PipeTest, BytesPassFromAWriterThreadThroughTheStream) {
    Pipe* reader = OpenPipe("thread-pipe");
    Pipe* writer = NewPipe("thread-pipe", 1, 0);
    ASSERT_EQ(Pipe_Open(writer), 1);

    const std::vector<uint8_t> data = stream_contract::Pattern(10000, 17);
    std::thread other([&] {
        Stream* s = nullptr;
        Pipe_GetStreamHandle(writer, &s);
        size_t done = 0;
        while (done < data.size()) {
            uint32_t written = 0;
            const uint32_t chunk = (uint32_t)std::min<size_t>(777, data.size() - done);
            if (!Stream_Write(s, data.data() + done, chunk, &written)) break;
            done += written;
        }
        EXPECT_EQ(done, data.size());
        EXPECT_EQ(Stream_Flush(s), 1);
    });
    other.join();
    EXPECT_EQ(writer->BytesWritten, data.size());

    Stream* s = nullptr;
    ASSERT_EQ(Pipe_GetStreamHandle(reader, &s), 1);
    uint32_t available = 0;
    uint8_t peekBuffer[4];
    EXPECT_EQ(Stream_Peek(s, peekBuffer, sizeof(peekBuffer), &available), 1);
    EXPECT_EQ(available, 1u) << "data is waiting";
    std::vector<uint8_t> got;
    uint8_t buffer[3000];
    for (int guard = 0; guard < 100 && got.size() < data.size(); guard++) {
        uint32_t count = 0;
        ASSERT_EQ(Stream_Read(s, buffer, sizeof(buffer), &count), 1);
        got.insert(got.end(), buffer, buffer + count);
    }
    EXPECT_EQ(got, data);
    EXPECT_EQ(reader->BytesRead, data.size());
    uint32_t count = 5;
    EXPECT_EQ(Stream_Read(s, buffer, sizeof(buffer), &count), 1) << "nothing now is no failure";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Stream_Peek(s, peekBuffer, sizeof(peekBuffer), &available), 1);
    EXPECT_EQ(available, 0u);
    EXPECT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN), 0) << "no seek slot";
    EXPECT_EQ(Stream_Close(s), 1);
    EXPECT_EQ(reader->BytesRead, 0u) << "closing zeroes the counters";
    EXPECT_EQ(Pipe_Close(writer), 1);
    EXPECT_EQ(writer->BytesWritten, 0u);
}

TEST_F(PipeTest, ProcessAnnouncesArrivalsInChunksOfAtMost4096) {
    std::vector<Announcement> seen;
    Pipe* p = OpenPipe("process-pipe", &seen);
    const std::string id = p->Header.InstanceId;

    WriteFromChild(PipePath("process-pipe"), {'a', 'b', 'c'});
    EXPECT_EQ(Pipe_Process(p), 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].type, "Pipe");
    EXPECT_EQ(seen[0].name, "Read");
    EXPECT_EQ(seen[0].instance, id);
    EXPECT_EQ(seen[0].text, "YWJj");

    seen.clear();
    const std::vector<uint8_t> data = stream_contract::Pattern(10000, 1);
    WriteFromChild(PipePath("process-pipe"), data);
    for (int i = 0; i < 4; i++) EXPECT_EQ(Pipe_Process(p), 1);
    ASSERT_EQ(seen.size(), 3u) << "a fourth poll fires nothing";
    EXPECT_EQ(seen[0].bytes.size(), 4096u);
    EXPECT_EQ(seen[1].bytes.size(), 4096u);
    EXPECT_EQ(seen[2].bytes.size(), 1808u);
    std::vector<uint8_t> joined;
    for (const Announcement& a : seen) {
        EXPECT_EQ(a.text.size() % 4, 0u) << "padded Base64";
        joined.insert(joined.end(), a.bytes.begin(), a.bytes.end());
    }
    EXPECT_EQ(joined, data) << "in order, nothing lost";
}

TEST_F(PipeTest, AVanishedWriterLosesNothingAndNothingHangs) {
    // Guards against a poll that blocks for ever: the test would end here instead.
    alarm(60);
    std::vector<Announcement> seen;
    Pipe* p = OpenPipe("vanish-pipe", &seen);
    const std::vector<uint8_t> data = stream_contract::Pattern(5000, 2);
    WriteFromChild(PipePath("vanish-pipe"), data);
    for (int i = 0; i < 5; i++) EXPECT_EQ(Pipe_Process(p), 1);
    ASSERT_EQ(seen.size(), 2u);
    std::vector<uint8_t> joined = seen[0].bytes;
    joined.insert(joined.end(), seen[1].bytes.begin(), seen[1].bytes.end());
    EXPECT_EQ(joined, data);
    uint8_t buffer[16];
    uint32_t count = 3;
    EXPECT_EQ(Pipe_Read(p, buffer, sizeof(buffer), &count), 1) << "no data, no error";
    EXPECT_EQ(count, 0u);

    // A writer Pipe that closes removes the FIFO file; what it wrote still arrives.
    seen.clear();
    Pipe* writer = NewPipe("vanish-pipe", 1);
    ASSERT_EQ(Pipe_Open(writer), 1);
    uint32_t written = 0;
    ASSERT_EQ(Pipe_Write(writer, data.data(), 100, &written), 1);
    ASSERT_EQ(written, 100u);
    ASSERT_EQ(Pipe_Close(writer), 1);
    EXPECT_FALSE(IsFifo(PipePath("vanish-pipe")));
    EXPECT_EQ(Pipe_Process(p), 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].bytes, std::vector<uint8_t>(data.begin(), data.begin() + 100));
    EXPECT_EQ(Pipe_Close(p), 1);

    // A blocking pipe whose writer has gone: polling delivers what came, then returns empty.
    seen.clear();
    Pipe* blocking = OpenPipe("blocking-pipe", &seen, 1);
    WriteFromChild(PipePath("blocking-pipe"), {'x', 'y'});
    for (int i = 0; i < 3; i++) EXPECT_EQ(Pipe_Process(blocking), 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "eHk=");
    alarm(0);
}

TEST_F(PipeTest, ProcessFiresNothingForOutboundOrClosedPipes) {
    std::vector<Announcement> seen;
    Pipe* p = OpenPipe("outbound-pipe", &seen);
    ASSERT_EQ(Pipe_SetIsIn(p, 0), 1);
    WriteFromChild(PipePath("outbound-pipe"), {'1', '2', '3', '4'});
    EXPECT_EQ(Pipe_Process(p), 1);
    EXPECT_TRUE(seen.empty());
    // The direction only matters to polling: switching back delivers what waited.
    ASSERT_EQ(Pipe_SetIsIn(p, 1), 1);
    EXPECT_EQ(Pipe_Process(p), 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "MTIzNA==");
    ASSERT_EQ(Pipe_Close(p), 1);
    EXPECT_EQ(Pipe_Process(p), 1);
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(PipeTest, AClosedPipeAnswersZeroWithZeroCounts) {
    Pipe* p = NewPipe();
    uint8_t buffer[8] = {};
    uint32_t count = 7;
    EXPECT_EQ(Pipe_Read(p, buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(count, 0u);
    count = 7;
    EXPECT_EQ(Pipe_Write(p, buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(count, 0u);
    count = 7;
    EXPECT_EQ(Pipe_Peek(p, buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Pipe_Flush(p), 0);
    EXPECT_EQ(Pipe_Close(p), 1);
    uint32_t pid = 5;
    EXPECT_EQ(Pipe_GetRemoteProcessId(p, &pid), 0);
    EXPECT_EQ(pid, 0u);
    Pipe* client = p;
    EXPECT_EQ(Pipe_Accept(p, &client), 0);
    EXPECT_EQ(client, nullptr);
    Stream* s = nullptr;
    ASSERT_EQ(Pipe_GetStreamHandle(p, &s), 1);
    EXPECT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN), 0);
    EXPECT_EQ(Stream_IsOpen(s), 0);
}

std::vector<std::string> g_logLines;
int64_t CaptureLog(const char* text) {
    g_logLines.push_back(text);
    return 1;
}

TEST_F(PipeTest, AcceptAndRemoteProcessIdAreNotProvided) {
    Pipe* p = OpenPipe("server-pipe");
    g_logLines.clear();
    Debug_PrintOverride(CaptureLog);
    Pipe* client = p;
    const int64_t accepted = Pipe_Accept(p, &client);
    uint32_t pid = 5;
    const int64_t remote = Pipe_GetRemoteProcessId(p, &pid);
    Debug_PrintOverride(nullptr);
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(remote, 0);
    EXPECT_EQ(pid, 0u);
    EXPECT_EQ(g_logLines,
              (std::vector<std::string>{"ERROR - Not Implemented - Platform_PipeAccept\n",
                                        "ERROR - Not Implemented - Platform_PipeGetRemoteProcessId\n"}));
    EXPECT_EQ(Pipe_IsOpen(p), 1) << "the server stays open";
}

stream_contract::StreamKind PipeKind() {
    static int serial = 0;
    stream_contract::StreamKind kind;
    kind.Name = "Pipe";
    kind.Slots = stream_contract::kSlotPeek | stream_contract::kSlotWrite | stream_contract::kSlotRead |
                 stream_contract::kSlotFlush | stream_contract::kSlotIsOpen | stream_contract::kSlotClose;
    kind.Make = [](const std::vector<uint8_t>& content) -> Stream* {
        Pipe* p = nullptr;
        Pipe_Create(&p);
        const std::string name = "contract-" + std::to_string(++serial);
        Pipe_SetName(p, name.c_str());
        if (!Pipe_Open(p)) {
            Pipe_Release(&p);
            return nullptr;
        }
        uint32_t written = 0;
        if (!content.empty()) Pipe_Write(p, content.data(), (uint32_t)content.size(), &written);
        Stream* s = nullptr;
        Pipe_GetStreamHandle(p, &s);
        return s;
    };
    kind.Destroy = [](Stream* s) {
        Pipe* p = static_cast<Pipe*>(s->Handle);
        Pipe_Release(&p);
    };
    // A non-blocking pipe answers "nothing now" with success and no bytes rather than an end.
    kind.ReadsContent = false;
    kind.WritesReadBack = false;
    kind.EmptyWriteSucceeds = true;
    return kind;
}

TEST_F(PipeTest, StreamContract) {
    stream_contract::RunStreamContract(PipeKind());
}

TEST_F(PipeTest, PrintBlock) {
    Pipe* p = NewPipe();
    std::vector<std::string> lines;
    ASSERT_EQ(Pipe_SetPrintCallback(p, &lines, KeepLine), 1);
    const std::string id8 = std::string(p->Header.InstanceId).substr(0, 8);
    EXPECT_EQ(Pipe_Print(p, "hello %d", 5), 1);
    EXPECT_EQ(Pipe_PrintTabbed(p, 1, "tabbed"), 1);
    EXPECT_EQ(Pipe_VerboseLog(p, 0, "hidden"), 0) << "not verbose";
    ASSERT_EQ(Pipe_SetVerbose(p, 1), 1);
    EXPECT_EQ(Pipe_IsVerboseLevel(p, 0), 1);
    EXPECT_EQ(Pipe_VerboseLog(p, 0, "shown"), 1);
    ASSERT_EQ(Pipe_SetPrintIdentifier(p, "stdout"), 1);
    EXPECT_EQ(Pipe_Print(p, "named"), 1);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"Pipe." + id8 + " - hello 5\n", "Pipe." + id8 + " -     tabbed\n",
                                        "Pipe." + id8 + " - shown\n", "Pipe." + id8 + ".stdout - named\n"}));
}

} // namespace
