// The host executable running a workflow on its own (the self-update role), as a user meets its
// failures: every workflow that ends in an error, a missing task, an unknown type, an invalid
// argument or an interruption ends the process non-zero with exactly one ERROR line on standard
// error that names the file, the task, its type, the error key and what it was working on.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <clocale>
#include <fstream>
#include <functional>
#include <locale.h>
#include <memory>
#include <sstream>

#include <sys/mount.h>

#include "tests/host/host_child.h"
#include "tests/repository/repository_test_support.h"
#include "tests/support/scoped_env.h"
#include "tests/support/nginx_peer.h"

namespace {

struct Outcome {
    int Code = -1; // -1: still running at the end of the wait (then killed)
    pid_t Pid = -1;
    std::string Out, Err;
    double Seconds = 0;
};

// Runs the host with standard output and error apart; `interrupt`, when given, is asked every
// 20 ms, with what the host said so far, which signal to send now (0: none yet).
Outcome RunApart(const std::vector<std::string>& args, const std::vector<std::string>& env,
                 const std::function<int(const Outcome&)>& interrupt = nullptr, int waitMs = 60000) {
    Outcome run;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return run;
    pid_t pid = SpawnOnto(args, env, out[1], err[1]);
    run.Pid = pid;
    close(out[1]);
    close(err[1]);
    auto drain = [](int fd, std::string* text) {
        char buffer[4096];
        pollfd p = {fd, POLLIN, 0};
        ssize_t n = 0;
        while (poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP)) && (n = read(fd, buffer, sizeof(buffer))) > 0)
            text->append(buffer, (size_t)n);
    };
    bool interrupted = false;
    int status = 0;
    // Bounded by the clock, not by a count of polls: on a busy machine a poll takes longer.
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(waitMs);
    while (pid > 0 && std::chrono::steady_clock::now() < end) {
        drain(out[0], &run.Out);
        drain(err[0], &run.Err);
        if (waitpid(pid, &status, WNOHANG) == pid) {
            drain(out[0], &run.Out);
            drain(err[0], &run.Err);
            run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            pid = -1;
            break;
        }
        if (interrupt && !interrupted) {
            if (const int signal = interrupt(run)) {
                kill(pid, signal);
                interrupted = true;
            }
        }
        // Closely while a signal waits for its moment, which is the point of sending it.
        usleep(interrupt && !interrupted ? 1000 : 20000);
    }
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(out[0]);
    close(err[0]);
    return run;
}

std::vector<std::string> ErrorLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("ERROR - ", 0) == 0) lines.push_back(line);
    return lines;
}

// Whether the process has its own handler for the signal (it no longer dies of it at once).
bool CatchesSignal(pid_t pid, int signal) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    return false;
}

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

class HostWorkflowFailures : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_.Write("app.yaml", "name: \"failures-test\"\nselfUpdateWorkflow: \"wf.yaml\"\n");
        mkdir(Out().c_str(), 0700);
    }
    std::string Wf() const { return folder_.Skin() + "/wf.yaml"; }
    std::string Out() const { return folder_.Dir() + "/out"; }
    Outcome Run(const std::function<int(const Outcome&)>& interrupt = nullptr) const {
        return RunApart({HOST_PROGRAM, "--skin=" + folder_.Skin(), "--wfselfupdate"}, folder_.Env(), interrupt);
    }

    HostFolder folder_;
};

