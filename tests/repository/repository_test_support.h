// What the repository tests share: folders and manifests written by Python, a JSON object as a
// dictionary, the repository's printed lines, and a fixture that drives one repository on the
// test's thread as its task would (refresh, then synchronise or erase).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "core/certs/cert_store.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/async_http.h"
#include "core/web/web_get_pool.h"
#include "repository/meta_file.h"
#include "repository/repository.h"
#include "tests/support/abort_hook.h"
#include "tests/support/own_connections.h"
#include "tests/support/temp_dir.h"
#include "tests/support/web_get_env.h"

inline int Shell(const std::string& command) {
    return system(command.c_str());
}

// A manifest of every file below `dir` (names sorted), packed into pieces (the last one padded by a
// pad range, or with `ownPad` each file padded to a piece boundary by its own "pad") with Base64
// SHA-1 digests, written by Python; with a piece folder each piece also as "<hex digest>.quarvpiece".
inline void WriteManifest(const std::string& dir, const std::string& id, const std::string& path,
                          const std::vector<std::string>& extraNames = {}, int pieceSize = 16,
                          const std::string& pieceDir = "", bool ownPad = false) {
    std::string extra = "[";
    for (const auto& n : extraNames) extra += "'" + n + "',";
    extra += "]";
    const std::string script =
        "import base64,hashlib,json,os,sys\n"
        "root,ident,out,size,own,pdir=sys.argv[1],sys.argv[2],sys.argv[3],int(sys.argv[4]),sys.argv[5]=='own',"
        "sys.argv[6:]\n"
        "names=sorted(os.path.relpath(os.path.join(d,f),root) for d,_,fs in os.walk(root) for f in fs)\n"
        "files,stream=[],b''\n"
        "for n in names:\n"
        " data=open(os.path.join(root,n),'rb').read()\n"
        " files.append({'name':n,'size':len(data)})\n"
        " stream+=data\n"
        " if own:\n"
        "  files[-1]['pad']=(-len(data))%size\n"
        "  stream+=bytes(files[-1]['pad'])\n"
        "files+=[{'name':n,'size':0} for n in " +
        extra +
        "]\n"
        "tail=(-len(stream))%size\n"
        "pad=[{'offset':len(stream),'size':tail}] if tail else []\n"
        "stream+=bytes(tail)\n"
        "ps=[stream[i:i+size] for i in range(0,len(stream),size)]\n"
        "d=[base64.b64encode(hashlib.sha1(p).digest()).decode() for p in ps]\n"
        "[open(os.path.join(pdir[0],hashlib.sha1(p).hexdigest()+'.quarvpiece'),'wb').write(p) for p in ps if "
        "pdir]\n"
        "json.dump({'id':ident,'files':files,'pad':pad,'pieces':{'size':size,'digests':d}},open(out,'w'))\n";
    // The script goes beside the manifest, in the test's own folder: tests running at once each
    // have their own.
    const std::string scriptPath = path + ".py";
    std::ofstream(scriptPath) << script;
    ASSERT_EQ(Shell("/usr/bin/python3 " + scriptPath + " " + dir + " " + id + " " + path + " " +
                    std::to_string(pieceSize) + (ownPad ? " own " : " list ") + pieceDir),
              0);
    unlink(scriptPath.c_str());
}

// Writes a file of a test's tree; a folder or a write that fails fails the test, naming the path.
inline void Put(const std::string& path, const std::string& data) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    if (error) ADD_FAILURE() << "cannot make the folders of " << path << ": " << error.message();
    std::ofstream out(path, std::ios::binary);
    out << data;
    out.close();
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

inline std::string Content(size_t n, int seed) {
    std::string out(n, 0);
    for (size_t i = 0; i < n; ++i) out[i] = (char)(seed * 31 + i * 7 + (i >> 4));
    return out;
}

// The manifest in a file, read and built as a repository's worker builds it; null when it is not
// sound. The caller releases it.
inline MetaFile* LoadBuiltManifest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    MetaFile* meta = nullptr;
    MetaFile_Create(&meta);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetValueCallback(json, meta, MetaFile_ValueCallback);
    const bool read = JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()) == 1;
    JSON_Release(&json);
    uint32_t code = 0, extra = 0;
    if (!read || MetaFile_WorkerBuild(nullptr, meta, &code, &extra) != 1) MetaFile_Release(&meta);
    return meta;
}

// A JSON object as a dictionary (the object's own, under a root that the holder releases).
struct Json {
    Dictionary* root = nullptr;
    Dictionary* d = nullptr;
    explicit Json(const std::string& text) {
        Dictionary_Create(&root);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, root);
        EXPECT_EQ(JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()), 1) << text;
        JSON_SetDictionaryHandle(json, nullptr);
        JSON_Release(&json);
        DictionaryItem* item = nullptr;
        Dictionary_ItemGetFirst(root, &item);
        if (item) Dictionary_ItemGetDictionaryHandle(root, item, &d);
    }
    ~Json() { Dictionary_Release(&root); }
};

