// Synchronisation from real peers on 127.0.0.1: nginx (its access log names the Range of every
// request) serving the alias, catalogue, manifest, files and piece files, and Python's http.server,
// which ignores Range. Trees are compared with diff -r.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
        chmod(Root().c_str(), 0711); // nginx's workers run as another user
        std::ofstream(dir.file("nginx.tmpl"))
            << "worker_processes 1; pid " << dir.file("nginx.pid") << "; error_log " << dir.file("nginx.err")
            << ";\nevents { worker_connections 64; }\nhttp {\n  log_format r '$request_uri [$http_range]';\n"
            << "  access_log " << dir.file("access.log") << " r;\n"
            << "  client_body_temp_path " << Root() << "; proxy_temp_path " << Root() << "; fastcgi_temp_path "
            << Root() << "; uwsgi_temp_path " << Root() << "; scgi_temp_path " << Root() << ";\n  types { }\n"
            << "  server { listen 127.0.0.1:PORT; root " << Root() << "; }\n}\n";
        nginx = std::make_unique<TlsServer>(
            Root(), std::vector<std::string>{"sh", "-c",
                                             "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                 dir.file("nginx.conf") + " -g 'daemon off;'"});
        python = std::make_unique<TlsServer>(
            Root(), std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1", "{port}"});
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
    void Publish() { Shell("chmod -R a+rX " + Root() + "/remote " + Root() + "/pieces " + Root() + "/*.json"); }
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
        Put(Root() + "/catalog.json", "{\"id\":\"" + currentId + "\",\"metafile\":\"" + Url(*nginx, "/remote.json") +
                                           "\",\"config\":{}}");
        Publish();
        Configure("state/local.json", "",
                  "\"alias\":\"" + Url(*nginx, "/alias.json") + "\",\"catalog\":\"" + Url(*nginx, "/catalog.json") + "\"");
    }
    std::string currentId;
    void Release(const std::string& id, const std::map<std::string, std::string>& files) {
        currentId = id;
        Version(id, files);
        Publish();
    }
};

std::map<std::string, std::string> Tree(int seed) {
    std::map<std::string, std::string> files;
    for (int i = 0; i < 12; ++i) files["f" + std::to_string(i) + (i % 3 ? ".bin" : "/x.dat")] = Content(300 + i * 977, seed + i);
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

} // namespace