TEST_F(HostWorkflowFailures, EveryFailureEndsNonZeroWithOneErrorLineSayingWhatAndWhere) {
    NginxPeer nginx("location /slow/ { limit_rate 64k; }");
    ASSERT_TRUE(nginx.Server->Running());
    mkdir(nginx.Dir.file("www/slow").c_str(), 0755);
    const std::string big = nginx.Put("slow/big.zip", std::string(2 << 20, 'z'));
    const std::string missing = nginx.Url("missing.zip");
    const std::string wf = Wf();
    const std::string out = Out();
    // Files of the test's own folder that are never made.
    const std::string absent = folder_.Dir() + "/absent";
    // A FIFO that nothing writes to: a reader that opened it would wait for ever.
    const std::string fifo = folder_.Dir() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::string document; // empty: a folder stands where the workflow file should be
        int code;             // -2: any code but 0
        std::vector<std::string> says; // what the one ERROR line holds (none: there is no ERROR line)
        bool interrupt = false;        // SIGINT once the download has started writing
        int terminate = 0;             // this signal once the host has started the request
    } const cases[] = {
        {"an outcome names no task", "apply: {type: Log, message: hi, success: nosuch}\n", 1,
         {wf + ": ", "task \"apply\" (Log)", "\"success\" names no task \"nosuch\"", "Task_Error_MissingSubTask"}},
        {"an outcome names a task in another case",
         "apply: {type: Log, message: hi, success: Next}\nnext: {type: Log, message: n}\n", 1,
         {wf + ": ", "task \"apply\" (Log)", "\"success\" names no task \"Next\"", "Task_Error_MissingSubTask"}},
        {"two keys are one task name", "apply: {type: Log, message: hi}\n\"#apply\": {type: Log, message: x}\n", 1,
         {wf + ": ", "task \"apply\" is defined twice, as \"apply\" and as \"#apply\" or \".apply\"",
          "Task_Error_InvalidArg"}},
        {"a program under a location without its folder",
         "apply: {type: Launch, path: \"{Env:QVR_NO_SUCH_VARIABLE}Q/run\"}\n", 1,
         {"Workflow " + wf + " failed", "task \"apply\" (Launch)", "Task_Error_InvalidArg",
          "\"path\" argument names a location without its folder ({Env:QVR_NO_SUCH_VARIABLE}): {Env:QVR_NO_SUCH_VARIABLE}Q/run"}},
        {"the entry has no type", "apply: {message: hi}\n", 1,
         {wf + ": ", "task \"apply\" has no \"type\"", "Task_Error_MissingSubTask"}},
        {"a task that runs has no type", "apply: {type: Log, message: hi, success: b}\nb: {message: x}\n", 1,
         {wf + ": ", "task \"b\" has no \"type\"", "\"success\" of task \"apply\"", "Task_Error_MissingSubTask"}},
        {"an unknown type that runs", "apply: {type: Log, message: hi, success: b}\nb: {type: Dowload}\n", 1,
         {wf + ": ", "task \"b\": unknown task type \"Dowload\"", "Task_Error_InvalidArg"}},
        {"an unknown type that never runs", "apply: {type: Log, message: hi}\nb: {type: Dowload}\n", 1,
         {wf + ": ", "task \"b\": unknown task type \"Dowload\"", "Task_Error_InvalidArg"}},
        {"a number that is a word", "apply: {type: Sleep, seconds: \"five\"}\n", 1,
         {"Workflow " + wf + " failed", "task \"apply\" (Sleep)", "Task_Error_InvalidArg",
          "\"seconds\" argument is not a number (\"five\")"}},
        {"a download answered 404",
         "apply: {type: Download, url: \"" + missing + "\", outputPath: \"" + out + "/\", maxRetries: 0}\n", 1,
         {"Workflow " + wf + " failed", "task \"apply\" (Download)", "WebGet_Error_404", missing}},
        {"a JSON file that is not there", "apply: {type: JSONRead, path: \"" + absent + "/x.json\", key: a}\n", 1,
         {"Workflow " + wf + " failed", "task \"apply\" (JSONRead)", "Json_Error_Open",
          "Unable to load " + absent + "/x.json: No such file or directory"}},
        {"a JSON file that is a device", "apply: {type: JSONRead, path: /dev/zero, key: a}\n", 1,
         {"Workflow " + wf + " failed", "task \"apply\" (JSONRead)", "Json_Error_Open",
          "Unable to load /dev/zero: Operation not supported"}},
        {"an INI file that is not there",
         "apply: {type: IniRead, path: \"" + absent + "/x.ini\", section: s, key: k}\n", 1,
         {"Workflow " + wf + " failed", "task \"apply\" (IniRead)", "Ini_Error_Open",
          "Unable to load " + absent + "/x.ini: No such file or directory"}},
        {"a program that is not there", "apply: {type: Launch, path: \"" + absent + "/program\"}\n", 1,
         {"Workflow " + wf + " failed", "task \"apply\" (Launch)", "Launch_Error_Run",
          "Unable to execute application (" + absent + "/program)"}},
        {"an outcome word names no task",
         "apply: {type: FileExists, path: \"" + absent + "/x\", missing: nosuch}\n", 1,
         {"Workflow " + wf + " failed", "task \"apply\" (FileExists)", "Task_Error_MissingSubTask",
          "Next task \"nosuch\" cannot be created"}},
        {"a workflow file that cannot be read", "", 1, {wf + ": Is a directory", "Platform_Error_"}},
        {"a URL that is not one", "apply: {type: Download, url: \"not a url\", outputPath: \"" + out + "/big.zip\"}\n",
         1,
         {"Workflow " + wf + " failed", "task \"apply\" (Download)", "Task_Error_InvalidArg",
          "Invalid url format specified (not a url)"}},
        {"a download interrupted", "apply: {type: Download, url: \"" + big + "\", outputPath: \"" + out + "/\"}\n",
         -2, {"Workflow " + wf, "task \"apply\" (Download)", "Task_Error_Cancelled", big}, true},
        {"a download of a FIFO",
         "apply: {type: Download, url: \"file://" + fifo + "\", outputPath: \"" + out + "/\"}\n", 1,
         {"Workflow " + wf + " failed", "task \"apply\" (Download)", "Platform_Error_NotSupported",
          fifo + ": Operation not supported"}},
        // Whether the refusal or the signal comes first, the run ends at once, and not well.
        {"a download of a FIFO stopped by SIGTERM",
         "apply: {type: Download, url: \"file://" + fifo + "\", outputPath: \"" + out + "/\"}\n", 143,
         {"Workflow " + wf}, false, SIGTERM},
        {"a clean run",
         "apply: {type: Log, message: one, success: folder}\nfolder: {type: DirectoryCreate, path: \"" + out +
             "/made\", success: pause}\npause: {type: Sleep, seconds: 0.2, success: done}\n"
             "done: {type: Log, message: two}\n",
         0, {}},
    };
    for (const Case& c : cases) {
        std::system(("rm -rf '" + wf + "' '" + out + "'/*").c_str());
        if (c.document.empty())
            mkdir(wf.c_str(), 0700);
        else
            folder_.Write("wf.yaml", c.document);
        // The partial file shows that the transfer is under way.
        std::function<int(const Outcome&)> interrupt = nullptr;
        if (c.interrupt)
            interrupt = [&](const Outcome&) {
                const std::string listed = out + "/.list";
                std::system(("ls -A '" + out + "' > '" + listed + "'").c_str());
                std::ifstream in(listed);
                std::string name;
                bool writing = false;
                while (std::getline(in, name)) writing = writing || name.rfind("big.zip.", 0) == 0;
                return writing ? SIGINT : 0;
            };
        else if (c.terminate)
            interrupt = [&](const Outcome& said) {
                return said.Out.find("Host: Host_SelfUpdating") != std::string::npos ||
                               said.Err.find("Host: Host_SelfUpdating") != std::string::npos
                           ? c.terminate
                           : 0;
            };
        const Outcome run = Run(interrupt);
        if (c.code == -2)
            EXPECT_TRUE(run.Code != 0 && run.Code != -1) << c.name << ": " << run.Code << "\n" << run.Err;
        else
            EXPECT_EQ(run.Code, c.code) << c.name << "\n" << run.Err;
        // A run told to stop ends within the time its documentation promises.
        if (c.terminate) {
            EXPECT_LT(run.Seconds, 10) << c.name;
        }
        // Nothing is retried that a retry cannot mend.
        EXPECT_LT(run.Seconds, 20) << c.name;
        const std::vector<std::string> errors = ErrorLines(run.Err);
        EXPECT_EQ(errors.size(), c.says.empty() ? 0u : 1u) << c.name << "\n" << run.Err;
        EXPECT_EQ(ErrorLines(run.Out).size(), 0u) << c.name << "\n" << run.Out;
        for (const std::string& part : c.says)
            EXPECT_TRUE(!errors.empty() && errors[0].find(part) != std::string::npos)
                << c.name << ": no \"" << part << "\" in\n"
                << run.Err;
        // A file that cannot be read is not reported as a page nobody found.
        if (std::string(c.name) != "a download answered 404") {
            EXPECT_EQ(run.Err.find("404"), std::string::npos) << c.name << "\n" << run.Err;
        }
        if (c.says.empty()) {
            EXPECT_EQ(run.Err.find("WARNING"), std::string::npos) << c.name << "\n" << run.Err;
        }
        // An interrupted download never leaves its bytes under the final name, and without
        // "allowResume" it leaves none at all.
        if (c.interrupt) {
            EXPECT_FALSE(Exists(out + "/big.zip")) << c.name;
            EXPECT_FALSE(Exists(out + "/big.zip.partial")) << c.name;
        }
    }
}

