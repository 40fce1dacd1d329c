// Synchronisation from real peers on 127.0.0.1: nginx (its access log names the Range of every
// request) serving the alias, catalogue, manifest, files and piece files, and Python's http.server,
// which ignores Range. Trees are compared with diff -r.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <memory>

#include "tests/repository/repository_test_support.h"
#include "tests/support/tls_peer.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

class RepositoryHttpTest : public RepositoryFixture {
  protected:
    std::unique_ptr<TlsServer> nginx, python;

    void SetUp() override {
        pooled = true;
        pieceSize = 1024;
        pieceDir = Root() + "/pieces";
        RepositoryFixture::SetUp();
        if (getenv("QVR_REPOSITORY_CHILD_ROOT")) return; // a child uses its parent's peers
        chmod(Root().c_str(), 0711);                     // nginx's workers run as another user
        std::ofstream(dir.file("nginx.tmpl"))
            << "worker_processes 1; pid " << dir.file("nginx.pid") << "; error_log " << dir.file("nginx.err")
            << ";\nevents { worker_connections 64; }\nhttp {\n  log_format r '$request_uri [$http_range] "
               "$body_bytes_sent';\n"
            << "  access_log " << dir.file("access.log") << " r;\n"
            << "  client_body_temp_path " << Root() << "; proxy_temp_path " << Root()
            << "; fastcgi_temp_path " << Root() << "; uwsgi_temp_path " << Root() << "; scgi_temp_path "
            << Root() << ";\n  types { }\n"
            << "  server { listen 127.0.0.1:PORT; root " << Root() << "; }\n}\n";
        nginx = std::make_unique<TlsServer>(
            Root(), std::vector<std::string>{"sh", "-c",
                                             "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                 dir.file("nginx.conf") + " -g 'daemon off;'"});
        python = std::make_unique<TlsServer>(Root(),
                                             std::vector<std::string>{"/usr/bin/python3", "-m", "http.server",
                                                                      "--bind", "127.0.0.1", "{port}"});
        ASSERT_TRUE(nginx->Running());
        ASSERT_TRUE(python->Running());
    }
    void TearDown() override {
        RepositoryFixture::TearDown();
        nginx.reset();
        python.reset();
    }
    std::string Url(TlsServer& server, const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(server.Port()) + path;
    }
    // Served files must be readable by nginx's workers.
    void Publish() {
        Shell("chmod -R a+rX " + Root() + "/remote " + Root() + "/pieces " + Root() + "/*.json");
    }
    std::vector<std::string> Log(const std::string& part) {
        std::vector<std::string> out;
        std::ifstream in(dir.file("access.log"));
        for (std::string line; std::getline(in, line);)
            if (line.find(part) != std::string::npos) out.push_back(line);
        return out;
    }
    // Documents through the alias and a catalogue named by a ".json" URL, from nginx.
    void ConfigureDocuments() {
        Put(Root() + "/alias.json", "{\"game\":\"" + currentId + "\"}");
        Put(Root() + "/catalog.json", "{\"id\":\"" + currentId + "\",\"metafile\":\"" +
                                          Url(*nginx, "/remote.json") + "\",\"config\":{}}");
        Publish();
        Configure("state/local.json", "",
                  "\"alias\":\"" + Url(*nginx, "/alias.json") + "\",\"catalog\":\"" +
                      Url(*nginx, "/catalog.json") + "\"");
    }
    std::string currentId;
    size_t Sent() {
        size_t sent = 0;
        for (const auto& line : Log("/remote/f")) sent += std::stoul(line.substr(line.rfind(' ') + 1));
        return sent;
    }
    void Release(const std::string& id, const std::map<std::string, std::string>& files) {
        currentId = id;
        Version(id, files);
        Publish();
    }
};

std::map<std::string, std::string> Tree(int seed) {
    std::map<std::string, std::string> files;
    for (int i = 0; i < 12; ++i)
        files["f" + std::to_string(i) + (i % 3 ? ".bin" : "/x.dat")] = Content(300 + i * 977, seed + i);
    files["empty"] = "";
    return files;
}

TEST_F(RepositoryHttpTest, InstallThenUpdateFetchesOnlyChangedPiecesFromNginx) {
    remoteJson = "{\"type\":\"http\",\"url\":\"" + Url(*nginx, "/remote/") + "\"}";
    Release("v1", Tree(1));
    ConfigureDocuments();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC, 1)) << printed.Text;
    EXPECT_EQ(Errors(), 0u) << printed.Text;
    EXPECT_TRUE(Same());
    EXPECT_EQ(Shell("cmp " + Root() + "/remote.json " + Root() + "/state/local.json"), 0);

