// The alias and the catalogue loaded through their document loaders: from files and from a python
// http.server peer, with the checks of their worker builds, the skipped state and "missing".
#include "repository/alias.h"
#include "repository/catalog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "core/certs/cert_store.h"
#include "core/runtime/dictionary.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"
#include "tests/support/own_connections.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

class AliasCatalogTest : public WebGetTest {
  protected:
    TempDir dir;
    Alias* alias = nullptr;
    Catalog* catalog = nullptr;
    CertStoreNull* store = nullptr;
    CertStoreInterface* trust = nullptr;

    void SetUp() override {
        WebGetTest::SetUp();
        WebGet_AuthorizeOverride(AllowEveryHost);
        ASSERT_EQ(AsyncHTTP_SetWebRequestHandler(own_connections::Add, own_connections::Remove), 1);
        ASSERT_EQ(Alias_Create(&alias), 1);
        ASSERT_EQ(Catalog_Create(&catalog), 1);
        // Documents are parsed only with a trust store to check signed ones against.
        CertStoreNull_Create(&store);
        trust = CertStoreNull_GetInterfaceHandle(store);
        Alias_SetCertStoreHandle(alias, trust);
        Catalog_SetCertStoreHandle(catalog, trust);
    }
    void TearDown() override {
        WebGet_AuthorizeOverride(nullptr);
        Alias_Release(&alias);
        Catalog_Release(&catalog);
        CertStoreInterface_Release(&trust);
        CertStoreNull_Release(&store);
        for (int i = 0; i < 10; i++) Pass();
        own_connections::ReleaseAll();
        AsyncHTTP_SetWebRequestHandler(nullptr, nullptr);
        WebGetTest::TearDown();
    }
    static void Pass() {
        EventQueue_Flush(nullptr);
        own_connections::ProcessAll();
        Thread_Wait(1);
    }
    template <typename Alive> void Wait(Alive alive) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        do Pass();
        while (alive() && std::chrono::steady_clock::now() < deadline);
        EXPECT_FALSE(alive()) << "the load never finished";
    }
    std::string File(const std::string& name, const std::string& text) {
        std::ofstream(dir.file(name)) << text;
        return "file://" + dir.file(name);
    }
    // "ok" or the error code, and the alias value.
    std::string LoadAlias(const std::string& url, const char* key) {
        Alias_SetKey(alias, key);
        EXPECT_EQ(Alias_Load(alias, url.c_str(), 0), 1);
        Wait([&] { return Alias_IsAlive(alias) != 0; });
        uint32_t code = 0, codeEx = 0;
        Alias_GetLastError(alias, &code, &codeEx);
        char value[ALIAS_VALUE_SIZE] = "?";
        Alias_GetValue(alias, value, sizeof(value));
        return (Alias_IsOk(alias) ? std::string("ok") : std::to_string(code)) + " " + value;
    }
    std::string LoadCatalog(const std::string& url) {
        EXPECT_EQ(Catalog_Load(catalog, url.c_str(), 0), 1);
        Wait([&] { return Catalog_IsAlive(catalog) != 0; });
        uint32_t code = 0, codeEx = 0;
        Catalog_GetLastError(catalog, &code, &codeEx);
        char id[CATALOG_TEXT_SIZE] = "?", metafile[CATALOG_TEXT_SIZE] = "?";
        Catalog_GetId(catalog, id, sizeof(id));
        Catalog_GetMetaFile(catalog, metafile, sizeof(metafile));
        return (Catalog_IsOk(catalog) ? std::string("ok") : std::to_string(code)) + " " + id + " " + metafile;
    }
};

TEST_F(AliasCatalogTest, AliasNamesTheRemoteIdOrFailsWithInvalidContent) {
    // Ids as long as a value holds, and one byte longer: refused, never cut to another id.
    const std::string longest(ALIAS_VALUE_SIZE - 1, 'v'), longer(ALIAS_VALUE_SIZE, 'v');
    const std::string document = File("alias.json", R"({"game": "v42", "other": 7, "n": {"x": 1}, "full": ")" +
                                                         longest + R"(", "over": ")" + longer + R"("})");
    const std::string fullResult = "ok " + longest;
    struct Case {
        const char* key;
        const char* result;
    } cases[] = {
        {"game", "ok v42"},
        {"full", fullResult.c_str()},
        {"over", "976 "},
        {"missing", "976 "},
        {"other", "976 "}, // a number is no id
        {"n", "976 "},
    };
    for (const Case& c : cases) EXPECT_EQ(LoadAlias(document, c.key), c.result) << c.key;
    EXPECT_EQ(LoadAlias(File("list.json", "[1, 2]"), "game"), "976 ");
    EXPECT_NE(LoadAlias(File("bad.json", "{\"game\": "), "game").substr(0, 2), "ok");

    // Skipped counts as loaded and ok, and offers no value.
    Alias_SkipLoad(alias);
    EXPECT_EQ(Alias_IsLoadComplete(alias), 1);
    EXPECT_EQ(Alias_IsOk(alias), 1);
    char value[ALIAS_VALUE_SIZE] = "?";
    EXPECT_EQ(Alias_GetValue(alias, value, sizeof(value)), 0);
    EXPECT_STREQ(value, "");
}