// An update that a full disk stops ends the run at once, not with exit code 0 and not in a retry
// loop: 1 and one ERROR line naming the task and the error. The installed version's files stay,
// those the new version drops among them, and so does its manifest.
TEST_F(HostWorkflowFailures, AFullDiskEndsASyncWithOneErrorLineAndKeepsTheInstalledFiles) {
    const std::string base = folder_.Dir(), local = base + "/local", manifest = base + "/state/local.json";
    mkdir(local.c_str(), 0700);
    if (geteuid() != 0 || mount("tmpfs", local.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{local};
    folder_.Write("wf.yaml", "apply: {type: RepositorySync, repository: game, remote.id: v, remote.metafile: \"" + base +
                                 "/remote.json\", metafile: \"" + manifest + "\", requests: 4, fileCompletes: 2, local: "
                                 "{type: file, path: \"" + local + "\"}, remote: {type: file, path: \"" + base +
                                 "/remote\"}}\n");
    auto version = [&](const std::string& id, const std::map<std::string, std::string>& files) {
        std::system(("rm -rf '" + base + "/remote' && mkdir -p '" + base + "/remote'").c_str());
        for (const auto& [name, data] : files) Put(base + "/remote/" + name, data);
        WriteManifest(base + "/remote", id, base + "/remote.json", {}, 65536);
    };
    // The manifests here are unsigned files.
    const std::vector<std::string> args = {HOST_PROGRAM, "--skin=" + folder_.Skin(), "--wfselfupdate", "--disablesecurity"};
    std::map<std::string, std::string> v1 = {{"keep.bin", Content(3000, 1)}};
    for (int i = 1; i <= 5; i++) v1["old" + std::to_string(i) + ".bin"] = Content(2000, 1 + i);
    version("v1", v1);
    const Outcome installed = RunApart(args, folder_.Env());
    ASSERT_EQ(installed.Code, 0) << installed.Err;
    std::ifstream in(manifest);
    const std::string before((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(before.empty());
    version("v2", {{"keep.bin", Content(3000, 1)}, {"big.bin", Content(2 << 20, 9)}});
    const Outcome run = RunApart(args, folder_.Env());
    // -1 is a run still going at the end of the wait.
    EXPECT_EQ(run.Code, 1) << run.Err;
    const std::vector<std::string> errors = ErrorLines(run.Err);
    ASSERT_EQ(errors.size(), 1u) << run.Err;
    for (const std::string& part : {"Workflow " + Wf() + " failed", std::string("task \"apply\" (RepositorySync)"),
                                    std::string("Repository_ErrorSource_StorageLocal - Synchronize failed (game): "
                                                "No space left on device (StorageLocal)")})
        EXPECT_NE(errors[0].find(part), std::string::npos) << part << " in " << errors[0];
    for (const auto& [name, data] : v1) {
        std::ifstream file(local + "/" + name, std::ios::binary);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>()), data) << name;
    }
    std::ifstream after(manifest);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), before);
}

