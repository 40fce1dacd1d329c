// Tests of the skin request handler through a recording sink: refusals, names that would leave
// the skin, byte ranges on directory and store skins, gzip of store entries (checked with gzip -d),
// freshness, and the bodies the opened entries then deliver.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <utime.h>

#include "skin/skin_file.h"
#include "skin/skin_file_internal.h"
#include "skin/skin_request_handler.h"
#include "tests/support/log_capture.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

// What a carrier was told. SetResponse answers 5 so that a passed-on result is told from a body's 1.
struct Record {
    std::map<std::string, std::string> request;
    std::vector<std::pair<std::string, std::string>> headers;
    int responses = 0;
    int32_t code = 0;
    int64_t offset = -1, length = -1;
    std::string path;
    bool dataStore = false;

    std::string Header(const std::string& name) const {
        for (const auto& [key, value] : headers)
            if (key == name) return value;
        return "<none>";
    }
};

int64_t GetRequestHeader(void* context, const char* name, char* buffer, int32_t capacity) {
    const auto& request = static_cast<Record*>(context)->request;
    const auto found = request.find(name);
    if (found == request.end() || (int32_t)found->second.size() >= capacity) return 0;
    memcpy(buffer, found->second.c_str(), found->second.size() + 1);
    return 1;
}
int64_t SetResponse(void* context, const char* path, int32_t code, int64_t offset, int64_t length) {
    auto* r = static_cast<Record*>(context);
    r->responses++;
    r->path = path;
    r->code = code;
    r->offset = offset;
    r->length = length;
    return 5;
}
int64_t SetResponseHeader(void* context, const char* name, const char* value) {
    static_cast<Record*>(context)->headers.emplace_back(name, value);
    return 1;
}
int64_t PutDataStore(void* context, uint8_t*) {
    static_cast<Record*>(context)->dataStore = true;
    return 1;
}

const SkinHandler kSink = {GetRequestHeader, SetResponse, SetResponseHeader, PutDataStore};
const SkinHandler kSinkWithoutStore = {GetRequestHeader, SetResponse, SetResponseHeader, nullptr};

struct Outcome {
    int64_t result = 0;
    Record record;
    std::string body; // what the left entry delivers from its position, up to the declared length
};

Outcome Get(const std::string& url, std::map<std::string, std::string> request = {}, int32_t gzip = 1,
            const SkinHandler* sink = &kSink) {
    Outcome out;
    out.record.request = std::move(request);
    SkinFile* file = nullptr;
    out.result = SkinHandler_GetResponse(url.c_str(), gzip, &out.record, sink, &file);
    if (out.result == 1 && file) {
        char buffer[4096];
        for (int guard = 0; guard < 10000 && (int64_t)out.body.size() < out.record.length; guard++) {
            uint32_t read = 0;
            const int64_t more = SkinFile_Read(file, buffer, sizeof(buffer), &read);
            out.body.append(buffer, read);
            if (!more) break;
        }
        if ((int64_t)out.body.size() > out.record.length) out.body.resize((size_t)out.record.length);
    }
    if (file) SkinFile_Delete(&file);
    return out;
}

std::string Sh(const std::string& command) {
    auto out = RunOracle(command, "");
    EXPECT_TRUE(out.has_value()) << command;
    return out.value_or("");
}

class SkinRequestHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SkinFile_Remove();
        skin = dir.file("skin");
        ASSERT_EQ(mkdir(skin.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((skin + "/sub").c_str(), 0700), 0);
        for (uint32_t i = 0, x = 3; i < 1000; i++) x = x * 1103515245 + 12345, data += char(x >> 23);
        for (int i = 0; i < 400; i++) text += "row " + std::to_string(i % 13) + " of the page\n";
        ASSERT_TRUE(WriteText(skin + "/data.bin", data) && WriteText(skin + "/page.txt", text) &&
                    WriteText(skin + "/empty.txt", "") && WriteText(skin + "/app.yaml", "name: x\n") &&
                    WriteText(skin + "/datastore.json", "{}") && WriteText(skin + "/{Skin}.txt", "braces") &&
                    WriteText(skin + "/sub/page.html", "<p>sub</p>") && WriteText(dir.file("secret.txt"), "secret"));
        const utimbuf times = {1700000000, 1700000000};
        ASSERT_EQ(utime((skin + "/data.bin").c_str(), &times), 0);
    }
    void TearDown() override { SkinFile_Remove(); }

    void AttachDirectory() { ASSERT_EQ(SkinFile_Attach(skin.c_str()), 1); }
    void AttachStore() {
        Sh("cd '" + skin + "' && zip -q -X -r ../skin.zip .");
        const std::string image = ReadFile(dir.file("skin.zip"));
        ASSERT_EQ(SkinFile_AttachImage(reinterpret_cast<const uint8_t*>(image.data()), (uint32_t)image.size(),
                                       dir.file("skin.zip").c_str()),
                  1);
    }

    TempDir dir;
    std::string skin, data, text;
};

