// The content manifest loaded through its document loader from files: generated manifests read
// back against Python's reading of them, defaults and cuts, the manifests it refuses and with which
// error, reloads, saving, and the unpadded piece lengths.
#include "repository/meta_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/certs/cert_store.h"
#include "core/crypto/hash.h"
#include "core/runtime/dictionary.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"
#include "repository/file_list.h"
#include "repository/padding.h"
#include "repository/digest_table.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "tests/support/oracle_process.h"
#include "tests/support/own_connections.h"
#include "tests/support/temp_dir.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

struct Result {
    uint32_t Code = 0, CodeEx = 0;
    bool Ok = false;
};

// One small manifest: files given as (name, size, pad or -1), a piece size and digests.
std::string Manifest(const std::vector<std::tuple<std::string, int64_t, int64_t>>& files, int pieces,
                     const std::string& extra = "", int pieceSize = 4) {
    std::ostringstream text;
    text << "{\"files\":[";
    for (size_t i = 0; i < files.size(); i++) {
        const auto& [name, size, pad] = files[i];
        text << (i ? "," : "") << "{\"name\":\"" << name << "\",\"size\":" << size;
        if (pad != -1) text << ",\"pad\":" << pad;
        text << "}";
    }
    text << "],\"pieces\":{\"size\":" << pieceSize << ",\"digests\":[";
    for (int i = 0; i < pieces; i++) text << (i ? "," : "") << "\"qZk+NkcGgWq6PiVxeFDCbJzQ2J0=\"";
    text << "]}" << extra << "}";
    return text.str();
}

// A link entry and a 4-byte file in one 4-byte piece, the file first when asked.
std::string Linked(const std::string& link, const std::string& file, bool fileFirst = false) {
    const std::string l = "{\"name\":\"" + link + "\",\"attr\":8,\"link\":\"t\"}";
    const std::string f = "{\"name\":\"" + file + "\",\"size\":4}";
    return "{\"files\":[" + (fileFirst ? f + "," + l : l + "," + f) +
           "],\"pieces\":{\"size\":4,\"digests\":[\"qZk+NkcGgWq6PiVxeFDCbJzQ2J0=\"]}}";
}

class MetaFileTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        ASSERT_EQ(AsyncHTTP_SetWebRequestHandler(own_connections::Add, own_connections::Remove), 1);
        CertStoreNull_Create(&store);
        trust = CertStoreNull_GetInterfaceHandle(store);
        ASSERT_EQ(MetaFile_Create(&manifest), 1);
        MetaFile_SetCertStoreHandle(manifest, trust);
    }
    void TearDown() override {
        MetaFile_Release(&manifest);
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
    Result LoadUrl(const std::string& url) {
        EXPECT_EQ(MetaFile_Load(manifest, url.c_str(), 0), 1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        do Pass();
        while (MetaFile_IsAlive(manifest) && std::chrono::steady_clock::now() < deadline);
        EXPECT_FALSE(MetaFile_IsAlive(manifest)) << "the load never finished";
        Result r;
        MetaFile_GetLastError(manifest, &r.Code, &r.CodeEx);
        r.Ok = MetaFile_IsOk(manifest) != 0;
        return r;
    }
    Result Load(const std::string& text) {
        const std::string path = dir.file("m" + std::to_string(++loads) + ".json");
        std::ofstream(path, std::ios::binary) << text;
        return LoadUrl("file://" + path);
    }
    uint32_t FileCount() {
        FileList* list = nullptr;
        uint32_t count = 0;
        MetaFile_GetFileListHandle(manifest, &list);
        FileList_GetCount(list, &count);
        return count;
    }
    // "name offset size padding" of every file, in order.
    std::vector<std::string> Files() {
        FileList* list = nullptr;
        MetaFile_GetFileListHandle(manifest, &list);
        std::vector<std::string> out;
        FileListMember* m = nullptr;
        for (FileList_MemberGetFirst(list, &m); m; FileList_MemberGetNext(list, m, &m)) {
            char name[256];
            uint64_t offset = 0, size = 0;
            int64_t pad = 0;
            FileList_MemberGetName(list, m, name, sizeof(name));
            FileList_MemberGetOffset(list, m, &offset);
            FileList_MemberGetSize(list, m, &size);
            FileList_MemberGetPadding(list, m, &pad);
            out.push_back(std::string(name) + " " + std::to_string(offset) + " " + std::to_string(size) + " " +
                          std::to_string(pad));
        }
        return out;
    }
    std::vector<uint32_t> Unpadded() {
        PieceList* pieces = nullptr;
        int32_t total = 0;
        MetaFile_GetPieceListHandle(manifest, &pieces);
        PieceList_GetPieceTotal(pieces, &total);
        std::vector<uint32_t> out;
        for (int32_t i = 0; i < total; i++) {
            uint32_t length = 0;
            MetFile_GetUnpaddedPieceLength(manifest, i, &length);
            out.push_back(length);
        }
        return out;
    }
    TempDir dir;
    int loads = 0;
    CertStoreNull* store = nullptr;
    CertStoreInterface* trust = nullptr;
    MetaFile* manifest = nullptr;
};

TEST_F(MetaFileTest, GeneratedManifestsReadAsPythonReadsThem) {
    for (const char* mode : {"own", "list"}) {
        SCOPED_TRACE(mode);
        const std::string path = dir.file(std::string("gen-") + mode + ".json");
        const auto expected = RunOracle(
            "/usr/bin/python3 " + WEBGET_TEST_SOURCE_DIR() + "/manifest_peer.py " + path + " " + mode, "");
        ASSERT_TRUE(expected.has_value());
        const Result r = LoadUrl("file://" + path);
        ASSERT_TRUE(r.Ok) << r.Code << "/" << r.CodeEx;
        std::vector<std::string> files, pieces;
        std::string total;
        std::istringstream lines(*expected);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("file ", 0) == 0) files.push_back(line.substr(5));
            if (line.rfind("piece ", 0) == 0) pieces.push_back(line.substr(6));
            if (line.rfind("total ", 0) == 0) total = line.substr(6);
        }
        EXPECT_EQ(Files(), files);
        FileListIndex* index = nullptr;
        FileList* list = nullptr;
        MetaFile_GetFileListIndexHandle(manifest, &index);
        MetaFile_GetFileListHandle(manifest, &list);
        uint64_t length = 0, padding = 0;
        FileList_IndexGetTotalLength(index, &length);
        FileList_IndexGetTotalPadding(index, &padding);
        EXPECT_EQ(std::to_string(length) + " " + std::to_string(padding), total);
        // Every file is found by its name (any case); by its first byte a file that starts there
        // (an empty one ahead of it, if any); a non-empty one by its last byte.
        for (const std::string& f : files) {
            std::istringstream parts(f);
            std::string name;
            uint64_t offset = 0, size = 0;
            parts >> name >> offset >> size;
            std::string upper = name;
            for (char& c : upper) c = (char)toupper((unsigned char)c);
            FileListMember* m = nullptr;
            uint64_t at = 1;
            EXPECT_EQ(FileList_IndexFindByName(index, upper.c_str(), &m, &at), 1) << name;
            EXPECT_EQ(at, offset) << name;
            ASSERT_EQ(FileList_IndexFindByOffset(index, offset, &m, &at), 1) << name;
            EXPECT_EQ(at, offset) << name;
            if (size == 0) continue;
            ASSERT_EQ(FileList_IndexFindByOffset(index, offset + size - 1, &m, &at), 1) << name;
            EXPECT_EQ(FileList_MemberGetNamePtr(list, m), name);
        }
        PieceList* pieceList = nullptr;
        MetaFile_GetPieceListHandle(manifest, &pieceList);
        const std::vector<uint32_t> unpadded = Unpadded();
        std::vector<std::string> got;
        for (size_t i = 0; i < unpadded.size(); i++) {
            char hex[41];
            PieceList_GetDigestStringByIndex(pieceList, (int32_t)i, hex, sizeof(hex));
            got.push_back(std::string(hex) + " " + std::to_string(unpadded[i]));
        }
        EXPECT_EQ(got, pieces);
        char id[64];
        EXPECT_EQ(MetaFile_GetId(manifest, id, sizeof(id)), 1);
        EXPECT_EQ(std::string(id), std::string("generated-") + mode);
        const HashInterface* algorithm = nullptr;
        ASSERT_EQ(MetaFile_GetAlgorithm(manifest, &algorithm), 1);
        EXPECT_STREQ(algorithm->Name, "SHA256");
        uint32_t writeAlign = 0;
        MetaFile_GetWriteAlign(manifest, &writeAlign);
        EXPECT_EQ(writeAlign, 1u);
        Padding* pad = nullptr;
        EXPECT_EQ(MetaFile_GetPaddingHandle(manifest, &pad), std::string(mode) == "list" ? 1 : 0);
    }
}

