// The Download type run through the engine against real peers on 127.0.0.1: nginx (ranges,
// Last-Modified, a slowed folder), python's http.server (no ranges), and a server of the test's
// own that answers 500, drops the body or never answers.
#include <arpa/inet.h>
#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

#include "core/web/web_get.h"
#include "tasks/download_task.h"
#include "tests/support/nginx_peer.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

using Errors = std::vector<std::string>;

struct PythonPeer {
    TempDir Dir;
    std::unique_ptr<TlsServer> Server;
    PythonPeer() {
        Server = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1",
                                                 "{port}", "--directory", Dir.path()});
    }
    std::string Put(const std::string& name, const std::string& bytes) {
        WriteText(Dir.file(name), bytes, 0644);
        return "http://127.0.0.1:" + std::to_string(Server->Port()) + "/" + name;
    }
};

// Answers by path: "/500" an error, "/nolength" a body without a length, "/drop" half of an
// announced body then a close, anything else never (the connection is held until the peer stops).
std::string BadAnswer(const std::string& request) {
    if (request.find(" /500 ") != std::string::npos)
        return "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    // No length: the body ends where the connection does.
    if (request.find(" /nolength ") != std::string::npos)
        return "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" +
               (request.rfind("GET ", 0) == 0 ? std::string(30000, 'n') : std::string());
    if (request.find(" /drop ") != std::string::npos)
        return "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(50000, 'd');
    return "";
}

struct BadPeer : ScriptedPeer {
    BadPeer() : ScriptedPeer(BadAnswer) {}
};

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> found;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir))
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) found.push_back(entry->d_name);
        closedir(dir);
    }
    return found;
}

// Sets or clears the immutable flag of a folder (nothing in it can then be deleted, not even
// by root); whether the flag was set.
bool Immutable(const std::string& path, int set) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = set ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

std::string Q(const std::string& text) {
    return "\"" + text + "\"";
}

class DownloadTest : public TaskLibraryTest {
  protected:
    static NginxPeer* nginx;
    static PythonPeer* python;
    TempDir out;
    std::string last;
    int defined = 0;

    static void SetUpTestSuite() {
        // "slow/" is sent at 64 KiB a second.
        nginx = new NginxPeer("location /slow/ { limit_rate 64k; }");
        mkdir(nginx->Dir.file("www/slow").c_str(), 0755);
        python = new PythonPeer();
    }
    static void TearDownTestSuite() {
        delete nginx;
        delete python;
        nginx = nullptr;
        python = nullptr;
    }
    void SetUp() override {
        TaskLibraryTest::SetUp();
        ASSERT_TRUE(nginx->Server->Running());
        ASSERT_TRUE(python->Server->Running());
        WebGet_AuthorizeOverride(AllowEveryHost);
    }
    void TearDown() override {
        TaskLibraryTest::TearDown();
        WebGet_AuthorizeOverride(nullptr);
    }

    // Defines a Download task with the arguments and starts it.
    void Begin(const std::string& arguments) {
        last = "d" + std::to_string(++defined);
        ASSERT_TRUE(Define("{" + Q(last) + ": {\"type\": \"Download\", " + arguments + "}}"));
        Start(last.c_str());
    }
    Run Download(const std::string& arguments, double seconds = 20) {
        last = "d" + std::to_string(++defined);
        EXPECT_TRUE(Define("{" + Q(last) + ": {\"type\": \"Download\", " + arguments + "}}"));
        Run run = RunTask(last.c_str(), seconds);
        Pump(5); // the last status notification is queued
        return run;
    }
    std::string Args(const std::string& url, const std::string& path, const std::string& more = "") {
        return "\"url\": " + Q(url) + ", \"outputPath\": " + Q(path) + (more.empty() ? "" : ", " + more);
    }
    // The last task's status value as text, whatever its type ("<none>" when absent).
    std::string Last(const char* key) {
        auto it = statuses.find(last);
        const char* bytes = nullptr;
        int32_t length = 0;
        if (it == statuses.end() || !Dictionary_GetBufferPtrByKey(it->second, key, &bytes, &length) || !bytes)
            return "<none>";
        return std::string(bytes, (size_t)length);
    }
    std::string TaskId() {
        for (const auto& entry : names)
            if (entry.second == last) return entry.first;
        return "";
    }
    int Count(const std::string& text) const {
        int n = 0;
        for (const auto& line : lines) n += line.find(text) != std::string::npos;
        return n;
    }
};