TEST_F(SkinRequestHandlerTest, RefusesWithoutBodyOrFile) {
    AttachDirectory();
    const std::string longPath = "/" + std::string(400, 'a');
    const struct {
        const char* url;
        int32_t code;
    } cases[] = {
        {"", 404},
        {"/", 404},
        {"http://127.0.0.1:8080", 404},
        {"/APP.YAML", 403},
        {"/app.json", 403},
        {"/./App.yaml", 403},
        {"//app.yaml/", 403},
        {"/.", 404},
        {"/missing.txt", 404},
        {"/../secret.txt", 404},
        {"/sub/../../secret.txt", 404},
        {"http://127.0.0.1:8080/%2e%2e/secret.txt", 404},
        {"/sub/%2E%2E%2F..%2Fsecret.txt", 404},
        {"/DataStore.json", 404}, // never the file of that name
        {longPath.c_str(), 404},
    };
    for (const auto& c : cases) {
        const Outcome out = Get(c.url);
        EXPECT_EQ(out.result, 5) << c.url;
        EXPECT_EQ(out.record.responses, 1) << c.url;
        EXPECT_EQ(out.record.code, c.code) << c.url;
        EXPECT_EQ(out.record.length, 0) << c.url;
        EXPECT_TRUE(out.record.headers.empty()) << c.url;
    }
    // Without a store carrier, or with no data store in this program, the data store is a miss.
    EXPECT_EQ(Get("/datastore", {}, 1, &kSinkWithoutStore).record.code, 404);
    const Outcome store = Get("/datastore");
    EXPECT_EQ(store.record.code, 404);
    EXPECT_FALSE(store.record.dataStore);
}

TEST_F(SkinRequestHandlerTest, ServesFilesWithCachingHeadersAndLiteralNames) {
    AttachDirectory();
    const Outcome whole = Get("http://127.0.0.1:9/data.bin?v=2#top");
    EXPECT_EQ(whole.result, 1);
    EXPECT_EQ(whole.record.code, 200);
    EXPECT_EQ(whole.record.path, "/data.bin");
    EXPECT_EQ(whole.record.offset, 0);
    EXPECT_EQ(whole.record.length, 1000);
    EXPECT_EQ(whole.body, data);
    EXPECT_EQ(whole.record.Header("Last-Modified"), "Tue, 14 Nov 2023 22:13:20 GMT");
    EXPECT_EQ(whole.record.Header("Pragma"), "no-cache");
    EXPECT_EQ(whole.record.Header("Cache-Control"), "no-cache");
    EXPECT_NE(whole.record.Header("Expires").find(" GMT"), std::string::npos);
    EXPECT_EQ(whole.record.Header("Content-Range"), "<none>");

    EXPECT_EQ(Get("/{Skin}.txt").body, "braces");
    EXPECT_EQ(Get("/sub/page.html").body, "<p>sub</p>");
    EXPECT_EQ(Get("/sub//./page.html").body, "<p>sub</p>");

    const Outcome empty = Get("/empty.txt");
    EXPECT_EQ(empty.result, 5);
    EXPECT_EQ(empty.record.code, 200);
    EXPECT_EQ(empty.record.length, 0);
    EXPECT_TRUE(empty.record.headers.empty());
}

TEST_F(SkinRequestHandlerTest, NotModifiedFromTheEntrysTimeOn) {
    AttachDirectory();
    const struct {
        const char* since;
        int32_t code;
    } cases[] = {
        {"Tue, 14 Nov 2023 22:13:20 GMT", 304},
        {"Tue, 14 Nov 2023 22:13:21 GMT", 304},
        {"Tue, 14 Nov 2023 22:13:19 GMT", 200},
        {"not a date", 200},
    };
    for (const auto& c : cases) {
        const Outcome out = Get("/data.bin", {{"If-Modified-Since", c.since}});
        EXPECT_EQ(out.record.code, c.code) << c.since;
        EXPECT_EQ(out.result, c.code == 304 ? 5 : 1) << c.since;
    }
}