TEST_F(AliasCatalogTest, CatalogNeedsIdAndMetafile) {
    struct Case {
        std::string document;
        std::string result;
    } cases[] = {
        {R"({"id": "v2", "metafile": "http://h/m.json", "config": {"requests": 4}})", "ok v2 http://h/m.json"},
        {R"({"id": "v2"})", "976  "},
        {R"({"metafile": "m.json"})", "976  "},
        {R"({"id": 2, "metafile": "m.json"})", "976  "},
        // An id or address that does not fit whole is refused, never cut to another.
        {R"({"id": ")" + std::string(CATALOG_ID_SIZE - 1, 'i') + R"(", "metafile": "m"})",
         "ok " + std::string(CATALOG_ID_SIZE - 1, 'i') + " m"},
        {R"({"id": ")" + std::string(CATALOG_ID_SIZE, 'i') + R"(", "metafile": "m"})", "976  "},
        {R"({"id": "v", "metafile": ")" + std::string(CATALOG_TEXT_SIZE - 1, 'm') + R"("})",
         "ok v " + std::string(CATALOG_TEXT_SIZE - 1, 'm')},
        {R"({"id": "v", "metafile": ")" + std::string(CATALOG_TEXT_SIZE, 'm') + R"("})", "976  "},
    };
    int n = 0;
    for (const Case& c : cases) EXPECT_EQ(LoadCatalog(File("c" + std::to_string(n++) + ".json", c.document)), c.result) << c.document;

    EXPECT_EQ(LoadCatalog(File("cfg.json", R"({"id": "a", "metafile": "b", "config": {"requests": 4}})")), "ok a b");
    Dictionary* config = nullptr;
    ASSERT_EQ(Catalog_GetConfigHandle(catalog, &config), 1);
    int32_t requests = 0;
    EXPECT_EQ(Dictionary_GetInt32ByKey(config, "requests", &requests), 1);
    EXPECT_EQ(requests, 4);
    EXPECT_EQ(LoadCatalog(File("nocfg.json", R"({"id": "a", "metafile": "b", "config": 3})")), "ok a b");
    EXPECT_EQ(Catalog_GetConfigHandle(catalog, &config), 0);

    // The delta flag is on after creation and after every reset.
    uint32_t delta = 0;
    Catalog_SetDelta(catalog, 0);
    Catalog_Reset(catalog);
    Catalog_GetDelta(catalog, &delta);
    EXPECT_EQ(delta, 1u);
    Catalog_SkipLoad(catalog);
    EXPECT_EQ(Catalog_IsOk(catalog), 1);
    char id[CATALOG_TEXT_SIZE] = "?";
    EXPECT_EQ(Catalog_GetId(catalog, id, sizeof(id)), 0);
    EXPECT_EQ(Catalog_GetDataDictionary(catalog, &config), 0);
}

TEST_F(AliasCatalogTest, MissingIsA404OrAMissingFile) {
    TempDir served;
    std::ofstream(served.file("catalog.json")) << R"({"id": "v", "metafile": "m"})";
    TlsServer server(served.path(), std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", "{port}",
                                                             "--bind", "127.0.0.1", "--directory", served.path()});
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    EXPECT_EQ(LoadCatalog(base + "catalog.json"), "ok v m");
    EXPECT_EQ(Catalog_IsMissing(catalog), 0);
    EXPECT_EQ(LoadCatalog(base + "nothing/catalog.json"), "404  ");
    EXPECT_EQ(Catalog_IsMissing(catalog), 1);
    EXPECT_EQ(LoadCatalog("file://" + dir.file("absent.json")).substr(0, 3), "964");
    EXPECT_EQ(Catalog_IsMissing(catalog), 1);
    // A document that is there but wrong is not missing.
    EXPECT_EQ(LoadCatalog(File("wrong.json", "{}")), "976  ");
    EXPECT_EQ(Catalog_IsMissing(catalog), 0);
}

} // namespace