    // One file changes in its middle: only the pieces over it travel again.
    auto files = Tree(1);
    std::string& changed = files["f4.bin"];
    for (size_t i = 1000; i < 1100; ++i) changed[i] = (char)~changed[i];
    Release("v2", files);
    const size_t before = Log("/remote/").size();
    NewRepository();
    ConfigureDocuments();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC, 1)) << printed.Text;
    EXPECT_EQ(Errors(), 0u) << printed.Text;
    EXPECT_TRUE(Same());
    const auto log = Log("/remote/");
    std::vector<std::string> fetched(log.begin() + (long)before, log.end());
    ASSERT_FALSE(fetched.empty());
    EXPECT_LE(fetched.size(), 2u);
    for (const auto& line : fetched) EXPECT_NE(line.find("/remote/f4.bin"), std::string::npos) << line;
}

TEST_F(RepositoryHttpTest, PieceFilesFromNginx) {
    remoteJson = "{\"type\":\"httpPiece\",\"url\":\"" + Url(*nginx, "/pieces/") + "\"}";
    Release("v1", Tree(3));
    ConfigureDocuments();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC, 1)) << printed.Text;
    EXPECT_EQ(Errors(), 0u) << printed.Text;
    EXPECT_TRUE(Same());
}

// A catalogue fetched over HTTP names its manifest on the web: an http address, or a name read
// against the catalogue's own address. A "file:" address or another scheme is left out, named with
// the catalogue, and the sync ends with a configuration error; a local path is a path on the
// catalogue's server, never a local file.
TEST_F(RepositoryHttpTest, ACatalogueFromTheWebNamesNoLocalManifest) {
    remoteJson = "{\"type\":\"http\",\"url\":\"" + Url(*nginx, "/remote/") + "\"}";
    Release("v1", Tree(7));
    // The same manifest where the catalogue's server would find a local path of it.
    Shell("mkdir -p " + Root() + Root() + " && cp " + Root() + "/remote.json " + Root() + Root() + "/");
    struct Case {
        std::string metafile;
        std::string fetched; // the manifest's path on nginx; empty: refused, nothing fetched
    } cases[] = {
        {Url(*nginx, "/remote.json"), "/remote.json"},
        {"remote.json", "/remote.json"},
        {"/remote.json", "/remote.json"},
        {Root() + "/remote.json", Root() + "/remote.json"},
        {"file://" + Root() + "/remote.json", ""},
        {"FILE:" + Root() + "/remote.json", ""},
        {"ftp://127.0.0.1/remote.json", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.metafile);
        Shell("rm -rf " + Root() + "/local " + Root() + "/state");
        Put(Root() + "/catalog.json",
            "{\"id\":\"" + currentId + "\",\"metafile\":\"" + c.metafile + "\",\"config\":{}}");
        Publish();
        Shell("chmod -R a+rX " + Root() + "/tmp");
        NewRepository();
        printed.Text.clear();
        Configure("state/local.json", "", "\"catalog\":\"" + Url(*nginx, "/catalog.json") + "\"");
        const size_t before = Log("remote.json").size();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC, 1)) << printed.Text;
        const auto log = Log("remote.json");
        int32_t source = 0;
        Repository_GetLastError(repo, &source, nullptr, nullptr, nullptr, nullptr);
        if (c.fetched.empty()) {
            EXPECT_EQ(source, 9) << printed.Text;
            EXPECT_NE(printed.Text.find("Catalog key ignored (metafile) (" + Url(*nginx, "/catalog.json") + ")"),
                      std::string::npos)
                << printed.Text;
            EXPECT_EQ(log.size(), before);
            EXPECT_EQ(Shell("test -e " + Root() + "/state/local.json"), 256);
        } else {
            EXPECT_EQ(Errors(), 0u) << printed.Text;
            EXPECT_TRUE(Same());
            EXPECT_EQ(log.size(), before + 1);
            if (log.size() > before) {
                EXPECT_EQ(log.back().substr(0, log.back().find(' ')), c.fetched);
            }
        }
    }
}