TEST_F(SkinRequestHandlerTest, RangesOnDirectoryAndStoreSkins) {
    const struct {
        const char* range;
        int32_t code;
        const char* contentRange;
        int64_t first, length;
    } cases[] = {
        {"bytes=0-", 206, "bytes 0-999/1000", 0, 1000},
        {"bytes=-100", 206, "bytes 900-999/1000", 900, 100},
        {"bytes=100-199", 206, "bytes 100-199/1000", 100, 100},
        {"bytes=-2000", 206, "bytes 0-999/1000", 0, 1000},
        {"bytes=999-999", 206, "bytes 999-999/1000", 999, 1},
        {"bytes=900-5000", 206, "bytes 900-999/1000", 900, 100},
        // One past the last byte: the whole file, not one byte more.
        {"bytes=0-1000", 206, "bytes 0-999/1000", 0, 1000},
        {"bytes=1000-", 416, "<none>", 0, 0},
        {"bytes=5000-6000", 416, "<none>", 0, 0},
        {"bytes=500-400", 416, "<none>", 0, 0},
        {"items=0-1", 416, "<none>", 0, 0},
    };
    for (const bool store : {false, true}) {
        SkinFile_Remove();
        if (store) AttachStore();
        else AttachDirectory();
        for (const auto& c : cases) {
            // A range wins over an accepted gzip.
            const Outcome out = Get("/data.bin", {{"Range", c.range}, {"Accept-Encoding", "gzip"}});
            const std::string where = std::string(c.range) + (store ? " (store)" : " (directory)");
            EXPECT_EQ(out.record.code, c.code) << where;
            EXPECT_EQ(out.record.Header("Content-Range"), c.contentRange) << where;
            EXPECT_EQ(out.record.Header("Content-Encoding"), "<none>") << where;
            EXPECT_EQ(out.record.length, c.length) << where;
            if (c.code != 206) continue;
            EXPECT_EQ(out.result, 1) << where;
            EXPECT_EQ(out.record.offset, c.first) << where;
            EXPECT_EQ(out.body, data.substr((size_t)c.first, (size_t)c.length)) << where;
        }
    }
}

TEST_F(SkinRequestHandlerTest, GzipOnlyForAcceptingRequestsToDeflatedStoreEntries) {
    AttachStore();
    const Outcome gz = Get("/page.txt", {{"Accept-Encoding", "deflate, GZIP"}});
    ASSERT_EQ(gz.result, 1);
    EXPECT_EQ(gz.record.code, 200);
    EXPECT_EQ(gz.record.Header("Content-Encoding"), "gzip");
    EXPECT_LT(gz.record.length, (int64_t)text.size());
    EXPECT_EQ((int64_t)gz.body.size(), gz.record.length);
    ASSERT_TRUE(WriteText(dir.file("page.gz"), gz.body));
    EXPECT_EQ(Sh("gzip -dc '" + dir.file("page.gz") + "'"), text);

    for (const auto& plain : {Get("/page.txt", {{"Accept-Encoding", "gzip"}}, 0), Get("/page.txt"),
                              Get("/page.txt", {{"Accept-Encoding", "br"}})}) {
        EXPECT_EQ(plain.record.Header("Content-Encoding"), "<none>");
        EXPECT_EQ(plain.body, text);
    }
    SkinFile_Remove();
    AttachDirectory();
    const Outcome disk = Get("/page.txt", {{"Accept-Encoding", "gzip"}});
    EXPECT_EQ(disk.record.Header("Content-Encoding"), "<none>");
    EXPECT_EQ(disk.body, text);
}

// A store may hold names that climb; a request never reaches them, raw or encoded.
TEST_F(SkinRequestHandlerTest, StoreNamesThatClimbAreNeverServed) {
    const std::string zip = dir.file("odd.zip");
    const auto made = RunOracle("/usr/bin/python3 - '" + zip + "'",
                                "import sys, zipfile\n"
                                "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                "    z.writestr('../evil.txt', 'evil')\n"
                                "    z.writestr('sub/../evil.txt', 'evil')\n"
                                "    z.writestr('ok.txt', 'ok')\n");
    ASSERT_TRUE(made.has_value());
    const std::string image = ReadFile(zip);
    ASSERT_EQ(SkinFile_AttachImage(reinterpret_cast<const uint8_t*>(image.data()), (uint32_t)image.size(), zip.c_str()),
              1);
    EXPECT_EQ(Get("/ok.txt").body, "ok");
    for (const char* url : {"/../evil.txt", "/sub/../evil.txt", "/%2E%2e/evil.txt", "/sub/%2e%2e%2fevil.txt"}) {
        const Outcome out = Get(url);
        EXPECT_EQ(out.record.code, 404) << url;
        EXPECT_EQ(out.result, 5) << url;
    }
}

} // namespace