TEST_F(MetaFileTest, DefaultsAndCuts) {
    const std::string id(200, 'i');
    const std::string algorithm(400, 'a');
    ASSERT_TRUE(Load("{\"Files\":[{\"name\":\"x\",\"size\":4194304}],\"pieces\":{\"digests\":"
                     "[\"qZk+NkcGgWq6PiVxeFDCbJzQ2J0=\"]},\"ID\":\"" + id + "\",\"writeAlign\":\"yes\"}")
                    .Ok);
    char buffer[300];
    ASSERT_EQ(MetaFile_GetId(manifest, buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), id.substr(0, 133));
    PieceList* pieces = nullptr;
    MetaFile_GetPieceListHandle(manifest, &pieces);
    uint32_t length = 0, hashPadding = 0, writeAlign = 1;
    PieceList_GetPieceLength(pieces, &length);
    PieceList_GetHashPadding(pieces, &hashPadding);
    MetaFile_GetWriteAlign(manifest, &writeAlign);
    EXPECT_EQ(length, 4194304u);
    EXPECT_EQ(PieceList_GetEndOffset(pieces, 0), 4194303u);
    EXPECT_EQ(hashPadding, 1u);
    EXPECT_EQ(writeAlign, 0u);
    const HashInterface* record = nullptr;
    ASSERT_EQ(MetaFile_GetAlgorithm(manifest, &record), 1);
    EXPECT_STREQ(record->Name, "SHA1");
    EXPECT_EQ(Unpadded(), std::vector<uint32_t>{4194304});
    Dictionary* dump = nullptr;
    Dictionary_Create(&dump);
    MetaFile_Dump(manifest, dump);
    int64_t total = 0;
    EXPECT_EQ(Dictionary_GetInt64ByKey(dump, "totalLength", &total), 1);
    EXPECT_EQ(total, 4194304);
    Dictionary_Release(&dump);
    ASSERT_TRUE(Load("{\"algorithm\":\"" + algorithm + "\"}").Ok);
    EXPECT_EQ(MetaFile_GetAlgorithm(manifest, &record), 0);
    EXPECT_EQ(MetaFile_GetId(manifest, buffer, sizeof(buffer)), 0);
}

TEST_F(MetaFileTest, UnpaddedLengthsFollowThePadRanges) {
    // Pieces of 4: "a" 0..5, ranges 6..9 and 10..10, "b" 11..12, range 13..15.
    ASSERT_TRUE(Load(Manifest({{"a", 6, -1}, {"b", 2, -1}}, 4,
                              ",\"pad\":[{\"offset\":6,\"size\":4},{\"offset\":10,\"size\":1},"
                              "{\"offset\":13,\"size\":3}]"))
                    .Ok);
    EXPECT_EQ(Unpadded(), (std::vector<uint32_t>{4, 2, 1, 1}));
    EXPECT_EQ(Files(), (std::vector<std::string>{"a 0 6 5", "b 11 2 3"}));
}