NginxPeer* DownloadTest::nginx = nullptr;
PythonPeer* DownloadTest::python = nullptr;

TEST_F(DownloadTest, FreshDownloadAppendsTheDecodedNameAndPublishesTheResponse) {
    const std::string body = PseudoRandomBytes(300000, 1);
    const std::string url = nginx->Put("my file.bin", body);
    const Run run = Download(Args(nginx->Url("my%20file.bin"), out.path() + "/"));
    EXPECT_TRUE(run.successful) << StatusJson(last);
    EXPECT_EQ(ReadFile(out.file("my file.bin")), body);
    struct stat info = {};
    ASSERT_EQ(stat(out.file("my file.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(Printed("Checking content length"));
    EXPECT_TRUE(Printed("Saving to " + out.file("my file.bin")));
    EXPECT_TRUE(Printed("Content length detected 300000B"));
    EXPECT_EQ(Last("outputPath"), out.file("my file.bin"));
    EXPECT_EQ(Last("outputFilename"), "my file.bin");
    EXPECT_EQ(Last("outputDirectory"), out.path() + "/");
    EXPECT_EQ(Last("responseCode"), "200");
    EXPECT_EQ(Last("responseMessage"), "OK");
    EXPECT_EQ(Last("#responseVersion"), "HTTP/1.1");
    EXPECT_NE(StatusJson(last).find("\"Content-Length\":\"300000\""), std::string::npos) << StatusJson(last);
    EXPECT_EQ(Last("name"), "my file.bin");
    EXPECT_EQ(Last("totalBytes"), "300000");
    EXPECT_EQ(Last("completeBytes"), "300000");
    EXPECT_EQ(Last("progress"), "1");
    EXPECT_GE(std::stoll(Last("remoteReadBytes")), 300000);
    EXPECT_EQ(Last("supportSkip"), "false");
}

TEST_F(DownloadTest, ProbeDecidesBetweenSkippingResumingAndStartingOver) {
    const std::string body = PseudoRandomBytes(200000, 2);
    const std::string url = nginx->Put("probe.bin", body);
    const std::string path = out.file("probe.bin");
    const struct {
        const char* label;
        std::string before;
        std::string more;
        std::vector<std::string> printed;
        std::vector<std::string> absent;
        std::string after;
    } cases[] = {
        // The size alone makes a file complete: its content is not compared.
        {"same size", std::string(200000, 'z'), "",
         {"Checking content length", "File already exists at " + path}, {"Saving to"}, std::string(200000, 'z')},
        {"partial, resume allowed", body.substr(0, 70000), "\"allowResume\": true",
         {"Checking content length", "Resuming download from 70000"}, {"Resume not supported"}, body},
        {"partial, resume not given", body.substr(0, 70000), "",
         {"Checking content length", "Saving to"}, {"Resuming download"}, body},
        {"too large", body + "tail", "\"allowResume\": true",
         {"Output file too large (200004 > 200000)"}, {"Resuming download"}, body},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        lines.clear();
        ASSERT_TRUE(WriteText(path, c.before, 0600));
        const Run run = Download(Args(url, path, c.more));
        EXPECT_TRUE(run.successful);
        EXPECT_EQ(run.errors, Errors{});
        for (const auto& text : c.printed) EXPECT_TRUE(Printed(text)) << text;
        for (const auto& text : c.absent) EXPECT_FALSE(Printed(text)) << text;
        EXPECT_TRUE(ReadFile(path) == c.after);
    }
}

TEST_F(DownloadTest, PartialFileAgainstAServerWithoutRangesIsRewrittenWithoutError) {
    const std::string body = PseudoRandomBytes(150000, 3);
    const std::string url = python->Put("norange.bin", body);
    const std::string path = out.file("norange.bin");
    ASSERT_TRUE(WriteText(path, body.substr(0, 40000)));
    const Run run = Download(Args(url, path, "\"allowResume\": true"));
    EXPECT_TRUE(run.successful);
    EXPECT_EQ(run.errors, Errors{});
    EXPECT_TRUE(Printed("Resuming download from 40000"));
    EXPECT_TRUE(Printed("Partial resume not supported due to no range request support"));
    EXPECT_TRUE(Printed("Resume not supported"));
    EXPECT_TRUE(ReadFile(path) == body);
}

TEST_F(DownloadTest, LastModifiedRulesReplaceAFileOfTheSameSize) {
    const std::string body = PseudoRandomBytes(5000, 4);
    const std::string url = nginx->Put("dated.bin", body);
    const std::string path = out.file("dated.bin");
    const struct {
        const char* more;
        time_t localTime;
        const char* printed;
        bool replaced;
    } cases[] = {
        {"\"overwriteIfNewer\": true", 1000000000, "Remote is newer than local (", true},
        {"\"overwriteIfOlder\": true", 4000000000, "Remote is older than local (", true},
        {"\"overwriteIfNewer\": true, \"skipTimestamp\": true", 1000000000, nullptr, false},
        {"\"overwriteIfOlder\": true", 1000000000, nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.more);
        lines.clear();
        ASSERT_TRUE(WriteText(path, std::string(5000, 'o')));
        struct timespec times[2] = {{c.localTime, 0}, {c.localTime, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
        EXPECT_TRUE(Download(Args(url, path, c.more)).successful);
        if (c.printed) {
            EXPECT_TRUE(Printed(c.printed));
        }
        EXPECT_EQ(Printed("File already exists"), !c.replaced);
        EXPECT_EQ(ReadFile(path) == body, c.replaced);
    }
}

// The name is taken from the URL only where it stays a name in the output folder.
TEST_F(DownloadTest, UrlNamesThatLeaveTheFolderAreNoNames) {
    mkdir(out.file("in").c_str(), 0700);
    const char* const paths[] = {"/..%2F..%2Fx", "/a/%2E%2E", "/a/%2e", "/a/", "/a%00b", "/a%5Cb", "/%2F"};
    for (const char* p : paths) {
        SCOPED_TRACE(p);
        lines.clear();
        const Run run = Download(Args(nginx->Url("") + (p + 1), out.file("in/")));
        EXPECT_FALSE(run.successful);
        EXPECT_EQ(run.errors, Errors{"Task_Error_InvalidArg"});
        EXPECT_TRUE(Printed("Filename not specified in output path or url"));
        EXPECT_FALSE(Printed("Request for url") && Printed("Saving to"));
    }
    // Only the output folder itself is there.
    EXPECT_EQ(Entries(out.path()), std::vector<std::string>{"in"});
    EXPECT_EQ(Entries(out.file("in")), std::vector<std::string>{});
}

TEST_F(DownloadTest, ArgumentErrors) {
    const struct {
        std::string arguments;
        std::string printed;
        std::string error;
    } cases[] = {
        {"\"outputPath\": \"/tmp/x\"", "\"url\" argument not defined", "Task_Error_MissingArg"},
        {"\"url\": \"http://127.0.0.1/x\"", "\"outputPath\" argument not defined", "Task_Error_MissingArg"},
        {Args("http://", out.file("x")), "Invalid url format specified", "Task_Error_InvalidArg"},
        {Args("mailto:someone", out.file("x")), "Invalid url format specified", "Task_Error_InvalidArg"},
        {Args("not a url", out.file("x")), "Invalid url format specified (not a url)", "Task_Error_InvalidArg"},
        {Args("http://127.0.0.1/x", out.file("x"), "\"maxRetries\": \"three\""),
         "\"maxRetries\" argument is not a number (\"three\")", "Task_Error_InvalidArg"},
        {Args("http://127.0.0.1/x", out.file("x"), "\"maxRetries\": 1e12"),
         "\"maxRetries\" argument is out of range (-2147483648 to 2147483647): 1000000000000", "Task_Error_InvalidArg"},
        {Args("http://127.0.0.1/x", out.file("x"), "\"timeout\": \"ten\""),
         "\"timeout\" argument is not a number (\"ten\")", "Task_Error_InvalidArg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.printed);
        const Run run = Download(c.arguments);
        EXPECT_FALSE(run.successful);
        EXPECT_EQ(run.errors, Errors{c.error});
        EXPECT_TRUE(Printed(c.printed));
    }
    EXPECT_FALSE(FileExists(out.file("x")));
}

TEST_F(DownloadTest, RetryScheduleDoublesFromFifteenSecondsUpToAnHour) {
    const double expected[] = {0, 15, 30, 60, 120, 240, 480, 960, 1920, 3840, 3840, 3840};
    for (int32_t c = 0; c < 12; c++) EXPECT_EQ(Download_RetryDelay(c), expected[c]) << c;
}

TEST_F(DownloadTest, ServersThatFailEndWithTheirKeyAndNoCompleteFile) {
    BadPeer peer;
    const struct {
        const char* path;
        const char* more;
        const char* error;
        int waits;
        int connections;
    } cases[] = {
        {"/500", "\"maxRetries\": 0", "WebGet_Error_500", 0, 1},
        // The retry probes the half-written file (HEAD), deletes it and fetches it again.
        {"/drop", "\"maxRetries\": 1", "WebGet_Error_Underflow", 1, 3},
        {"/stall", "\"maxRetries\": 0, \"timeout\": 1", "WebGet_Error_Timeout", 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        lines.clear();
        const int before = peer.Accepted();
        const std::string path = out.file(std::string("bad") + (c.path + 1));
        const Run run = Download(Args(peer.Url(c.path), path, c.more), 30);
        ASSERT_TRUE(run.ended);
        EXPECT_FALSE(run.successful);
        ASSERT_EQ(run.errors.size(), 1u);
        EXPECT_EQ(run.errors[0], c.error);
        EXPECT_EQ(peer.Accepted() - before, c.connections);
        EXPECT_EQ(Count("Waiting for retry"), c.waits);
        if (c.waits > 0) {
            EXPECT_TRUE(Printed("Waiting for retry 0.00s (0/1)"));
        }
        EXPECT_NE(ReadFile(path).size(), 100000u);
    }
}

// A file URL naming what cannot be read (a FIFO nothing writes to, a folder, nothing) fails at
// once and once: the path and the system's words, the error's key, no retry, no output.
TEST_F(DownloadTest, LocalFilesThatCannotBeReadFailOnceNamingThePath) {
    TempDir local;
    const std::string fifo = local.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        const char* error;
        const char* says;
    } cases[] = {
        {fifo, "Platform_Error_NotSupported", "Operation not supported"},
        {local.path(), "Platform_Error_AccessInvalid", "Is a directory"},
        {local.file("absent.bin"), "Platform_Error_Missing", "No such file or directory"},
        {"/dev/zero", "Platform_Error_NotSupported", "Operation not supported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        lines.clear();
        const std::string path = out.file("local.bin");
        const Run run = Download(Args("file://" + c.path, path), 10);
        ASSERT_TRUE(run.ended);
        EXPECT_FALSE(run.successful);
        ASSERT_EQ(run.errors.size(), 1u);
        EXPECT_EQ(run.errors[0], c.error);
        EXPECT_TRUE(Printed(c.path + ": " + c.says));
        EXPECT_EQ(Count("Waiting for retry"), 0);
        EXPECT_EQ(Entries(out.path()), std::vector<std::string>{});
    }
}

// A file the system says is empty but is not (the kernel's own) is read to its end.
TEST_F(DownloadTest, ALocalFileThatSaysItIsEmptyIsReadToItsEnd) {
    std::ifstream in("/proc/version");
    const std::string version((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(version.empty());
    const std::string path = out.file("version.txt");
    const Run run = Download(Args("file:///proc/version", path), 10);
    EXPECT_TRUE(run.successful);
    EXPECT_EQ(ReadFile(path), version);
}

// Only a file, or nothing, is replaced by a download: a FIFO or a device node at the output path
// is refused before any request, naming it, and stays what it was.
TEST_F(DownloadTest, AnOutputPathThatIsNoFileIsRefusedAndLeftAlone) {
    const std::string url = nginx->Put("small.bin", "payload");
    const std::string fifo = out.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> nodes = {fifo};
    // A device node of our own (the null device's numbers), where the system lets us make one.
    const std::string device = out.file("device");
    if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) nodes.push_back(device);
    // A port nothing listens on: a request made at all would fail there first, with another key.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size), 0);
    close(probe);
    const std::string nobody = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/small.bin";
    for (const std::string& node : nodes) {
        for (const std::string& source : {url, nobody}) {
            SCOPED_TRACE(node + " " + source);
            lines.clear();
            const Run run = Download(Args(source, node, "\"maxRetries\": 0"), 10);
            ASSERT_TRUE(run.ended);
            EXPECT_FALSE(run.successful);
            EXPECT_EQ(run.errors, Errors{"Platform_Error_NotSupported"});
            EXPECT_TRUE(Printed(node + ": Operation not supported"));
            struct stat info;
            ASSERT_EQ(lstat(node.c_str(), &info), 0);
            EXPECT_FALSE(S_ISREG(info.st_mode));
        }
    }
    EXPECT_EQ(Entries(out.path()).size(), nodes.size());
}

// A probe without a length tells nothing about whether the file is complete.
TEST_F(DownloadTest, ProbeWithoutALengthNeverCountsTheFileAsComplete) {
    BadPeer peer;
    const std::string path = out.file("nolength.bin");
    ASSERT_TRUE(WriteText(path, "partial"));
    const Run run = Download(Args(peer.Url("/nolength"), path));
    EXPECT_TRUE(run.successful);
    EXPECT_FALSE(Printed("File already exists"));
    EXPECT_FALSE(Printed("Output file too large"));
    EXPECT_TRUE(Printed("Checking content length"));
    EXPECT_TRUE(ReadFile(path) == std::string(30000, 'n'));
    EXPECT_EQ(peer.Accepted(), 2);
}

// A file cut short by an earlier run is never continued into a request that may not append to
// it: it is fetched again whole, beside it, and replaces it only when whole. In a folder where
// nothing can be made beside it, the task fails at once and the file stays as it was.
TEST_F(DownloadTest, PartialFileThatStaysIsRewrittenWhenResumeIsNotAllowed) {
    const std::string body = PseudoRandomBytes(120000, 6);
    const std::string url = nginx->Put("kept.bin", body);
    const std::string path = out.file("kept.bin");
    ASSERT_TRUE(WriteText(path, body.substr(0, 30000)));
    Run run = Download(Args(url, path));
    EXPECT_TRUE(run.successful);
    EXPECT_FALSE(Printed("Resuming download"));
    EXPECT_TRUE(ReadFile(path) == body);
    EXPECT_FALSE(FileExists(path + ".partial"));

    lines.clear();
    mkdir(out.file("locked").c_str(), 0700);
    const std::string locked = out.file("locked/kept.bin");
    ASSERT_TRUE(WriteText(locked, body.substr(0, 30000)));
    ASSERT_TRUE(Immutable(out.file("locked"), 1));
    run = Download(Args(url, locked));
    Immutable(out.file("locked"), 0);
    EXPECT_FALSE(run.successful);
    EXPECT_TRUE(Printed("Unable to create partial file " + locked + ".partial"));
    ASSERT_EQ(run.errors.size(), 1u);
    EXPECT_EQ(run.errors[0].rfind("Platform_Error_", 0), 0u) << run.errors[0];
    EXPECT_TRUE(ReadFile(locked) == body.substr(0, 30000));
}

// Whatever holds the partial name first and is not ours (another user's file, a link) is never
// written into nor adopted: the bytes go under a name made for this run, gone at its end.
TEST_F(DownloadTest, APartialNameTakenByOthersIsLeftAlone) {
    const std::string body = PseudoRandomBytes(50000, 7);
    const std::string url = nginx->Put("squat.bin", body);
    const std::string path = out.file("squat.bin");
    const std::string target = out.file("elsewhere");
    for (const bool link : {false, true}) {
        SCOPED_TRACE(link);
        lines.clear();
        unlink(path.c_str());
        unlink((path + ".partial").c_str());
        ASSERT_TRUE(WriteText(target, "theirs", 0644));
        if (link) {
            ASSERT_EQ(symlink(target.c_str(), (path + ".partial").c_str()), 0);
        } else {
            ASSERT_TRUE(WriteText(path + ".partial", "theirs", 0644));
            ASSERT_EQ(chown((path + ".partial").c_str(), 65534, 65534), 0);
        }
        const Run run = Download(Args(url, path, "\"allowResume\": true"));
        EXPECT_TRUE(run.successful);
        EXPECT_TRUE(Printed("Partial file " + path + ".partial cannot be used"));
        EXPECT_TRUE(ReadFile(path) == body);
        EXPECT_EQ(ReadFile(link ? target : path + ".partial"), "theirs");
        // Only the two files named above remain beside the output.
        DIR* folder = opendir(out.path().c_str());
        int32_t partials = 0;
        while (dirent* entry = folder ? readdir(folder) : nullptr)
            if (std::string(entry->d_name).rfind("squat.bin.partial-", 0) == 0) partials++;
        if (folder) closedir(folder);
        EXPECT_EQ(partials, 0);
    }
}

TEST_F(DownloadTest, SkipEndsAStalledDownloadWithSuccess) {
    BadPeer peer;
    Watch("Download", "Status");
    Begin(Args(peer.Url("/stall"), out.file("skipped"), "\"allowSkip\": true"));
    ASSERT_TRUE(PumpUntil([&] { return peer.Accepted() > 0 && !fired.empty(); }));
    EXPECT_TRUE(Printed("Re-configuring for ability to skip download"));
    NotificationCenter_Fire("Task", "Skip", TaskId().c_str(), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Result(last).ended; }));
    Pump(5);
    EXPECT_TRUE(Result(last).successful);
    EXPECT_EQ(Last("skipped"), "true");
    EXPECT_EQ(Last("supportSkip"), "true");
    EXPECT_NE(fired.front().find("\"supportResume\":true"), std::string::npos) << fired.front();
}

TEST_F(DownloadTest, PauseAndResumeContinueFromTheWrittenSize) {
    const std::string body = PseudoRandomBytes(256 * 1024, 5);
    const std::string url = nginx->Put("slow/paused.bin", body);
    const std::string path = out.file("paused.bin");
    for (bool resume : {true, false}) {
        SCOPED_TRACE(resume);
        lines.clear();
        unlink(path.c_str());
        Begin(Args(url, path, resume ? "\"allowResume\": true" : ""));
        // The bytes wait beside the file, under a name that says they are not the file.
        const std::string part = path + ".partial";
        ASSERT_TRUE(PumpUntil([&] { return FileExists(part) && ReadFile(part).size() > 20000; }));
        const std::string id = TaskId();
        NotificationCenter_Fire("Task", "Pause", id.c_str(), nullptr);
        Pump(3);
        const size_t kept = ReadFile(part).size();
        EXPECT_GT(kept, 0u);
        EXPECT_LT(kept, body.size());
        EXPECT_FALSE(FileExists(path));
        Pump(20);
        EXPECT_EQ(ReadFile(part).size(), kept);
        EXPECT_FALSE(Result(last).ended);
        NotificationCenter_Fire("Task", "Resume", id.c_str(), nullptr);
        ASSERT_TRUE(PumpUntil([&] { return Result(last).ended; }, 20));
        EXPECT_TRUE(Result(last).successful);
        EXPECT_EQ(Printed("Resuming download from " + std::to_string(kept)), resume);
        EXPECT_TRUE(ReadFile(path) == body);
        EXPECT_FALSE(FileExists(part));
    }
}

} // namespace