// Every name a workflow gives a task runs that task's own definition: a lone "#" or "." is a name
// of its own, not the empty name, and a private task is run by its name.
TEST_F(HostWorkflowFailures, EveryQueuedNameRunsItsOwnDefinition) {
    const std::string out = Out();
    folder_.Write("wf.yaml", "apply: {type: Queue, actions: [\"#\", \".\", \"a\", \"p\"]}\n"
                             "\"#\": {type: DirectoryCreate, path: \"" + out + "/hash\"}\n"
                             "\".\": {type: DirectoryCreate, path: \"" + out + "/dot\"}\n"
                             "a: {type: DirectoryCreate, path: \"" + out + "/a\"}\n"
                             "\"#p\": {type: DirectoryCreate, path: \"" + out + "/p\"}\n");
    const Outcome run = Run();
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(ErrorLines(run.Err).size(), 0u) << run.Err;
    for (const char* made : {"/hash", "/dot", "/a", "/p"}) EXPECT_TRUE(Exists(out + made)) << made << "\n" << run.Err;
}

// A signal that comes as the run starts, from the moment the host takes signals at all, ends it
// as one that comes later does: 128 + the signal and one ERROR line naming the workflow.
TEST_F(HostWorkflowFailures, ASignalAsTheRunStartsEndsItWith128PlusTheSignal) {
    folder_.Write("wf.yaml", "apply: {type: Sleep, seconds: 60}\n");
    for (const auto& [signal, name] : {std::pair{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}}) {
        const Outcome run = Run([signal](const Outcome& said) { return CatchesSignal(said.Pid, signal) ? signal : 0; });
        EXPECT_EQ(run.Code, 128 + signal) << run.Err;
        const std::vector<std::string> errors = ErrorLines(run.Err);
        ASSERT_EQ(errors.size(), 1u) << run.Err;
        EXPECT_NE(errors[0].find("Workflow " + Wf() + " was stopped by " + name + " before it ended"), std::string::npos)
            << errors[0];
        EXPECT_NE(errors[0].find(": exit code " + std::to_string(128 + signal)), std::string::npos) << errors[0];
    }
}

// A workflow's numbers are numbers in every spelling JSON and YAML have: the wait runs and the
// task after it too.
TEST_F(HostWorkflowFailures, ANumberWithAnExponentIsANumber) {
    const struct {
        const char* Name;
        std::string Text;
    } documents[] = {
        {"wf.json", R"({"apply": {"type": "Sleep", "seconds": 2.5e-1, "success": "done"},
                        "done": {"type": "DirectoryCreate", "path": ")" + Out() + R"(/made"}})"},
        {"wf.yaml", "apply:\n  type: Sleep\n  seconds: 2.5e-1\n  success: done\n"
                    "done: {type: DirectoryCreate, path: \"" + Out() + "/made\"}\n"},
    };
    for (const auto& document : documents) {
        rmdir((Out() + "/made").c_str());
        folder_.Write("app.yaml", std::string("name: \"failures-test\"\nselfUpdateWorkflow: \"") + document.Name + "\"\n");
        folder_.Write(document.Name, document.Text);
        const Outcome run = Run();
        EXPECT_EQ(run.Code, 0) << document.Name << run.Err;
        EXPECT_EQ(ErrorLines(run.Err).size(), 0u) << document.Name << run.Err;
        EXPECT_TRUE(Exists(Out() + "/made")) << document.Name;
        // The self-update's progress window starts the toolkit, which takes the user's locale: where
        // the decimal mark is a comma, the document's number is still one.
        const locale_t german_locale = newlocale(LC_ALL_MASK, "de_DE.UTF-8", (locale_t)0);
        if (!german_locale) continue; // the machine lacks the locale
        freelocale(german_locale);
        rmdir((Out() + "/made").c_str());
        // Set here too: the child takes this process's variables before the ones given, so a
        // runner's own LC_ALL would otherwise win.
        ScopedEnv german_env{{"LC_ALL", "de_DE.UTF-8"}, {"LANG", nullptr}};
        const Outcome german =
            RunApart({HOST_PROGRAM, "--skin=" + folder_.Skin(), "--wfselfupdate"}, folder_.Env());
        EXPECT_EQ(german.Code, 0) << document.Name << german.Err;
        EXPECT_EQ(ErrorLines(german.Err).size(), 0u) << document.Name << german.Err;
        EXPECT_TRUE(Exists(Out() + "/made")) << document.Name << " in de_DE";
    }
}

} // namespace