TEST_F(MetaFileTest, UnpaddedLengthsAreTheFileBytesOfEachPiece) {
    using Files = std::vector<std::tuple<std::string, int64_t, int64_t>>;
    struct Case {
        const char* Name;
        Files List;
        int Pieces;
        std::string Extra;
        std::vector<uint32_t> Lengths;
    } cases[] = {
        // "a" 0..5, own pad 6..7, "b" 8..10, own pad 11.
        {"own pad", {{"a", 6, 2}, {"b", 3, 1}}, 3, "", {4, 2, 3}},
        // An empty file between; the last file's pad runs past the last piece.
        {"own pad, empty file", {{"a", 9, 3}, {"e", 0, 0}, {"b", 1, 5}}, 4, "", {4, 4, 1, 1}},
        // "a" 0..2, range 3, "b" 4..8, range 9..11.
        {"pad ranges", {{"a", 3, -1}, {"b", 5, -1}}, 3,
         ",\"pad\":[{\"offset\":3,\"size\":1},{\"offset\":9,\"size\":3}]", {3, 4, 1}},
        // "a" 0..4, range 5..6, "b" 7..8, range 9: the stream ends inside the last piece.
        {"last piece partial", {{"a", 5, -1}, {"b", 2, -1}}, 3,
         ",\"pad\":[{\"offset\":5,\"size\":2},{\"offset\":9,\"size\":1}]", {4, 2, 1}},
        {"no padding", {{"a", 5, -1}, {"b", 3, -1}}, 2, "", {4, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(Load(Manifest(c.List, c.Pieces, c.Extra)).Ok);
        const std::vector<uint32_t> lengths = Unpadded();
        EXPECT_EQ(lengths, c.Lengths);
        FileListIndex* index = nullptr;
        MetaFile_GetFileListIndexHandle(manifest, &index);
        uint64_t total = 0, sum = 0;
        FileList_IndexGetTotalLength(index, &total);
        for (uint32_t length : lengths) sum += length;
        EXPECT_EQ(sum, total);
    }
}

TEST_F(MetaFileTest, RefusedManifests) {
    const struct {
        const char* What;
        std::string Text;
        uint32_t Code, CodeEx;
    } cases[] = {
        {"sound", Manifest({{"a", 6, 2}, {"e", 0, -1}}, 2), 0, 0},
        {"piece past the stream", Manifest({{"a", 4, 0}}, 2), 976, 0},
        {"piece not filled", Manifest({{"a", 6, 1}}, 2), 976, 0},
        {"file past the last piece", Manifest({{"a", 4, 0}, {"b", 1, 3}}, 1), 976, 0},
        {"file without pieces", Manifest({{"a", 1, 3}}, 0), 976, 0},
        {"negative padding", Manifest({{"a", 4, -4}, {"b", 4, 0}}, 1), 976, 0},
        {"padding past 2^31 - 1", Manifest({{"a", 4, 2147483648}}, 1), 976, 0},
        {"piece size 0", Manifest({{"a", 4, 0}}, 1, "", 0), 976, 0},
        {"ranges out of order",
         Manifest({{"a", 2, -1}}, 1, ",\"pad\":[{\"offset\":3,\"size\":1},{\"offset\":2,\"size\":1}]"), 976, 0},
        {"range past 2^31 - 1", Manifest({{"a", 2, -1}}, 1, ",\"pad\":[{\"offset\":2,\"size\":-2}]"), 976, 0},
        {"no range after a file", Manifest({{"a", 2, -1}, {"b", 2, -1}}, 1, ",\"pad\":[{\"offset\":0,\"size\":2}]"),
         976, 0},
        {"file without a name", "{\"files\":[{\"size\":0}]}", 976, 0},
        {"one whole piece past the padded stream",
         Manifest({{"a", 4, -1}}, 3, ",\"pad\":[{\"offset\":4,\"size\":4}]"), 976, 0},
        {"padded stream filled", Manifest({{"a", 4, -1}}, 2, ",\"pad\":[{\"offset\":4,\"size\":4}]"), 0, 0},
        {"one name twice", Manifest({{"a", 4, 0}, {"a", 4, 0}}, 2), 976, 0},
        {"one path in two spellings", Manifest({{"d/a", 4, 0}, {"d//./a", 4, 0}}, 2), 976, 0},
        {"names equal once cut at NUL", Manifest({{"a\\u0000x", 4, 0}, {"a", 4, 0}}, 2), 976, 0},
        {"names that differ in case", Manifest({{"a", 4, 0}, {"A", 4, 0}}, 2), 0, 0},
        {"file below a link", Linked("l", "l/x.txt"), 976, 0},
        {"file below a link listed first", Linked("l", "l/x.txt", true), 976, 0},
        {"file deep below a link", Linked("l", "./l/d/x.txt"), 976, 0},
        {"file beside a link", Linked("l", "lx/l"), 0, 0},
        {"digests of two lengths",
         "{\"pieces\":{\"digests\":[\"qZk+NkcGgWq6PiVxeFDCbJzQ2J0=\",\"AAECAwQFBgcICQoLDA0ODxAREg==\"]}}", 987, 11},
        {"digest of 66 bytes", "{\"pieces\":{\"digests\":[\"" + std::string(88, 'A') + "\"]}}", 987, 11},
        {"truncated", Manifest({{"a", 4, 0}}, 1).substr(0, 30), 987, 0},
    };
    for (const auto& c : cases) {
        const Result r = Load(c.Text);
        EXPECT_EQ(r.Code, c.Code) << c.What;
        if (c.CodeEx) {
            EXPECT_EQ(r.CodeEx, c.CodeEx) << c.What;
        }
    }
    MetaFile_SetLimitSize(manifest, 20);
    EXPECT_EQ(Load(Manifest({{"a", 4, 0}}, 1)).Code, 959u);
}

TEST_F(MetaFileTest, NamesAnInstallationCannotActOnAreRefusedWhereAsked) {
    const struct {
        std::string Names[2];
        const char* Printed; // the line naming the entry; empty for a sound manifest
    } cases[] = {
        {{"a", "d/b"}, ""},
        {{"a", "a.quarvpartial"}, "File name refused, reserved for the installation's copies (a.quarvpartial)"},
        {{"a", "d/a.quarvpartial~"}, "File name refused, reserved for the installation's copies (d/a.quarvpartial~)"},
        {{"a", "a.part"}, "File name refused, reserved for the installation's copies (a.part)"},
        {{"a", "a.quarvpartial.txt"}, ""},
        // A folder under a copy's name would take the place of that file's copy.
        {{"a", "a.quarvpartial/x"}, "File name refused, reserved for the installation's copies (a.quarvpartial/x)"},
        {{"a", "a.quarvpartial~/x"}, "File name refused, reserved for the installation's copies (a.quarvpartial~/x)"},
        {{"a", "d/b.quarvpartial/c/x"},
         "File name refused, reserved for the installation's copies (d/b.quarvpartial/c/x)"},
        {{"a", "../x"}, "File name refused, empty, \".\" or \"..\" component (../x)"},
        {{"a", "d/./x"}, "File name refused, empty, \".\" or \"..\" component (d/./x)"},
        {{"a", "."}, "File name refused, empty, \".\" or \"..\" component (.)"},
        {{"a", "d//x"}, "File name refused, empty, \".\" or \"..\" component (d//x)"},
        {{"a", "d/"}, "File name refused, empty, \".\" or \"..\" component (d/)"},
        {{"a", "/etc/x"}, "File name refused, absolute (/etc/x)"},
        {{"a", "d\\\\x"}, "File name refused, backslash (d\\x)"},
        {{"a", ""}, "File name refused, empty or too long ()"},
        {{"x", "x/y"}, "File name refused, a file is also a folder (x) (x/y)"},
        {{"x/y/z", "x/y"}, "File name refused, a file is also a folder (x/y) (x/y/z)"},
    };
    const std::string digest = "\"qZk+NkcGgWq6PiVxeFDCbJzQ2J0=\"";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Names[0] + " " + c.Names[1]);
        const std::string text = "{\"files\":[{\"name\":\"" + c.Names[0] + "\",\"size\":2},{\"name\":\"" +
                                 c.Names[1] + "\",\"size\":2}],\"pieces\":{\"size\":4,\"digests\":[" + digest + "]}}";
        // Off by default: the storages hold each name to their rule as they act on it.
        MetaFile_SetNameCheck(manifest, 0, nullptr);
        EXPECT_EQ(Load(text).Code, 0u);
        const bool custom = c.Names[1] == "a.part";
        MetaFile_SetNameCheck(manifest, 1, custom ? ".part" : ".quarvpartial");
        LogCapture log;
        const Result r = Load(text);
        EXPECT_EQ(r.Code, c.Printed[0] ? 976u : 0u);
        if (c.Printed[0]) {
            EXPECT_NE(log.Text().find(c.Printed), std::string::npos) << log.Text();
        }
    }
}