TEST_F(RepositoryHttpTest, AServerThatIgnoresRangeStallsTheSyncAndCorruptsNothing) {
    remoteJson = "{\"type\":\"http\",\"url\":\"" + Url(*python, "/remote/") + "\"}";
    Release("v1", Tree(5));
    ConfigureDocuments();
    Repository_SetStallTime(repo, 2);
    Repository_Reset(repo);
    Repository_SetActive(repo, 1);
    Repository_SetRefresh(repo, 1);
    ASSERT_TRUE(Pump([&] { return !(State() & REPOSITORY_STATEFLAG_REFRESH); }));
    Repository_SetSync(repo, 1);
    ASSERT_TRUE(Pump([&] { return (State() & REPOSITORY_STATEFLAG_STALLED) != 0; }, 40)) << printed.Text;
    int32_t source = 0, code = 0;
    Repository_GetLastError(repo, &source, nullptr, nullptr, &code, nullptr);
    EXPECT_EQ(source, REPOSITORY_SOURCE_STORAGE_REMOTE);
    EXPECT_NE(Actions() & REPOSITORY_ACTION_SYNC, 0u); // not reported as done
    EXPECT_EQ(Shell("test -e " + Root() + "/state/local.json"), 256);
    // Whatever lies under a file's own name is that file whole.
    for (const auto& [name, data] : Tree(5)) {
        const std::string path = Root() + "/local/" + name;
        if (access(path.c_str(), F_OK) == 0) {
            EXPECT_EQ(Shell("cmp -s " + path + " " + Root() + "/remote/" + name), 0) << name;
        }
    }
}

// The child's side: one synchronisation from its parent's nginx, until it is killed.
TEST_F(RepositoryHttpTest, ResumeChild) {
    const char* root = getenv("QVR_REPOSITORY_CHILD_ROOT");
    if (!root) GTEST_SKIP() << "run by ResumedSyncsDoNotFetchWrittenPiecesAgain";
    rootOverride = root;
    remoteJson = getenv("QVR_REPOSITORY_CHILD_REMOTE");
    Configure();
    EXPECT_TRUE(Run(REPOSITORY_ACTION_SYNC));
}

TEST_F(RepositoryHttpTest, ResumedSyncsDoNotFetchWrittenPiecesAgain) {
    pieceSize = 16384;
    remoteJson = "{\"type\":\"http\",\"url\":\"" + Url(*nginx, "/remote/") + "\"}";
    std::map<std::string, std::string> tree;
    size_t total = 0;
    for (int i = 0; i < 16; ++i) {
        tree["f" + std::to_string(i)] = Content(5000 + i * 90001, i);
        total += tree["f" + std::to_string(i)].size();
    }
    Release("v1", tree);
    char self[1024] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    const std::string rootVar = "QVR_REPOSITORY_CHILD_ROOT=" + Root(),
                      remoteVar = "QVR_REPOSITORY_CHILD_REMOTE=" + remoteJson;
    const std::string filter = "--gtest_filter=RepositoryHttpTest.ResumeChild";
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    envp.push_back(const_cast<char*>(rootVar.c_str()));
    envp.push_back(const_cast<char*>(remoteVar.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {self, const_cast<char*>(filter.c_str()), nullptr};
    const int rounds = 6;
    int interrupted = 0;
    srand(11);
    for (int round = 0; round < rounds; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            execve(self, argv, envp.data());
            _exit(127);
        }
        // Early rounds end soon after the child starts, later ones may find it done.
        usleep((useconds_t)(250000 + rand() % (150000 + 100000 * round)));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        if (access((Root() + "/state/local.json").c_str(), F_OK) != 0) interrupted++;
    }
    EXPECT_GE(interrupted, 1);
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    EXPECT_TRUE(Same());
    // Bytes sent for the files: the tree once, plus at most the requests in flight at each kill.
    const size_t sent = Sent();
    EXPECT_GE(sent, total);
    EXPECT_LE(sent, total + (size_t)rounds * 4 * (size_t)pieceSize);
}

} // namespace