// A manifest that fails its signature check is refused for good: the run ends at once with 1 and
// one ERROR line naming the manifest by its address, never in a retry loop, and installs nothing.
TEST_F(HostWorkflowFailures, AnUnsignedManifestEndsTheSyncWithOneErrorLineNamingIt) {
    const std::string base = folder_.Dir(), local = base + "/local", manifest = base + "/state/local.json";
    folder_.Write("wf.yaml", "apply: {type: RepositorySync, repository: game, remote.id: v, remote.metafile: \"" + base +
                                 "/remote.json\", metafile: \"" + manifest + "\", requests: 4, fileCompletes: 2, local: "
                                 "{type: file, path: \"" + local + "\"}, remote: {type: file, path: \"" + base +
                                 "/remote\"}}\n");
    std::system(("mkdir -p '" + base + "/remote'").c_str());
    Put(base + "/remote/a.bin", Content(3000, 1));
    WriteManifest(base + "/remote", "v1", base + "/remote.json", {}, 65536);
    // Security stays on: the unsigned manifest fails its check.
    const Outcome run = RunApart({HOST_PROGRAM, "--skin=" + folder_.Skin(), "--wfselfupdate"}, folder_.Env());
    // -1 is a run still going at the end of the wait.
    EXPECT_EQ(run.Code, 1) << run.Err;
    const std::vector<std::string> errors = ErrorLines(run.Err);
    ASSERT_EQ(errors.size(), 1u) << run.Err;
    EXPECT_NE(errors[0].find("task \"apply\" (RepositorySync): Repository_ErrorSource_MetaFileRemote - Synchronize "
                             "failed (game): JSON refused (DecodeSignature) (MetaFileRemote file://" +
                             base + "/remote.json)"),
              std::string::npos)
        << errors[0];
    EXPECT_NE(access((local + "/a.bin").c_str(), F_OK), 0);
    EXPECT_NE(access(manifest.c_str(), F_OK), 0);
}