TEST_F(MetaFileTest, EveryLoadStartsFromEmptyTables) {
    const std::string good = Manifest({{"a", 4, 0}, {"b", 3, 1}}, 2);
    ASSERT_TRUE(Load(good).Ok);
    const std::vector<std::string> first = Files();
    // Files scanned before the digest that stops the load.
    EXPECT_EQ(Load("{\"files\":[{\"name\":\"x\",\"size\":1},{\"name\":\"y\"}],\"pieces\":{\"digests\":[\"#\"]}}").Code,
              987u);
    ASSERT_TRUE(Load(good).Ok);
    EXPECT_EQ(Files(), first);
    EXPECT_EQ(Unpadded(), (std::vector<uint32_t>{4, 3}));
    MetaFile_Reset(manifest);
    EXPECT_EQ(FileCount(), 0u);
}

TEST_F(MetaFileTest, MissingLocalManifestIsFine) {
    const Result r = LoadUrl("file://" + dir.file("absent.json"));
    EXPECT_EQ(r.Code, 964u);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(MetaFile_IsOkLocal(manifest), 1);
    Load("{\"files\":");
    EXPECT_EQ(MetaFile_IsOkLocal(manifest), 0);
}

TEST_F(MetaFileTest, SaveWritesTheReceivedDocument) {
    const std::string text = Manifest({{"a", 4, 0}}, 1);
    MetaFile_SetKeepOriginal(manifest, 1);
    ASSERT_TRUE(Load(text).Ok);
    ASSERT_EQ(MetaFile_SetHashAlgorithm(manifest, "SHA256"), 1);
    const std::string path = dir.file("saved.json");
    ASSERT_EQ(MetaFile_Save(manifest, path.c_str()), 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!MetaFile_IsSaveComplete(manifest) && std::chrono::steady_clock::now() < deadline) Pass();
    ASSERT_TRUE(MetaFile_IsOk(manifest));
    EXPECT_EQ(ReadFile(path), text);
    char digest[80], expected[80];
    MetaFile_GetDigest(manifest, digest, sizeof(digest));
    const HashInterface* sha256 = nullptr;
    Hash_InterfaceFromName("SHA256", &sha256);
    Hash_QuickString(sha256, text.data(), (int32_t)text.size(), 0, expected, sizeof(expected));
    EXPECT_STREQ(digest, expected);

    // Without the received bytes there is nothing to write: the tables are never written back.
    MetaFile_Release(&manifest);
    ASSERT_EQ(MetaFile_Create(&manifest), 1);
    MetaFile_SetCertStoreHandle(manifest, trust);
    ASSERT_TRUE(Load(text).Ok);
    ASSERT_EQ(MetaFile_Save(manifest, dir.file("other.json").c_str()), 1);
    while (MetaFile_IsAlive(manifest) && std::chrono::steady_clock::now() < deadline) Pass();
    uint32_t code = 0, codeEx = 0;
    MetaFile_GetLastError(manifest, &code, &codeEx);
    EXPECT_EQ(code, 962u);
}

TEST_F(MetaFileTest, UnpaddedLengthIndexOutOfRangeStops) {
    ASSERT_TRUE(Load(Manifest({{"a", 4, 0}}, 1)).Ok);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            uint32_t length = 0;
            MetFile_GetUnpaddedPieceLength(manifest, 1, &length);
        },
        AbortRegex("Assertion failed (Index >= 0 && Index < MetaFile->PieceLengthArraySize)\nIndex out of range (1)"));
}

} // namespace