// What the repository printed. Its I/O worker prints while the test's thread prints and reads:
// every access holds the lock, and a read takes a copy.
class PrintedText {
  public:
    void Append(const std::string& line) {
        std::lock_guard<std::mutex> hold(lock_);
        text_ += line;
    }
    std::string Copy() const {
        std::lock_guard<std::mutex> hold(lock_);
        return text_;
    }
    size_t find(const std::string& what, size_t from = 0) const { return Copy().find(what, from); }
    void clear() {
        std::lock_guard<std::mutex> hold(lock_);
        text_.clear();
    }
    operator std::string() const { return Copy(); }
    friend std::ostream& operator<<(std::ostream& out, const PrintedText& printed) { return out << printed.Copy(); }

  private:
    mutable std::mutex lock_;
    std::string text_;
};

struct Printed {
    PrintedText Text;
    static int64_t Keep(void* user, const char* format, ...) {
        char line[4096];
        va_list args;
        va_start(args, format);
        vsnprintf(line, sizeof(line), format, args);
        va_end(args);
        static_cast<Printed*>(user)->Text.Append(std::string(line) + "\n");
        return 1;
    }
};

// The repository runs on the calling thread from now on: its completions arrive on this thread's
// queue, and its jobs wake this thread.
inline void RunOnThisThread(Repository* repo) {
    Repository_SetThreadId(repo, Thread_GetCurrentId());
    EventQueue* queue = Thread_GetCurrentEventQueueHandle();
    Repository_SetEventQueueHandle(repo, queue);
    EventQueue_Release(&queue);
}

class RepositoryFixture : public WebGetTest {
  protected:
    // Requests through the process's HTTP pool (real peers) instead of a connection each.
    bool pooled = false;
    // The "remote" member of the task's dictionary; a file storage over the remote folder when empty.
    std::string remoteJson;
    // Passes of the test's thread a millisecond apart (see Pass).
    bool shortPasses = false;
    // The repository's name in the task's dictionary.
    std::string repositoryName = "game";
    // Manifests of Version: piece size, and a folder that gets each piece as a file of its own.
    int pieceSize = 16;
    int requests = 4;
    std::string pieceDir;
    TempDir dir;
    CertStoreNull* store = nullptr;
    CertStoreInterface* trust = nullptr;
    Repository* repo = nullptr;
    Printed printed;
    std::vector<std::pair<uint32_t, uint32_t>> changes;