// A workflow the skin serves was not read from a file: "{workflowDirectory}" and "{workflowPath}"
// have no value there, and a text that still holds one is no name in the current folder, on every
// surface that takes a location. The run is started in a folder where another user made
// "{workflowDirectory}/" first (open to all, a program and files in it): each surface ends the run
// with 1 and one ERROR line naming its argument and the location, and nothing there runs, is
// written, cut or removed. A child workflow fetched over HTTP refuses the same.
TEST_F(HostWorkflowFailures, EverySurfaceRefusesAWorkflowLocationWithoutItsFolder) {
    NginxPeer nginx("");
    ASSERT_TRUE(nginx.Server->Running());
    const std::string current = folder_.Dir() + "/current", planted = current + "/{workflowDirectory}";
    ASSERT_EQ(mkdir(current.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(planted.c_str(), 0777), 0);
    ASSERT_EQ(chmod(planted.c_str(), 0777), 0);
    const std::string marker = current + "/ran";
    std::ofstream(planted + "/wd.sh") << "#!/bin/sh\ntouch '" + marker + "'\n";
    ASSERT_EQ(chmod((planted + "/wd.sh").c_str(), 0755), 0);
    std::ofstream(planted + "/victim") << "victim";
    ASSERT_EQ(mkdir((planted + "/sub").c_str(), 0777), 0);
    folder_.Write("source.txt", "source");
    const std::string source = folder_.Skin() + "/source.txt";
    const std::string child = nginx.Put("child.json", R"({"load": {"type": "Launch", "path": "{workflowDirectory}/wd.sh"}})");
    const std::string wd = "{workflowDirectory}";
    struct Surface {
        std::string document;
        std::string argument; // named by the one ERROR line
        bool child = false;   // the refusal is the fetched child's
    } const surfaces[] = {
        {"apply: {type: Launch, path: \"" + wd + "/wd.sh\"}\n", "path"},
        {"apply: {type: Launch, path: /bin/true, workingDirectory: \"" + wd + "/\"}\n", "workingDirectory"},
        {"apply: {type: Launch, path: \"{workflowPath}\"}\n", "path"},
        {"apply: {type: ProcessOpen, path: \"" + wd + "/wd.sh\"}\n", "path"},
        {"apply: {type: Shutdown, force: true, restart: true, restartPath: \"" + wd + "/wd.sh\"}\n", "restartPath"},
        {"apply: {type: Implode, path: \"" + wd + "/sub\"}\n", "path"},
        {"apply: {type: JSONWrite, path: \"" + wd + "/x.json\", keyValuePairs: {a: 1}}\n", "path"},
        {"apply: {type: IniWrite, path: \"" + wd + "/x.ini\", section: s, keyValuePairs: {a: 1}}\n", "path"},
        {"apply: {type: JSONRead, path: \"" + wd + "/victim\", key: a}\n", "path"},
        {"apply: {type: DirectoryCreate, path: \"" + wd + "/made\"}\n", "path"},
        {"apply: {type: DirectoryDelete, path: \"" + wd + "/sub\", failIfMissing: false}\n", "path"},
        {"apply: {type: DirectoryList, path: \"" + wd + "/\"}\n", "path"},
        {"apply: {type: FileCopy, sourcePath: \"" + source + "\", targetPath: \"" + wd + "/copied\"}\n", "targetPath"},
        {"apply: {type: FileMove, sourcePath: \"" + wd + "/victim\", targetPath: \"" + folder_.Dir() + "/moved\"}\n",
         "sourcePath"},
        {"apply: {type: FileDelete, path: \"" + wd + "/victim\", failIfMissing: false}\n", "path"},
        {"apply: {type: FileTruncate, path: \"" + wd + "/victim\", offset: 0}\n", "path"},
        {"apply: {type: Download, url: \"file://" + source + "\", outputPath: \"" + wd + "/d.bin\"}\n", "outputPath"},
        {"apply: {type: Unzip, path: \"" + source + "\", outputDirectory: \"" + wd + "/\"}\n", "outputDirectory"},
        {"apply: {type: RepositorySync, repository: game, metafile: \"" + wd + "/m.json\", local: {type: file, "
         "path: \"" + folder_.Dir() + "/local\"}, remote: {type: file, path: \"" + folder_.Dir() + "/remote\"}}\n",
         "metafile"},
        {"apply: {type: RepositorySync, repository: game, metafile: \"" + folder_.Dir() + "/m.json\", local: {type: "
         "file, path: \"" + wd + "/\"}, remote: {type: file, path: \"" + folder_.Dir() + "/remote\"}}\n",
         "local.path"},
        {"apply: {type: RepositoryFileCheck, metafile: \"" + wd + "/m.json\", path: \"" + folder_.Dir() + "\"}\n",
         "metafile"},
        {"apply: {type: WorkflowRun, url: \"" + child + "\"}\n", "path", true},
    };
    const auto listing = [&] {
        std::string names;
        std::system(("ls -AR '" + planted + "' > '" + folder_.Dir() + "/listing'").c_str());
        std::ifstream in(folder_.Dir() + "/listing");
        for (std::string line; std::getline(in, line);) names += line + "\n";
        return names;
    };
    const std::string before = listing();
    for (const Surface& s : surfaces) {
        SCOPED_TRACE(s.document);
        folder_.Write("wf.yaml", s.document);
        const Outcome run = RunApart({"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", current, HOST_PROGRAM,
                                      "--skin=" + folder_.Skin(), "--wfselfupdate", "--disablesecurity"},
                                     folder_.Env());
        const std::string refusal = "\"" + s.argument + "\" argument names a location without its folder ({";
        EXPECT_EQ(run.Code, 1) << run.Err;
        const std::vector<std::string> errors = ErrorLines(run.Err);
        ASSERT_EQ(errors.size(), 1u) << run.Err;
        EXPECT_NE(errors[0].find("Task_Error_InvalidArg"), std::string::npos) << errors[0];
        // A child's refusal is the why of the run that fetched it.
        EXPECT_NE(errors[0].find(refusal), std::string::npos) << errors[0];
        if (s.child) {
            EXPECT_NE(errors[0].find("task \"apply\" (WorkflowRun)"), std::string::npos) << errors[0];
        }
        EXPECT_FALSE(Exists(marker));
        EXPECT_EQ(listing(), before);
        std::ifstream victim(planted + "/victim");
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(victim)), std::istreambuf_iterator<char>()), "victim");
        EXPECT_FALSE(Exists(folder_.Dir() + "/moved"));
    }
}

// A child document refused for two keys that are one task name, each as long as a name may be:
// the run's one failure line names the child's document and the names whole.
TEST_F(HostWorkflowFailures, ARefusalOfTheLongestNamesIsSaidWhole) {
    const std::string name(119, 'n');
    folder_.Write("child.json", "{\"#" + name + "\": {\"type\": \"Log\"}, \"." + name + "\": {\"type\": \"Log\"}}");
    folder_.Write("wf.yaml", "apply: {type: WorkflowRun, url: \"file://" + folder_.Skin() + "/child.json\"}\n");
    // The child is an unsigned file.
    const Outcome run =
        RunApart({HOST_PROGRAM, "--skin=" + folder_.Skin(), "--wfselfupdate", "--disablesecurity"}, folder_.Env());
    EXPECT_EQ(run.Code, 1) << run.Err;
    const std::string problem = "task \"" + name + "\" is defined twice, as \"#" + name + "\" or \"." + name +
                                "\" and as \"#" + name + "\" or \"." + name + "\"";
    const std::vector<std::string> errors = ErrorLines(run.Err);
    ASSERT_EQ(errors.size(), 1u) << run.Err;
    EXPECT_NE(errors[0].find("Workflow " + Wf() + " failed in \"apply\": task \"apply\" (WorkflowRun): "
                             "Task_Error_InvalidArg - " + folder_.Skin() + "/child.json: " + problem),
              std::string::npos)
        << errors[0];
}