    void SetUp() override {
        WebGetTest::SetUp();
        InstallTestAbortHook();
        // The documents here are unsigned files.
        Authenticate_SetEnabled(0);
        WebGet_AuthorizeOverride(AllowEveryHost);
        if (pooled)
            ASSERT_EQ(WebGetPool_Init(), 1);
        else
            ASSERT_EQ(AsyncHTTP_SetWebRequestHandler(own_connections::Add, own_connections::Remove), 1);
        CertStoreNull_Create(&store);
        trust = CertStoreNull_GetInterfaceHandle(store);
        ASSERT_EQ(Repository_Create(&repo), 1);
        Repository_SetPrintCallback(repo, &printed, Printed::Keep);
        Repository_SetCertStoreHandle(repo, trust);
        RunOnThisThread(repo);
        Repository_SetStateFlagChangeCallback(
            repo, this, [](Repository*, void* user, uint32_t old, uint32_t now) {
                static_cast<RepositoryFixture*>(user)->changes.push_back({old, now});
            });
    }
    void TearDown() override {
        if (repo) {
            Repository_Shutdown(repo);
            Pump([&] { return Repository_IsShutdown(repo) == 1; }, 10);
            Repository_Release(&repo);
        }
        for (int i = 0; i < 20; ++i) Pass();
        WebGet_AuthorizeOverride(nullptr);
        if (pooled) {
            WebGetPool_Remove();
        } else {
            own_connections::ReleaseAll();
            AsyncHTTP_SetWebRequestHandler(nullptr, nullptr);
        }
        CertStoreInterface_Release(&trust);
        CertStoreNull_Release(&store);
        WebGetTest::TearDown();
    }
    void Pass() {
        if (repo) Repository_Process(repo);
        EventQueue_Flush(nullptr);
        if (pooled)
            WebGetPool_Process();
        else
            own_connections::ProcessAll();
        NotificationCenter_Process();
        // A signal wait lasts at least its floor (15 ms) when nothing signals: a test that runs
        // many short syncs takes the signal if one is there and sleeps a millisecond instead.
        if (shortPasses) {
            Thread_Wait(0);
            usleep(1000);
        } else {
            Thread_Wait(1);
        }
    }
    template <typename Done> bool Pump(Done done, double seconds = 30) {
        const double end = Time_GetCurrent() + seconds;
        while (Time_GetCurrent() < end) {
            Pass();
            if (done()) return true;
        }
        return false;
    }
    uint32_t State() {
        uint32_t flags = 0;
        Repository_GetStateFlags(repo, &flags);
        return flags;
    }
    uint32_t Actions() {
        uint32_t flags = 0;
        Repository_GetActionFlags(repo, &flags);
        return flags;
    }
    // Another process's folder (a child that works on its parent's tree) or the test's own.
    std::string rootOverride;
    std::string Root() { return rootOverride.empty() ? dir.path() : rootOverride; }
    // The task's dictionary: the local folder, the remote folder as a file storage, the manifest;
    // `fields` replace the remote id and manifest location when given.
    void Configure(const std::string& metafile = "state/local.json", const std::string& local = "",
                   const std::string& fields = "") {
        const std::string text =
            "{\"repository\":\"" + repositoryName + "\"," +
            (fields.empty() ? "\"remote.id\":\"v\",\"remote.metafile\":\"" + Root() + "/remote.json\""
                            : fields) +
            "," +
            (local.empty() ? "\"local\":{\"type\":\"file\",\"path\":\"" + Root() + "/local\"}" : local) +
            ",\"remote\":" +
            (remoteJson.empty() ? "{\"type\":\"file\",\"path\":\"" + Root() + "/remote\"}" : remoteJson) +
            ",\"requests\":" + std::to_string(requests) + ",\"fileCompletes\":2" +
            (metafile.empty() ? std::string() : ",\"metafile\":\"" + Root() + "/" + metafile + "\"") + "}";
        Json config(text);
        ASSERT_NE(config.d, nullptr);
        ASSERT_EQ(Repository_SetConfigDictionaryHandle(repo, config.d), 1);
    }
    // A refresh from a reset repository, pumped until it has ended (false when it did not in time).
    // catalog: the catalogue setting, left as the reset leaves it when negative.
    bool Refreshed(int32_t catalog = -1) {
        Repository_Reset(repo);
        if (catalog >= 0) Repository_SetCatalog(repo, (uint32_t)catalog);
        Repository_SetActive(repo, 1);
        Repository_SetRefresh(repo, 1);
        return Pump([&] {
            return !(Actions() & REPOSITORY_ACTION_REFRESH) && !(State() & REPOSITORY_STATEFLAG_REFRESH);
        });
    }
    // Refresh, then (when it ends without error) synchronise or erase, as the task does.
    bool Run(uint32_t action, uint32_t catalog = 0) {
        if (!Refreshed((int32_t)catalog)) return false;
        if (action == REPOSITORY_ACTION_SYNC)
            Repository_SetSync(repo, 1);
        else
            Repository_SetErase(repo, 1);
        return Pump([&] { return !(Actions() & action) && !(State() & REPOSITORY_STATEFLAG_ALIVE); });
    }
    uint32_t Errors() {
        uint32_t count = 0;
        Repository_GetErrorCount(repo, &count);
        return count;
    }
    // One of the repository's counters (Repository_Dump); -1 when it has none of that name.
    double Counter(const char* key) {
        Dictionary* dump = nullptr;
        Dictionary_Create(&dump);
        Repository_Dump(repo, dump);
        double value = -1;
        Dictionary_GetFloat64ByKey(dump, key, &value);
        Dictionary_Release(&dump);
        return value;
    }
    void NewRepository() {
        Repository_Shutdown(repo);
        Pump([&] { return Repository_IsShutdown(repo) == 1; }, 10);
        Repository_Release(&repo);
        SetUpRepositoryOnly();
    }
    void SetUpRepositoryOnly() {
        ASSERT_EQ(Repository_Create(&repo), 1);
        Repository_SetPrintCallback(repo, &printed, Printed::Keep);
        Repository_SetCertStoreHandle(repo, trust);
        RunOnThisThread(repo);
    }
    void Version(const std::string& id, const std::map<std::string, std::string>& files) {
        Shell("rm -rf " + Root() + "/remote && mkdir -p " + Root() + "/remote");
        for (const auto& [name, data] : files) Put(Root() + "/remote/" + name, data);
        if (!pieceDir.empty()) Shell("rm -rf " + pieceDir + " && mkdir -p " + pieceDir);
        WriteManifest(Root() + "/remote", id, Root() + "/remote.json", {}, pieceSize, pieceDir);
    }
    bool Same() { return Shell("diff -r " + Root() + "/remote " + Root() + "/local") == 0; }
};