// What a child run and a program's arguments are given, on every surface, from one list. A child
// fetched as a "file:" URL fails its parent with whatever entry of it fails, and its folder is the
// one it was read from, escapes decoded; a child of it fetched over HTTP has no folder at all. An
// argument handed to a program, and the log folder, that still hold a location nobody could name
// (or one that came to nothing) end the run with one ERROR line naming it, and nothing planted in
// the current folder runs or is written.
TEST_F(HostWorkflowFailures, ChildRunsProgramArgumentsAndTheLogFolderFromOneList) {
    NginxPeer nginx("");
    ASSERT_TRUE(nginx.Server->Running());
    const std::string skin = folder_.Skin(), current = folder_.Dir() + "/current", marker = current + "/ran";
    ASSERT_EQ(mkdir(current.c_str(), 0755), 0);
    // Another account's scripts where a name left unexpanded, or one come to nothing, would lead.
    for (const std::string& planted : {current + "/{workflowDirectory}", current + "/{userAppData}", current})
        if (planted != current) {
            ASSERT_EQ(mkdir(planted.c_str(), 0777), 0);
        }
    for (const std::string& script : {current + "/{workflowDirectory}/run.sh", current + "/{userAppData}/run.sh",
                                      current + "/run.sh"}) {
        std::ofstream(script) << "#!/bin/sh\ntouch '" + marker + "'\n";
        chmod(script.c_str(), 0755);
    }
    const std::string blank = skin + "/my dir", absent = folder_.Dir() + "/absent";
    ASSERT_EQ(mkdir(blank.c_str(), 0700), 0);
    const std::string wf = Wf(), invalid = "Task_Error_InvalidArg", child = "task \"apply\" (WorkflowRun)";
    const std::string lost = "argument names a location without its folder ({";
    const std::string grand = nginx.Put("grand.json", R"({"apply": {"type": "DirectoryCreate", "path": )"
                                                      R"("{workflowDirectory}grand"}})");
    const std::string launch = "apply: {type: Launch, path: /bin/sh, waitForExit: true, arguments: ";
    struct Case {
        const char* name;
        std::string document;
        std::string child;               // "child.yaml" in the skin and in "my dir" (none when empty)
        std::vector<std::string> says = {};  // parts of the one ERROR line (none: there is none)
        std::vector<std::string> made = {};  // files or folders the run makes
        std::vector<std::string> extra = {}; // more switches
        bool relativeHome = false;       // HOME is a relative text, XDG_DATA_HOME unset
    } const cases[] = {
        {"a child's apply fails on a missing source",
         "apply: {type: WorkflowRun, url: \"file://" + skin + "/child.yaml\"}\n",
         "apply: {type: FileCopy, sourcePath: \"" + absent + "\", targetPath: \"" + absent + ".copy\"}\n",
         {"Workflow " + wf + " failed in \"apply\": " + child, "Platform_Error_Missing", absent}},
        {"a child's apply refuses a location",
         "apply: {type: WorkflowRun, url: \"file://" + skin + "/child.yaml\"}\n",
         "apply: {type: DirectoryCreate, path: \"{Env:QVR_NO_SUCH_VARIABLE}/x\"}\n",
         {child, invalid, "\"path\" " + lost + "Env:QVR_NO_SUCH_VARIABLE}): {Env:QVR_NO_SUCH_VARIABLE}/x"}},
        {"a child's unload fails", "apply: {type: WorkflowRun, url: \"file://" + skin + "/child.yaml\"}\n",
         "apply: {type: Log, message: hi}\nunload: {type: FileCopy, sourcePath: \"" + absent + "\", targetPath: \"" +
             absent + ".copy\"}\n",
         {child, "Platform_Error_Missing"}},
        {"a child's renamed entry fails",
         "apply: {type: WorkflowRun, url: \"file://" + skin + "/child.yaml\", load: first}\n",
         "first: {type: FileCopy, sourcePath: \"" + absent + "\", targetPath: \"" + absent + ".copy\"}\n",
         {child, "Platform_Error_Missing"}},
        {"a child read from a folder with a blank",
         "apply: {type: WorkflowRun, url: \"file://" + skin + "/my%20dir/child.yaml\"}\n",
         "apply: {type: DirectoryCreate, path: \"{workflowDirectory}made\", success: launch}\n"
         "launch: {type: Launch, path: /bin/sh, waitForExit: true, arguments: [\"-c\", \"touch \\\"$0\\\"\", "
         "\"{workflowPath}.ran\"]}\n",
         {}, {blank + "/made", blank + "/child.yaml.ran"}},
        {"an HTTP child of a file child",
         "apply: {type: WorkflowRun, url: \"file://" + skin + "/my%20dir/child.yaml\"}\n",
         "apply: {type: WorkflowRun, url: \"" + grand + "\"}\n",
         {child, invalid, "\"path\" " + lost + "workflowDirectory}): {workflowDirectory}grand"}},
        {"a program's argument in a list", launch + "[\"{workflowDirectory}/run.sh\"]}\n", "",
         {"task \"apply\" (Launch)", invalid, "\"arguments\" " + lost + "workflowDirectory}): {workflowDirectory}/run.sh"}},
        {"a program's arguments in a text", launch + "\"-e {workflowDirectory}/run.sh\"}\n", "",
         {"task \"apply\" (Launch)", invalid,
          "\"arguments\" " + lost + "workflowDirectory}): -e {workflowDirectory}/run.sh"}},
        {"a program's argument come to nothing", launch + "[\"{Env:QVR_EMPTY}run.sh\"]}\n", "",
         {"task \"apply\" (Launch)", invalid, "\"arguments\" " + lost + "Env:QVR_EMPTY}): {Env:QVR_EMPTY}run.sh"}},
        {"a program's argument in a text come to nothing", launch + "\"{Env:QVR_EMPTY}run.sh\"}\n", "",
         {"task \"apply\" (Launch)", invalid, "\"arguments\" " + lost + "Env:QVR_EMPTY}): {Env:QVR_EMPTY}run.sh"}},
        {"a program's argument under a relative home", launch + "[\"{userAppData}/run.sh\"]}\n", "",
         {"task \"apply\" (Launch)", invalid, "\"arguments\" " + lost + "userAppData}): {userAppData}/run.sh"},
         {}, {}, true},
        {"an installer's argument come to nothing",
         "apply: {type: PKG, path: /nonexistent.pkg, arguments: [\"{Env:QVR_EMPTY}run.sh\"]}\n", "",
         {"(PKG)", invalid, "\"arguments\" " + lost + "Env:QVR_EMPTY}): {Env:QVR_EMPTY}run.sh"}},
        {"a restart's arguments",
         "apply: {type: Shutdown, force: true, restart: true, restartPath: /bin/sh, restartArguments: "
         "\"{workflowDirectory}/run.sh\"}\n",
         "", {"task \"apply\" (Shutdown)", invalid, "\"restartArguments\" " + lost + "workflowDirectory}): "
                                                       "{workflowDirectory}/run.sh"}},
        {"a restart's argument come to nothing",
         "apply: {type: Shutdown, force: true, restart: true, restartPath: /bin/sh, restartArguments: "
         "\"-e {Env:QVR_EMPTY}run.sh\"}\n",
         "", {"task \"apply\" (Shutdown)", invalid, "\"restartArguments\" " + lost + "Env:QVR_EMPTY}): -e {Env:QVR_EMPTY}run.sh"}},
        {"arguments that name no location pass as written", launch + "[\"-c\", \"touch \\\"$0\\\"\", \"{notes}\"]}\n",
         "", {}, {current + "/{notes}"}},
        {"a log folder left unexpanded", "apply: {type: Log, message: hi}\n", "",
         {"No log file is written: the folder named by --debugdir names a location without its folder "
          "({Env:QVR_NO_SUCH_VARIABLE}): {Env:QVR_NO_SUCH_VARIABLE}"},
         {}, {"--debug", "--debugdir={Env:QVR_NO_SUCH_VARIABLE}"}},
        {"a log folder come to a relative name", "apply: {type: Log, message: hi}\n", "",
         {"No log file is written: the folder named by --debugdir is not a full path once expanded (\"logs\" from "
          "{Env:QVR_EMPTY}logs)"},
         {}, {"--debug", "--debugdir={Env:QVR_EMPTY}logs"}},
    };
    const auto listing = [&] {
        std::system(("ls -AR '" + current + "' > '" + folder_.Dir() + "/listing'").c_str());
        std::ifstream in(folder_.Dir() + "/listing");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const std::string before = listing();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        folder_.Write("wf.yaml", c.document);
        std::ofstream(skin + "/child.yaml") << c.child;
        std::ofstream(blank + "/child.yaml") << c.child;
        std::vector<std::string> env = {"QVR_EMPTY="};
        for (const std::string& e : folder_.Env())
            if (!c.relativeHome || (e.rfind("XDG_DATA_HOME=", 0) != 0 && e.rfind("HOME=", 0) != 0)) env.push_back(e);
        std::unique_ptr<ScopedEnv> home;
        if (c.relativeHome) home.reset(new ScopedEnv{{"HOME", "home"}, {"XDG_DATA_HOME", nullptr}});
        std::vector<std::string> args = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", current, HOST_PROGRAM,
                                         "--skin=" + skin, "--wfselfupdate", "--disablesecurity"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const Outcome run = RunApart(args, env);
        home.reset();
        const bool fails = !c.says.empty() && c.extra.empty();
        EXPECT_EQ(run.Code, fails ? 1 : 0) << run.Err;
        std::vector<std::string> errors = ErrorLines(run.Err);
        // A relative home is said on lines of its own; the run's failure is still one line.
        if (c.relativeHome)
            std::erase_if(errors, [](const std::string& line) { return line.find("Workflow ") == std::string::npos; });
        EXPECT_EQ(errors.size(), c.says.empty() ? 0u : 1u) << run.Err;
        for (const std::string& part : c.says)
            EXPECT_TRUE(!errors.empty() && errors[0].find(part) != std::string::npos) << part << "\n" << run.Err;
        for (const std::string& made : c.made) {
            EXPECT_TRUE(Exists(made)) << made << "\n" << run.Err;
            std::system(("rm -rf '" + made + "'").c_str());
        }
        EXPECT_FALSE(Exists(marker)) << run.Err;
        unlink(marker.c_str());
        EXPECT_FALSE(Exists(skin + "/grand"));
        EXPECT_FALSE(Exists(skin + "/my%20dir"));
        EXPECT_EQ(listing(), before);
    }
}
