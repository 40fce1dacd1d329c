#include "repository/storage_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/crypto/sha1.h"
#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/platform/async_file.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "repository/file_list.h"
#include "repository/linux/storage_file_os.h"
#include "repository/meta_file.h"
#include "repository/digest_table.h"
#include "repository/storage.h"
#include "repository/storage_cleanup.h"
#include "repository/storage_file_path.h"
#include "repository/storage_request.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"

namespace {

void Runtime() {
    static const bool up = Thread_Init() == 1 && Meter_Init() == 1 && EventQueue_Init() == 1 &&
                           IOWorker_Init() == 1 && AsyncFile_Init() == 1;
    ASSERT_TRUE(up);
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Spit(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

bool OnDisk(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

int Shell(const std::string& command) {
    return system(command.c_str());
}

// "<device>:<inode>:<proof>" of the file at path, as the record of copies names a file.
std::string Identity(const std::string& path) {
    const size_t slash = path.rfind('/');
    const int folder = open(path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    StorageFileOSStatus status{};
    StorageFileOS_Status(folder, path.c_str() + slash + 1, &status);
    close(folder);
    return std::to_string(status.Device) + ":" + std::to_string(status.Inode) + ":" +
           std::to_string(StorageFileOS_ProofOf(status));
}

// Writes a record at path whose first entry is `head` ("" for none; "self" the file's own
// identity, "reborn" its device and inode with another proof), the rest `entries`; mode 0600.
void PlantRecord(const std::string& path, const std::string& head, const std::string& entries) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path;
    StorageFileOSStatus status{};
    ASSERT_EQ(StorageFileOS_StatusOf(fd, &status), 0);
    if (!status.Birth) StorageFileOS_Mark(fd, &status);
    const std::string self = std::to_string(status.Device) + ":" + std::to_string(status.Inode) + ":" +
                             std::to_string(StorageFileOS_ProofOf(status));
    const std::string reborn = std::to_string(status.Device) + ":" + std::to_string(status.Inode) + ":" +
                               std::to_string(StorageFileOS_ProofOf(status) + 1);
    const std::string bytes = (head.empty() ? ""
                                            : "record:" +
                                                  (head == "self"     ? self
                                                   : head == "reborn" ? reborn
                                                                      : head) +
                                                  '\0') +
                              entries;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    close(fd);
}

std::string Digest64(const std::string& bytes) {
    SHA1* sha = nullptr;
    SHA1_Create(&sha);
    SHA1_Process(sha, bytes.data(), (uint32_t)bytes.size());
    SHA1_Generate(sha);
    uint8_t digest[20];
    SHA1_GetDigest(sha, digest, 20);
    SHA1_Release(&sha);
    char text[64];
    uint32_t written = 0;
    Base64_Encode(digest, 20, text, (int32_t)sizeof(text), &written);
    return std::string(text, written);
}

// A manifest of sixteen-byte pieces over files each padded to a piece boundary; `extra` adds
// fields to a file's record, link entries have no data.
struct File {
    std::string name, data, extra;
    File(const char* n, const char* d, const char* e = "") : name(n), data(d), extra(e) {}
};

struct Manifest {
    MetaFile* meta = nullptr;
    std::string stream; // the padded byte stream
    uint32_t size;
    explicit Manifest(const std::vector<File>& files, const char* id = "abc", uint32_t pieceSize = 16,
                      bool padded = true)
        : size(pieceSize) {
        std::string list, digests;
        for (const File& f : files) {
            const size_t pad = padded ? (size - f.data.size() % size) % size : 0;
            list += std::string(list.empty() ? "" : ",") + R"({"name":")" + f.name + R"(","size":)" +
                    std::to_string(f.data.size()) + R"(,"pad":)" + std::to_string(pad) + f.extra + "}";
            stream += f.data + std::string(pad, '\0');
        }
        for (size_t at = 0; at < stream.size(); at += size)
            digests += std::string(digests.empty() ? "" : ",") + "\"" + Digest64(stream.substr(at, size)) + "\"";
        const std::string text = R"({"id":")" + std::string(id) + R"(","files":[)" + list +
                                 R"(],"pieces":{"size":)" + std::to_string(size) + R"(,"digests":[)" + digests + "]}}";
        MetaFile_Create(&meta);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetValueCallback(json, meta, MetaFile_ValueCallback);
        EXPECT_EQ(JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()), 1) << text;
        JSON_Release(&json);
        uint32_t code = 0, codeEx = 0;
        EXPECT_EQ(MetaFile_WorkerBuild(nullptr, meta, &code, &codeEx), 1) << text;
    }
    ~Manifest() { MetaFile_Release(&meta); }
    FileListMember* Record(const std::string& name) {
        FileList* list = nullptr;
        MetaFile_GetFileListHandle(meta, &list);
        FileListMember* m = nullptr;
        for (FileList_MemberGetFirst(list, &m); m;) {
            if (FileList_MemberGetNamePtr(list, m) == name) return m;
            FileListMember* next = nullptr;
            FileList_MemberGetNext(list, m, &next);
            m = next;
        }
        return nullptr;
    }
};

// Two versions of "a.txt" of two pieces each, the first with "gone" beside it.
struct TwoVersions {
    const std::string old = "ABCDEFGHIJKLMNOP0123456789abcdef", now = "abcdefghijklmnop0123456789abcdef";
    Manifest v1{std::vector<File>{{"a.txt", old.c_str()}, {"gone", "x"}}};
    Manifest v2{std::vector<File>{{"a.txt", now.c_str()}}};
};

struct Request {
    StorageRequest* request = nullptr;
    Request(Manifest& manifest, int32_t first, int32_t last, bool fill) {
        StorageRequest_Create(&request);
        StorageRequest_SetMetaFileHandle(request, manifest.meta);
        for (int32_t i = first; i <= last; i++) EXPECT_EQ(StorageRequest_IndexAdd(request, i), 1);
        StorageRequest_Alloc(request);
        if (fill) {
            uint8_t* p = nullptr;
            StorageRequest_GetPointer(request, &p);
            const size_t length = (size_t)(last - first + 1) * manifest.size;
            memcpy(p, manifest.stream.data() + (size_t)first * manifest.size, length);
            StorageRequest_ReleasePointer(request, &p);
            StorageRequest_SetContentLength(request, (uint32_t)length);
        }
    }
    ~Request() { StorageRequest_Release(&request); }
    std::string Bytes(size_t length) {
        uint8_t* p = nullptr;
        StorageRequest_GetPointer(request, &p);
        std::string out(reinterpret_cast<char*>(p), length);
        StorageRequest_ReleasePointer(request, &p);
        return out;
    }
};

struct Result {
    std::atomic<bool> done{false};
    uint32_t code = 0xffffffff, extended = 0;
};

void OnDone(Storage*, void* user, void*, uint32_t code, uint32_t extended) {
    Result* r = static_cast<Result*>(user);
    r->code = code;
    r->extended = extended;
    r->done = true;
}

// Runs the queued completions until the operation has ended; a bounded wait, never a hang.
uint32_t Wait(Result& r) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!r.done && std::chrono::steady_clock::now() < deadline) {
        EventQueue_Flush(nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(r.done) << "operation never completed";
    return r.code;
}

class StorageFileTest : public ::testing::Test {
  protected:
    std::string root, outside;
    Storage* storage = nullptr;

    void SetUp() override {
        Runtime();
        char pattern[] = "/tmp/storage_file_XXXXXX";
        const std::string base = mkdtemp(pattern);
        root = base + "/root/";
        outside = base + "/outside/";
        ASSERT_EQ(Shell("mkdir -p " + root + " " + outside), 0);
        Spit(outside + "secret", "keep");
    }
    void TearDown() override {
        Release();
        Shell("umount " + root + "small 2>/dev/null");
        Shell("chattr -R -i " + root + " 2>/dev/null");
        Shell("rm -rf " + root.substr(0, root.size() - 6));
    }
    // The end of a completed sync: the recorded copies the manifest does not explain go.
    int64_t Sweep(MetaFile* installed) {
        // Each call works a bounded time, so a busy machine needs more of them.
        int64_t swept = -1;
        StepUntil([&] { return swept >= 0; }, [&] { swept = StorageCleanup_RemoveStrayCopies(storage, installed); });
        return swept;
    }
    void Release() {
        if (storage) {
            Storage_Shutdown(storage);
            Storage_Release(&storage);
        }
    }
    // Answers Configure's result; the storage is kept for the operations. Settings are string
    // keys, and "false" makes a boolean.
    int64_t Configure(const std::string& type, const std::vector<std::pair<std::string, std::string>>& keys = {},
                      uint32_t* outFlags = nullptr, Dictionary* engine = nullptr) {
        Release();
        Storage_Create(&storage);
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        Dictionary_SetStringByKey(d, "type", type.c_str());
        Dictionary_SetStringByKey(d, "path", root.c_str());
        for (const auto& [key, value] : keys) {
            if (value == "false") Dictionary_SetBooleanByKey(d, key.c_str(), 0);
            else Dictionary_SetStringByKey(d, key.c_str(), value.c_str());
        }
        const int64_t ok = Storage_Configure(storage, engine, d, outFlags);
        Dictionary_Release(&d);
        return ok;
    }
    uint32_t Put(Manifest& m, int32_t first, int32_t last) {
        Request r(m, first, last, true);
        Result result;
        Storage_Put(storage, r.request, &result, OnDone);
        return Wait(result);
    }
    uint32_t Get(Manifest& m, int32_t first, int32_t last, std::string* bytes = nullptr) {
        Request r(m, first, last, false);
        Result result;
        Storage_Get(storage, r.request, nullptr, &result, OnDone);
        Wait(result);
        if (bytes) *bytes = r.Bytes((size_t)(last - first + 1) * m.size);
        return result.code;
    }
    uint32_t Exists(Manifest& m, int32_t index) {
        Request r(m, index, index, false);
        Result result;
        Storage_Exists(storage, r.request, &result, OnDone);
        return Wait(result);
    }
    uint32_t Complete(Manifest& m, const std::string& name) {
        Request r(m, 0, 0, false);
        Result result;
        Storage_FileComplete(storage, r.request, m.Record(name), &result, OnDone);
        return Wait(result);
    }
    uint32_t Erase(Manifest& m, const std::string& name) {
        Result result;
        Storage_FileErase(storage, m.meta, m.Record(name), &result, OnDone);
        return Wait(result);
    }
    // A fresh folder with the first version installed: all its pieces put, "a.txt" completed.
    void InstallFirst(TwoVersions& versions) {
        Shell("rm -rf " + root + " && mkdir -p " + root);
        ASSERT_EQ(Configure("file"), 1);
        ASSERT_EQ(Put(versions.v1, 0, 2), 0u);
        ASSERT_EQ(Complete(versions.v1, "a.txt"), 0u);
    }
};

TEST_F(StorageFileTest, ConfigurationAndDump) {
    uint32_t flags = 7;
    EXPECT_EQ(Configure("file", {{"systemBuffer", "false"}}, &flags), 1);
    EXPECT_EQ(flags, 1u); // an empty directory
    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    Storage_Dump(storage, d);
    int32_t extra = 0, open = -1;
    char text[400];
    Dictionary_GetInt32ByKey(d, "extraFileFlags", &extra);
    Dictionary_GetInt32ByKey(d, "openFiles", &open);
    EXPECT_EQ(extra, 0x100);
    EXPECT_EQ(open, 0);
    Dictionary_GetStringByKey(d, "partialExtension", text, (int32_t)sizeof(text));
    EXPECT_STREQ(text, ".quarvpartial");
    Dictionary_GetStringByKey(d, "outputPath", text, (int32_t)sizeof(text));
    EXPECT_EQ(std::string(text), root);
    // By default beside the program: its directory with "_lock" added.
    Dictionary_GetStringByKey(d, "lockDirectory", text, (int32_t)sizeof(text));
    char program[400] = {0};
    ASSERT_GT(readlink("/proc/self/exe", program, sizeof(program) - 1), 0);
    *strrchr(program, '/') = 0;
    EXPECT_EQ(std::string(text), std::string(program) + "/_lock/");
    Dictionary_Release(&d);
    Storage_GetIdentifier(storage, text, (int32_t)sizeof(text));
    EXPECT_EQ(std::string(text), root);

    // The engine's configuration supplies what the storage's own leaves out.
    Spit(root + "x", "1");
    Dictionary* engine = nullptr;
    Dictionary_Create(&engine);
    Dictionary_SetStringByPath(engine, "storage.partialExtension", ".part");
    Dictionary_SetBooleanByPath(engine, "storage.systemBuffer", 0);
    EXPECT_EQ(Configure("file", {}, &flags, engine), 1);
    Dictionary_Release(&engine);
    EXPECT_EQ(flags, 0u);
    Dictionary_Create(&d);
    Storage_Dump(storage, d);
    Dictionary_GetStringByKey(d, "partialExtension", text, (int32_t)sizeof(text));
    EXPECT_STREQ(text, ".part");
    Dictionary_GetInt32ByKey(d, "extraFileFlags", &extra);
    EXPECT_EQ(extra, 0x100);
    Dictionary_Release(&d);
    // Without "path" the storage cannot work.
    Release();
    Storage_Create(&storage);
    Dictionary_Create(&d);
    Dictionary_SetStringByKey(d, "type", "file");
    EXPECT_EQ(Storage_Configure(storage, nullptr, d, nullptr), 0);
    Dictionary_Release(&d);
}

TEST_F(StorageFileTest, PiecesWrittenInPlaceCarryThePartialSuffixUntilComplete) {
    Manifest m({{"a", "0123456789"}, {"sub/b", "abcdefghijklmnopqrst", R"(,"mtime":1000000000,"attr":4)"}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(m, 0, 1), 0u);
    // a lies within piece 0 and is complete; b waits for its last piece.
    EXPECT_EQ(Slurp(root + "a"), "0123456789");
    EXPECT_FALSE(OnDisk(root + "sub/b"));
    EXPECT_EQ(Slurp(root + "sub/b.quarvpartial"), "abcdefghijklmnop");
    ASSERT_EQ(Put(m, 2, 2), 0u);
    EXPECT_EQ(Complete(m, "sub/b"), 0u);
    const std::string expect = root + "../expect/";
    ASSERT_EQ(Shell("mkdir -p " + expect + "sub"), 0);
    Spit(expect + "a", "0123456789");
    Spit(expect + "sub/b", "abcdefghijklmnopqrst");
    EXPECT_EQ(Shell("cmp -s " + root + "sub/b " + expect + "sub/b"), 0);
    // Once the sync has ended, no copy and no record of one is left either.
    EXPECT_EQ(Sweep(m.meta), 1);
    EXPECT_EQ(Shell("diff -r " + expect + " " + root), 0);
    struct stat info;
    ASSERT_EQ(stat((root + "sub/b").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, 1000000000);
    EXPECT_EQ(info.st_mode & 0111, 0111u);
    EXPECT_EQ(info.st_mode & 0666, 0600u);
    // Read back, padded and verified.
    std::string bytes;
    EXPECT_EQ(Get(m, 0, 2, &bytes), 0u);
    EXPECT_EQ(bytes, m.stream);
    EXPECT_EQ(Exists(m, 2), 0u);
    // Completing again, now in a new storage, leaves the matching file untouched.
    ASSERT_EQ(Configure("file"), 1);
    const ino_t inode = info.st_ino;
    EXPECT_EQ(Complete(m, "sub/b"), 0u);
    ASSERT_EQ(stat((root + "sub/b").c_str(), &info), 0);
    EXPECT_EQ(info.st_ino, inode);
    EXPECT_EQ(info.st_mtime, 1000000000);
}

TEST_F(StorageFileTest, AnUpdateKeepsTheInstalledFileWholeUntilItsCompletion) {
    const std::string shared = "0123456789abcdef";
    const std::string old = "ABCDEFGHIJKLMNOP" + shared + "xyz", now = "abcdefghijklmnop" + shared + "XY";
    Manifest v1(std::vector<File>{{"b", old.c_str(), R"(,"attr":4)"}});
    Manifest v2(std::vector<File>{{"b", now.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 2), 0u);
    ASSERT_EQ(Complete(v1, "b"), 0u);
    ASSERT_EQ(Slurp(root + "b"), old);
    // The first changed piece goes into a copy beside the installed file, which stays as it was.
    ASSERT_EQ(Put(v2, 0, 0), 0u);
    EXPECT_EQ(Slurp(root + "b"), old);
    EXPECT_EQ(Slurp(root + "b.quarvpartial"), "abcdefghijklmnop" + shared + "xyz");
    struct stat info, copied;
    ASSERT_EQ(stat((root + "b").c_str(), &info), 0);
    ASSERT_EQ(stat((root + "b.quarvpartial").c_str(), &copied), 0);
    // The copy is private while it is written; the replaced file's permissions come at the end.
    EXPECT_EQ(copied.st_mode & 0777, 0600u);
    const mode_t installedMode = info.st_mode & 0777;
    // As after a kill: a new storage reads what was written (and the shared piece copied), and
    // counts nothing as present by the installed file's name alone. A read for the old version
    // finds a replaced piece changed.
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Get(v2, 0, 1), 0u);
    EXPECT_EQ(Exists(v2, 1), (uint32_t)STORAGE_NOT_FOUND);
    EXPECT_EQ(Get(v1, 0, 0), (uint32_t)STORAGE_ERROR_HASH_FAILURE);
    ASSERT_EQ(Put(v2, 2, 2), 0u);
    EXPECT_EQ(Complete(v2, "b"), 0u);
    EXPECT_EQ(Slurp(root + "b"), now);
    EXPECT_FALSE(OnDisk(root + "b.quarvpartial"));
    EXPECT_FALSE(OnDisk(root + "b.quarvpartial~"));
    ASSERT_EQ(stat((root + "b").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, installedMode);
    // Only a newer time is set on the installed file itself: no copy, the same file.
    Manifest v3(std::vector<File>{{"b", now.c_str(), R"(,"mtime":1000000000)"}});
    ASSERT_EQ(stat((root + "b").c_str(), &info), 0);
    const ino_t inode = info.st_ino;
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Complete(v3, "b"), 0u);
    ASSERT_EQ(stat((root + "b").c_str(), &info), 0);
    EXPECT_EQ(info.st_ino, inode);
    EXPECT_EQ(info.st_mtime, 1000000000);
}

TEST_F(StorageFileTest, PiecesOfOneFileWrittenSideBySide) {
    std::string data;
    for (int i = 0; i < 200; i++) data += (char)('a' + i % 26);
    Manifest m({{"big", data.c_str()}, {"small", "s"}});
    ASSERT_EQ(Configure("file"), 1);
    std::vector<std::unique_ptr<Request>> requests;
    std::vector<std::unique_ptr<Result>> results;
    for (int32_t i = (int32_t)(m.stream.size() / 16) - 1; i >= 0; i--) {
        requests.push_back(std::make_unique<Request>(m, i, i, true));
        results.push_back(std::make_unique<Result>());
        Storage_Put(storage, requests.back()->request, results.back().get(), OnDone);
    }
    for (auto& result : results) EXPECT_EQ(Wait(*result), 0u);
    EXPECT_EQ(Complete(m, "big"), 0u);
    EXPECT_EQ(Slurp(root + "big"), data);
    EXPECT_EQ(Slurp(root + "small"), "s");
    std::string bytes;
    EXPECT_EQ(Get(m, 0, (int32_t)(m.stream.size() / 16) - 1, &bytes), 0u);
    EXPECT_EQ(bytes, m.stream);
}

TEST_F(StorageFileTest, NamesDifferingInCaseAreDifferentFiles) {
    Manifest m({{"Big", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"}, {"big", "abcdefghijklmnopqrstuvwxyz"}});
    ASSERT_EQ(Configure("file"), 1);
    // Each file's first piece leaves it open for its second.
    for (int32_t piece : {0, 2, 1, 3}) ASSERT_EQ(Put(m, piece, piece), 0u) << piece;
    EXPECT_EQ(Complete(m, "Big"), 0u);
    EXPECT_EQ(Complete(m, "big"), 0u);
    EXPECT_EQ(Slurp(root + "Big"), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    EXPECT_EQ(Slurp(root + "big"), "abcdefghijklmnopqrstuvwxyz");
}

TEST_F(StorageFileTest, PaddingOfAPageOrMoreIsCountedWhole) {
    Manifest m({{"a", "0123456789"}, {"b", "x"}}, "abc", 8192);
    ASSERT_EQ(Configure("file", {{"systemBuffer", "false"}}), 1);
    ASSERT_EQ(Put(m, 0, 1), 0u);
    std::string bytes;
    EXPECT_EQ(Get(m, 0, 1, &bytes), 0u);
    EXPECT_EQ(bytes, m.stream);
}

TEST_F(StorageFileTest, FilesChangedUnderTheStorageGiveTheirCode) {
    Manifest m({{"a", "0123456789"}, {"b", "abcdefghijklmnop"}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(m, 0, 1), 0u);
    ASSERT_EQ(truncate((root + "a").c_str(), 3), 0);
    EXPECT_EQ(Get(m, 0, 0), (uint32_t)STORAGE_ERROR_UNDERFLOW);
    Spit(root + "b", "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(Get(m, 1, 1), (uint32_t)STORAGE_ERROR_HASH_FAILURE);
    ASSERT_EQ(unlink((root + "b").c_str()), 0);
    EXPECT_EQ(Exists(m, 1), (uint32_t)STORAGE_NOT_FOUND);
    EXPECT_EQ(Get(m, 1, 1), (uint32_t)STORAGE_ERROR_OS);
    ASSERT_EQ(mkdir((root + "b").c_str(), 0700), 0);
    EXPECT_EQ(Get(m, 1, 1), (uint32_t)STORAGE_ERROR_OS);
}

TEST_F(StorageFileTest, CompletingMissingFiles) {
    Manifest m({{"empty/e", ""}, {"gone", "12345"}, {"a", "x"}});
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Complete(m, "empty/e"), 0u);
    EXPECT_TRUE(OnDisk(root + "empty/e"));
    EXPECT_EQ(Slurp(root + "empty/e"), "");
    // A file that never arrived is not reported as installed.
    EXPECT_EQ(Complete(m, "gone"), (uint32_t)STORAGE_NOT_FOUND);
    EXPECT_FALSE(OnDisk(root + "gone"));
}

TEST_F(StorageFileTest, ReadOnlyFilesAreImmutableYetReplacedAndErased) {
    Spit(root + "probe", "");
    if (Shell("chattr +i " + root + "probe 2>/dev/null && chattr -i " + root + "probe") != 0)
        GTEST_SKIP() << "no immutable flag on this file system";
    unlink((root + "probe").c_str());
    Manifest m({{"ro", "0123456789", R"(,"attr":1)"}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(m, 0, 0), 0u);
    PlatformFileAttributes attributes = 0;
    ASSERT_EQ(Platform_GetFileAttributes(nullptr, (root + "ro").c_str(), &attributes), 1);
    EXPECT_TRUE(attributes & PLATFORM_FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(Put(m, 0, 0), 0u); // written again in place
    EXPECT_EQ(Slurp(root + "ro"), "0123456789");
    EXPECT_EQ(Erase(m, "ro"), 0u);
    EXPECT_FALSE(OnDisk(root + "ro"));
}

TEST_F(StorageFileTest, LinksAreMadeAsStated) {
    Manifest m({{"a", "x"}, {"links/l", "", R"(,"attr":8,"link":"../a")"}, {"links/d", "", R"(,"attr":40,"link":"/tmp/")"}});
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Complete(m, "links/l"), 0u);
    char target[64] = {0};
    ASSERT_GT(readlink((root + "links/l").c_str(), target, sizeof(target) - 1), 0);
    EXPECT_STREQ(target, "../a");
    // A directory with content in the link's place is kept and the completion fails; an empty
    // one is replaced by the link.
    ASSERT_EQ(Shell("mkdir -p " + root + "links/d/inner && touch " + root + "links/d/inner/f"), 0);
    EXPECT_EQ(Complete(m, "links/d"), (uint32_t)STORAGE_ERROR_OS);
    EXPECT_EQ(Slurp(root + "links/d/inner/f"), "");
    EXPECT_TRUE(OnDisk(root + "links/d/inner/f"));
    ASSERT_EQ(Shell("rm -r " + root + "links/d/inner"), 0);
    EXPECT_EQ(Complete(m, "links/d"), 0u);
    memset(target, 0, sizeof(target));
    ASSERT_GT(readlink((root + "links/d").c_str(), target, sizeof(target) - 1), 0);
    EXPECT_STREQ(target, "/tmp/");
    // A link already pointing at the target is left alone (same inode) in a fresh storage.
    struct stat before, after;
    ASSERT_EQ(lstat((root + "links/l").c_str(), &before), 0);
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Complete(m, "links/l"), 0u);
    ASSERT_EQ(lstat((root + "links/l").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(StorageFileTest, NamesThatLeaveTheDirectoryAreRefused) {
    ASSERT_EQ(symlink(outside.c_str(), (root + "sub").c_str()), 0);
    ASSERT_EQ(symlink((outside + "secret").c_str(), (root + "direct").c_str()), 0);
    // The storage's own names too, in any component: a folder there would hold a copy's place.
    const char* names[] = {"sub/secret",        "../outside/secret", "/tmp/x/../secret",
                           "direct",            "x.quarvpartial",    "x.quarvpartial~",
                           "d.quarvpartial/x",  "d.quarvpartial~/x", "d/e.quarvpartial~/x",
                           "d/./e.quarvpartial/x"};
    for (const char* name : names) {
        Manifest m(std::vector<File>{File(name, "evil")});
        ASSERT_EQ(Configure("file"), 1);
        EXPECT_EQ(Put(m, 0, 0), (uint32_t)STORAGE_ERROR_INVALID_CONTENT) << name;
        EXPECT_EQ(Get(m, 0, 0), (uint32_t)STORAGE_ERROR_INVALID_CONTENT) << name;
        EXPECT_EQ(Exists(m, 0), (uint32_t)STORAGE_ERROR_INVALID_CONTENT) << name;
        EXPECT_EQ(Complete(m, name), (uint32_t)STORAGE_ERROR_INVALID_CONTENT) << name;
        EXPECT_EQ(Erase(m, name), (uint32_t)STORAGE_ERROR_INVALID_CONTENT) << name;
        EXPECT_EQ(Slurp(outside + "secret"), "keep") << name;
    }
    EXPECT_EQ(Shell("test -z \"$(find " + root + " -name '*quarvpartial*')\""), 0);
    // A link entry is not made through a link either.
    Manifest m({{"a", "x"}, {"sub/l", "", R"(,"attr":8,"link":"/etc/passwd")"}});
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Complete(m, "sub/l"), (uint32_t)STORAGE_ERROR_INVALID_CONTENT);
    EXPECT_FALSE(OnDisk(outside + "l"));
    EXPECT_EQ(Shell("ls -A " + outside + " | grep -qvx secret"), 256); // nothing but the secret
}

TEST_F(StorageFileTest, EraseCollapsesEmptiedDirectoriesAndSparesIgnoredNames) {
    Manifest m({{"keep.txt", "1"}, {"d1/d2/x", "2"}, {"d1/y", "3"}, {"l", "", R"(,"attr":8,"link":"keep.txt")"}});
    Spit(root + "../ignore.json", R"(["keep.txt"])");
    ASSERT_EQ(Configure("file", {{"ignore", root + "../ignore.json"}}), 1);
    ASSERT_EQ(Shell("mkdir -p " + root + "d1/d2 && echo > " + root + "keep.txt && echo > " + root +
                    "d1/d2/x && echo > " + root + "d1/y && ln -s keep.txt " + root + "l"),
              0);
    EXPECT_EQ(Erase(m, "keep.txt"), 0u);
    EXPECT_TRUE(OnDisk(root + "keep.txt"));
    EXPECT_EQ(Erase(m, "d1/d2/x"), 0u);
    EXPECT_FALSE(OnDisk(root + "d1/d2"));
    EXPECT_TRUE(OnDisk(root + "d1/y"));
    EXPECT_EQ(Erase(m, "d1/y"), 0u);
    EXPECT_FALSE(OnDisk(root + "d1"));
    EXPECT_EQ(Erase(m, "l"), 0u);
    EXPECT_FALSE(OnDisk(root + "l"));
    EXPECT_TRUE(OnDisk(root + "keep.txt"));
    EXPECT_EQ(Erase(m, "d1/y"), 0u); // already gone
    EXPECT_TRUE(OnDisk(root));
}

// A partial copy beside the installed file says that the file is being replaced, also when both
// versions have the same length: no piece counts as present by the installed file's size, until
// the update completes.
TEST_F(StorageFileTest, APartialCopyHidesAnInstalledFileOfTheSameLength) {
    const std::string shared = "0123456789abcdef";
    const std::string old = "ABCDEFGHIJKLMNOP" + shared + "xyz", now = "abcdefghijklmnop" + shared + "XYZ";
    ASSERT_EQ(old.size(), now.size());
    Manifest v1(std::vector<File>{{"b", old.c_str()}});
    Manifest v2(std::vector<File>{{"b", now.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 2), 0u);
    ASSERT_EQ(Complete(v1, "b"), 0u);
    ASSERT_EQ(Put(v2, 0, 0), 0u);
    ASSERT_TRUE(OnDisk(root + "b.quarvpartial"));
    ASSERT_EQ(Configure("file"), 1);
    for (int32_t piece : {0, 1, 2}) EXPECT_EQ(Exists(v2, piece), (uint32_t)STORAGE_NOT_FOUND) << piece;
    ASSERT_EQ(Put(v2, 1, 2), 0u);
    ASSERT_EQ(Complete(v2, "b"), 0u);
    EXPECT_EQ(Slurp(root + "b"), now);
    for (int32_t piece : {0, 1, 2}) EXPECT_EQ(Exists(v2, piece), 0u) << piece;
}

TEST_F(StorageFileTest, PieceFilesUnderTheTemplate) {
    Manifest m({{"a", "0123456789"}, {"b", "abcdefghijklmnopqrst"}});
    ASSERT_EQ(Configure("filePiece", {{"pieceFormat", "{targetInfoHash}/{targetIndex}.p"}}), 1);
    EXPECT_EQ(Exists(m, 1), (uint32_t)STORAGE_NOT_FOUND);
    ASSERT_EQ(Put(m, 0, 2), 0u);
    // Stored without padding (the storage's flags are 0).
    EXPECT_EQ(Slurp(root + "abc/1.p"), "abcdefghijklmnop");
    EXPECT_EQ(Slurp(root + "abc/2.p"), "qrst");
    EXPECT_EQ(Exists(m, 1), 0u);
    std::string bytes;
    EXPECT_EQ(Get(m, 0, 2, &bytes), 0u);
    EXPECT_EQ(bytes, m.stream);
    // A longer piece left from before is cut to the new one.
    Spit(root + "abc/0.p", std::string(40, 'z'));
    ASSERT_EQ(Put(m, 0, 0), 0u);
    EXPECT_EQ(Slurp(root + "abc/0.p"), "0123456789");
    for (int32_t i = 0; i < 3; i++) {
        Result result;
        Storage_Erase(storage, m.meta, i, &result, OnDone);
        EXPECT_EQ(Wait(result), 0u);
    }
    EXPECT_FALSE(OnDisk(root + "abc"));
    EXPECT_TRUE(OnDisk(root));
}

TEST_F(StorageFileTest, PiecePathsFromTheManifestIdAreHeldToTheRule) {
    Manifest m({{"a", "0123456789"}}, "../outside");
    ASSERT_EQ(Configure("filePiece"), 1);
    EXPECT_EQ(Put(m, 0, 0), (uint32_t)STORAGE_ERROR_INVALID_CONTENT);
    EXPECT_EQ(Get(m, 0, 0), (uint32_t)STORAGE_ERROR_INVALID_CONTENT);
    EXPECT_EQ(Exists(m, 0), (uint32_t)STORAGE_ERROR_INVALID_CONTENT);
    Result result;
    Storage_Erase(storage, m.meta, 0, &result, OnDone);
    EXPECT_EQ(Wait(result), (uint32_t)STORAGE_ERROR_INVALID_CONTENT);
    EXPECT_EQ(Shell("ls -A " + outside + " | grep -qvx secret"), 256);
    // A link planted as the id's directory is not followed.
    Manifest linked({{"a", "0123456789"}}, "abc");
    ASSERT_EQ(symlink(outside.c_str(), (root + "abc").c_str()), 0);
    EXPECT_EQ(Put(linked, 0, 0), (uint32_t)STORAGE_ERROR_INVALID_CONTENT);
    EXPECT_EQ(Shell("ls -A " + outside + " | grep -qvx secret"), 256);
}

// A manifest's file name is escaped in the storage's log lines: a line break in it cannot start a
// line of its own.
TEST_F(StorageFileTest, ManifestNamesInLogLinesAreEscaped) {
    Manifest m(std::vector<File>{{"gone\\nINFO - forged", "0123456789"}});
    ASSERT_EQ(Configure("file"), 1);
    LogCapture log;
    EXPECT_NE(Complete(m, "gone\nINFO - forged"), 0u);
    EXPECT_NE(log.Text().find("Skipping File Complete (gone\\nINFO - forged)"), std::string::npos) << log.Text();
    EXPECT_EQ(log.Text().find("\nINFO - forged"), std::string::npos) << log.Text();
}


// ---- The storage's own names beside a file ----------------------------------------------------

// Another user, for entries planted beside the installation; tests run as root in CI.
constexpr uid_t kOtherUser = 65534;

bool CanActAsOtherUser() { return geteuid() == 0; }

enum class Plant { File, Link, Fifo, Folder };

// Makes an entry at path; owned by `owner` when that is not us.
void PlantAt(const std::string& path, Plant kind, uid_t owner, const std::string& target) {
    if (kind == Plant::File) {
        Spit(path, "planted");
        chmod(path.c_str(), 0666);
    } else if (kind == Plant::Link) {
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    } else if (kind == Plant::Folder) {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((path + "/x").c_str(), 0700), 0);
        Spit(path + "/x/f", "planted");
        ASSERT_EQ(symlink(target.c_str(), (path + "/x/l").c_str()), 0);
    } else {
        ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    }
    if (owner != geteuid()) {
        ASSERT_EQ(lchown(path.c_str(), owner, owner), 0);
    }
}

TEST_F(StorageFileTest, AnotherUsersEntryAtACopysNameIsNamedAndLeftWhileTheCopyTakesANameOfItsOwn) {
    if (!CanActAsOtherUser()) GTEST_SKIP() << "needs root to plant a file of another user";
    struct Case {
        const char* suffix;
        Plant kind;
    } cases[] = {{".quarvpartial", Plant::File}, {".quarvpartial", Plant::Link}, {".quarvpartial", Plant::Fifo},
                 {".quarvpartial~", Plant::File}, {".quarvpartial~", Plant::Link}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.suffix) + " kind " + std::to_string((int)c.kind));
        TwoVersions versions;
        ASSERT_NO_FATAL_FAILURE(InstallFirst(versions));
        auto& [old, now, v1, v2] = versions;
        const std::string planted = root + "a.txt" + c.suffix;
        PlantAt(planted, c.kind, kOtherUser, outside + "secret");
        PlantAt(root + "gone" + c.suffix, c.kind, kOtherUser, outside + "secret");
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        // The write, the completion and the erase go on; the entry is named.
        EXPECT_EQ(Put(v2, 0, 0), 0u);
        EXPECT_EQ(Slurp(root + "a.txt"), old);
        EXPECT_EQ(Slurp(root + "a.txt.quarvpartial1").substr(0, 16), now.substr(0, 16));
        EXPECT_EQ(Put(v2, 1, 1), 0u);
        EXPECT_EQ(Complete(v2, "a.txt"), 0u);
        EXPECT_EQ(Erase(v1, "gone"), 0u);
        EXPECT_NE(log.Text().find("Name of a copy held by another user (" + planted + ")"), std::string::npos)
            << log.Text();
        // The installed file is the user's, private and whole; the planted entry is left.
        struct stat info;
        ASSERT_EQ(stat((root + "a.txt").c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, geteuid());
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(Slurp(root + "a.txt"), now);
        EXPECT_FALSE(OnDisk(root + "a.txt.quarvpartial1"));
        EXPECT_FALSE(OnDisk(root + "gone"));
        ASSERT_EQ(lstat((root + "gone" + c.suffix).c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, kOtherUser);
        ASSERT_EQ(lstat(planted.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, kOtherUser);
        if (c.kind == Plant::File) {
            EXPECT_EQ(Slurp(planted), "planted");
        }
        EXPECT_EQ(Slurp(outside + "secret"), "keep");
    }
}

TEST_F(StorageFileTest, OurOwnEntriesThatAreNoCopyAtACopysNameAreLeft) {
    struct Case {
        const char* suffix;
        Plant kind;
    } cases[] = {{".quarvpartial", Plant::File},  {".quarvpartial", Plant::Link}, {".quarvpartial", Plant::Fifo},
                 {".quarvpartial~", Plant::File}, {".quarvpartial~", Plant::Link}, {".quarvpartial~", Plant::Fifo}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.suffix) + " kind " + std::to_string((int)c.kind));
        TwoVersions versions;
        ASSERT_NO_FATAL_FAILURE(InstallFirst(versions));
        auto& [old, now, v1, v2] = versions;
        // A shared file of ours (0666), a link or a FIFO is no copy the storage made: neither
        // continued nor removed, and the copy takes a name of its own.
        PlantAt(root + "a.txt" + c.suffix, c.kind, geteuid(), outside + "secret");
        PlantAt(root + "gone" + c.suffix, c.kind, geteuid(), outside + "secret");
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        ASSERT_EQ(Put(v2, 0, 1), 0u);
        ASSERT_EQ(Complete(v2, "a.txt"), 0u);
        ASSERT_EQ(Erase(v1, "gone"), 0u);
        EXPECT_EQ(Slurp(root + "a.txt"), now);
        EXPECT_EQ(Slurp(outside + "secret"), "keep");
        EXPECT_NE(log.Text().find("Name of a copy held by an entry not the storage's own (" + root + "a.txt" +
                                  c.suffix + ")"),
                  std::string::npos)
            << log.Text();
        for (const char* left : {"a.txt.quarvpartial1", "a.txt.quarvpartial1~", "gone"})
            EXPECT_FALSE(OnDisk(root + left)) << left;
        for (const char* name : {"a.txt", "gone"}) {
            struct stat info;
            EXPECT_EQ(lstat((root + name + c.suffix).c_str(), &info), 0) << name;
            if (c.kind == Plant::File) {
                EXPECT_EQ(Slurp(root + name + c.suffix), "planted");
            }
        }
    }
}

TEST_F(StorageFileTest, AFolderAtACopysNameIsNamedAndLeftWithWhatItHolds) {
    for (const char* suffix : {".quarvpartial", ".quarvpartial~"}) {
        SCOPED_TRACE(suffix);
        TwoVersions versions;
        ASSERT_NO_FATAL_FAILURE(InstallFirst(versions));
        auto& [old, now, v1, v2] = versions;
        // As another account of a group-shared folder can leave a folder of ours: renamed there.
        const std::string folder = root + "a.txt" + suffix;
        PlantAt(folder, Plant::Folder, geteuid(), outside + "secret");
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        EXPECT_EQ(Put(v2, 0, 1), 0u);
        EXPECT_NE(log.Text().find("Name of a copy held by a folder (" + folder + ")"), std::string::npos) << log.Text();
        EXPECT_EQ(Slurp(root + "a.txt"), old);
        EXPECT_EQ(Complete(v2, "a.txt"), 0u);
        EXPECT_EQ(Slurp(folder + "/x/f"), "planted");
        EXPECT_EQ(Slurp(root + "a.txt"), now);
    }
}

// An earlier version could install files in a folder at a copy's name: that folder goes once what
// the installed manifest lists in it is erased, and stays, named, when anything else is in it, when
// a folder in it is another user's, or when one is a mount (needs root to plant or mount).
TEST_F(StorageFileTest, AFolderAnEarlierVersionInstalledAtACopysNameGoesWithWhatItListed) {
    const std::string old = "ABCDEFGHIJKLMNOP0123456789abcdef", now = "abcdefghijklmnop0123456789abcdef";
    enum class Held { Nothing, UsersFile, OtherUsersFolder, Mount, OtherUsersListedFile, MountOnTheName };
    for (const Held held : {Held::Nothing, Held::UsersFile, Held::OtherUsersFolder, Held::Mount,
                            Held::OtherUsersListedFile, Held::MountOnTheName}) {
        SCOPED_TRACE((int)held);
        const std::string folder = root + "sub/a.txt.quarvpartial";
        Shell("umount " + folder + "/d 2>/dev/null; umount " + folder + " 2>/dev/null; rm -rf " + root + " " +
              outside + "d && mkdir -p " + folder + "/d " + outside + "d");
        Manifest v1(std::vector<File>{{"sub/a.txt", old.c_str()}, {"sub/a.txt.quarvpartial/x", "x"},
                                      {"sub/a.txt.quarvpartial/d/y", "y"}});
        Manifest v2(std::vector<File>{{"sub/a.txt", now.c_str()}});
        Spit(root + "sub/a.txt", old);
        Spit(folder + "/x", "x");
        Spit(folder + "/d/y", "y");
        if (held == Held::UsersFile) Spit(folder + "/d/mine", "user's");
        if (held == Held::OtherUsersFolder) {
            if (!CanActAsOtherUser()) continue;
            ASSERT_EQ(lchown((folder + "/d").c_str(), kOtherUser, kOtherUser), 0);
        }
        if (held == Held::Mount) {
            Spit(outside + "d/y", "y outside");
            if (Shell("mount --bind " + outside + "d " + folder + "/d 2>/dev/null") != 0) continue;
        }
        if (held == Held::OtherUsersListedFile) {
            // Listed, but another user's now: not the installation's to erase.
            if (!CanActAsOtherUser()) continue;
            ASSERT_EQ(lchown((folder + "/d/y").c_str(), kOtherUser, kOtherUser), 0);
        }
        if (held == Held::MountOnTheName) {
            // Mounted on the copy's name itself: nothing across it is the installation's.
            ASSERT_EQ(Shell("mkdir -p " + outside + "d/d && cp " + folder + "/x " + outside + "d/x && echo -n y > " +
                            outside + "d/d/y"),
                      0);
            if (Shell("mount --bind " + outside + "d " + folder + " 2>/dev/null") != 0) continue;
        }
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        StorageCleanup_SetInstalled(storage, v1.meta);
        if (held != Held::Nothing) {
            EXPECT_EQ(Put(v2, 0, 1), 0u);
            EXPECT_NE(log.Text().find("Name of a copy held by a folder (" + folder + ")"), std::string::npos)
                << log.Text();
            EXPECT_EQ(Slurp(root + "sub/a.txt"), old);
            EXPECT_EQ(Complete(v2, "sub/a.txt"), 0u);
            EXPECT_EQ(Slurp(root + "sub/a.txt"), now);
            EXPECT_TRUE(OnDisk(folder + "/d"));
        } else {
            EXPECT_EQ(Put(v2, 0, 1), 0u);
            EXPECT_EQ(Complete(v2, "sub/a.txt"), 0u);
            EXPECT_EQ(Slurp(root + "sub/a.txt"), now);
            EXPECT_FALSE(OnDisk(folder));
        }
        if (held == Held::UsersFile) {
            EXPECT_EQ(Slurp(folder + "/d/mine"), "user's");
        }
        if (held == Held::OtherUsersFolder) {
            EXPECT_EQ(Slurp(folder + "/d/y"), "y");
        }
        if (held == Held::Mount) {
            EXPECT_EQ(Slurp(outside + "d/y"), "y outside");
            Shell("umount " + folder + "/d");
        }
        if (held == Held::OtherUsersListedFile) {
            EXPECT_EQ(Slurp(folder + "/d/y"), "y");
        }
        if (held == Held::MountOnTheName) {
            EXPECT_EQ(Slurp(outside + "d/x"), "x");
            EXPECT_EQ(Slurp(outside + "d/d/y"), "y");
            Shell("umount " + folder);
        }
        StorageCleanup_SetInstalled(storage, nullptr);
    }
}

// A kill leaves the copies of the files it was adding; once a later sync has ended, those its
// manifest does not list are gone with the folders made for them, and nothing the storage did not
// record is judged: a folder or file of the user's under a copy's name, the user's empty folders.
TEST_F(StorageFileTest, OnlyTheRecordedCopiesAKillLeftGoOnceTheSyncEnds) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"a.txt", "0123456789"}});
    Manifest v2(std::vector<File>{{"a.txt", "0123456789"},
                                  {"new.bin", body.c_str()},
                                  {"d/n/c", body.c_str()},
                                  {"saves/slot/game.sav", body.c_str()}});
    ASSERT_EQ(Shell("mkdir -p " + root + "saves/slot " + root + "x.quarvpartial " + root + "box.quarvpartial"), 0);
    Spit(root + "x.quarvpartial/f", "user's");
    Spit(root + "box.quarvpartial/slot1.sav", "user's");
    Spit(root + "mine.quarvpartial", "user's");
    ASSERT_EQ(chmod((root + "mine.quarvpartial").c_str(), 0600), 0);
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 0), 0u);
    // The killed update wrote the first piece of each file it added.
    for (int32_t piece : {1, 3, 5}) ASSERT_EQ(Put(v2, piece, piece), 0u);
    const char* copies[] = {"new.bin.quarvpartial", "d/n/c.quarvpartial", "saves/slot/game.sav.quarvpartial"};
    for (const char* copy : copies) ASSERT_TRUE(OnDisk(root + copy)) << copy;
    // The next run: a sync of a version that lists them keeps them, to be continued. The record is
    // judged in turns, each of which a stop can end.
    ASSERT_EQ(Configure("file"), 1);
    StorageFile_SetReplayBudget(0);
    void* backend = nullptr;
    ASSERT_EQ(Storage_GetInterfaceHandle(storage, &backend), 1);
    EXPECT_EQ(StorageFile_RemoveStrayCopies(backend, v2.meta), -1);
    EXPECT_EQ(StorageFile_RemoveStrayCopies(backend, v2.meta), -1);
    StorageFile_SetReplayBudget(0.1);
    EXPECT_EQ(Sweep(v2.meta), 1);
    for (const char* copy : copies) EXPECT_TRUE(OnDisk(root + copy)) << copy;
    // One of a version that drops them removes them.
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Sweep(v1.meta), 1);
    for (const char* copy : copies) EXPECT_FALSE(OnDisk(root + copy)) << copy;
    EXPECT_FALSE(OnDisk(root + "d"));
    EXPECT_EQ(Shell("test -d " + root + "saves/slot"), 0);
    EXPECT_EQ(Slurp(root + "x.quarvpartial/f"), "user's");
    EXPECT_EQ(Slurp(root + "box.quarvpartial/slot1.sav"), "user's");
    EXPECT_EQ(Slurp(root + "mine.quarvpartial"), "user's");
    EXPECT_EQ(Slurp(root + "a.txt"), "0123456789");
    // Nothing is left on record.
    EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
    EXPECT_FALSE(OnDisk(root + ".quarvpartial~"));
}

// What stands at a recorded copy's name when the sync ends and is not that copy alone (put there by
// another account, or reached by a second name) is named and left; the copy itself goes whatever
// mode it has by then.
// A copy known by its identity (device, inode, proof) that another account was given, a file or a
// link alike, is neither opened nor removed by that identity: refused as another's (EPERM).
TEST_F(StorageFileTest, ACopyGivenToAnotherAccountIsNeitherOpenedNorRemovedByItsIdentity) {
    if (!CanActAsOtherUser()) GTEST_SKIP() << "needs root to give a file away";
    Shell("rm -rf " + root + " && mkdir -p " + root);
    for (const Plant kind : {Plant::File, Plant::Link}) {
        SCOPED_TRACE((int)kind);
        const std::string name = kind == Plant::File ? "f.quarvpartial" : "l.quarvpartial";
        PlantAt(root + name, kind, geteuid(), outside + "secret");
        int32_t directory = -1;
        const char* leaf = nullptr;
        ASSERT_EQ(StorageFileOS_OpenParent(root.c_str(), name.c_str(), 0, &directory, &leaf), 0);
        StorageFileOSStatus status{};
        ASSERT_EQ(StorageFileOS_Status(directory, name.c_str(), &status), 0);
        uint64_t proof = StorageFileOS_ProofOf(status);
        if (!proof) proof = STORAGE_FILE_OS_UNPROVEN;
        ASSERT_EQ(lchown((root + name).c_str(), kOtherUser, kOtherUser), 0);
        int32_t fd = -1;
        if (kind == Plant::File) {
            EXPECT_EQ(StorageFileOS_OpenCopy(directory, name.c_str(), status.Device, status.Inode, proof, 1, &fd), EPERM);
            EXPECT_EQ(fd, -1);
        }
        EXPECT_EQ(StorageFileOS_RemoveCopy(directory, name.c_str(), status.Device, status.Inode, proof), EPERM);
        StorageFileOS_Close(&directory);
        struct stat info;
        EXPECT_EQ(lstat((root + name).c_str(), &info), 0);
    }
}

// The entries of the record naming name by the identity of a file (a reserved name has inode 0).
int CopyEntries(const std::string& record, const std::string& name) {
    const std::string text = Slurp(record);
    int count = 0;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\0', at);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(at, end - at);
        const size_t space = entry.find(' ');
        if (space == std::string::npos || entry.substr(space + 1) != name) continue;
        // "<folders>:<n>:<device>:<inode>:<proof>"
        size_t colon = 0;
        for (int i = 0; i < 3 && colon != std::string::npos; i++) colon = entry.find(':', colon + 1);
        if (colon != std::string::npos && entry.compare(colon + 1, 2, "0:") != 0) count++;
    }
    return count;
}

TEST_F(StorageFileTest, AFailedSyncRemovesTheCopiesItMadeAndStillKnowsAndNothingElse) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"a.txt", "0123456789"}});
    Manifest v2(std::vector<File>{{"a.txt", "0123456789"},
                                  {"new.bin", body.c_str()},
                                  {"d/n/c", body.c_str()},
                                  {"saves/slot/game.sav", body.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 0), 0u);
    // An earlier run left a copy; this one continues nothing of it and makes two of its own, one of
    // which the user gives a second name.
    ASSERT_EQ(Put(v2, 1, 1), 0u);
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v2, 3, 3), 0u);
    ASSERT_EQ(Put(v2, 5, 5), 0u);
    ASSERT_EQ(link((root + "saves/slot/game.sav.quarvpartial").c_str(), (root + "saves/kept").c_str()), 0);
    const std::string record = root + ".quarvpartial";
    ASSERT_EQ(CopyEntries(record, "d/n/c"), 1);
    void* backend = nullptr;
    ASSERT_EQ(Storage_GetInterfaceHandle(storage, &backend), 1);
    EXPECT_EQ(StorageFile_RemoveMadeCopies(backend), 0);
    // Its own plain copy goes, and off the record; the earlier run's and the one reached by a
    // second name stay, on record, for the next run to judge.
    EXPECT_FALSE(OnDisk(root + "d/n/c.quarvpartial"));
    EXPECT_EQ(CopyEntries(record, "d/n/c"), 0);
    EXPECT_TRUE(OnDisk(root + "new.bin.quarvpartial"));
    EXPECT_EQ(CopyEntries(record, "new.bin"), 1);
    EXPECT_EQ(Slurp(root + "saves/kept").size(), Slurp(root + "saves/slot/game.sav.quarvpartial").size());
    EXPECT_EQ(CopyEntries(record, "saves/slot/game.sav"), 1);
    // The next run makes a copy of that file under a name of its own and fails too: its entry goes,
    // the one of the copy reached by two names stays.
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v2, 5, 5), 0u);
    ASSERT_TRUE(OnDisk(root + "saves/slot/game.sav.quarvpartial1"));
    ASSERT_EQ(CopyEntries(record, "saves/slot/game.sav"), 2);
    ASSERT_EQ(Storage_GetInterfaceHandle(storage, &backend), 1);
    EXPECT_EQ(StorageFile_RemoveMadeCopies(backend), 0);
    EXPECT_FALSE(OnDisk(root + "saves/slot/game.sav.quarvpartial1"));
    EXPECT_TRUE(OnDisk(root + "saves/slot/game.sav.quarvpartial"));
    EXPECT_EQ(CopyEntries(record, "saves/slot/game.sav"), 1);
    // A copy a completed replay kept to be continued is the record's from then on: no failure
    // after it removes it.
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v2, 3, 3), 0u);
    EXPECT_EQ(Sweep(v2.meta), 1);
    ASSERT_EQ(Storage_GetInterfaceHandle(storage, &backend), 1);
    EXPECT_EQ(StorageFile_RemoveMadeCopies(backend), 0);
    EXPECT_TRUE(OnDisk(root + "d/n/c.quarvpartial"));
}

TEST_F(StorageFileTest, ARecordedCopysNameHeldByAnythingElseIsNamedAndLeft) {
    const std::string body(32, 'n');
    enum class Held { OtherUsersFile, SharedFile, SecondLink, Link };
    for (const Held held : {Held::OtherUsersFile, Held::SharedFile, Held::SecondLink, Held::Link}) {
        SCOPED_TRACE((int)held);
        if (held == Held::OtherUsersFile && !CanActAsOtherUser()) continue;
        Shell("rm -rf " + root + " && mkdir -p " + root);
        Manifest v1(std::vector<File>{{"a.txt", "0123456789"}});
        Manifest v2(std::vector<File>{{"a.txt", "0123456789"}, {"new.bin", body.c_str()}});
        ASSERT_EQ(Configure("file"), 1);
        ASSERT_EQ(Put(v1, 0, 0), 0u);
        ASSERT_EQ(Put(v2, 1, 1), 0u);
        const std::string copy = root + "new.bin.quarvpartial";
        if (held == Held::OtherUsersFile) {
            ASSERT_EQ(lchown(copy.c_str(), kOtherUser, kOtherUser), 0);
        }
        if (held == Held::SharedFile) {
            ASSERT_EQ(chmod(copy.c_str(), 0644), 0);
        }
        if (held == Held::SecondLink) {
            ASSERT_EQ(link(copy.c_str(), (root + "kept").c_str()), 0);
        }
        if (held == Held::Link) {
            ASSERT_EQ(unlink(copy.c_str()), 0);
            ASSERT_EQ(symlink((outside + "secret").c_str(), copy.c_str()), 0);
        }
        PlantAt(root + "x.quarvpartial", Plant::Folder, CanActAsOtherUser() ? kOtherUser : geteuid(), outside + "secret");
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        // A copy given to another account is its now, and one reached by a second name the user's:
        // each is left where it stands and dropped from the record with a line naming it (kept, it
        // would hold the record alive with every run); a name that no longer leads to it names
        // nothing of ours.
        EXPECT_EQ(Sweep(v1.meta), 1);
        const std::string named = held == Held::OtherUsersFile ? "Copy now another user's, left and taken off the record ("
                                                               : "Not the storage's own file (";
        if (held != Held::SharedFile) {
            EXPECT_NE(log.Text().find(named + copy + ")"), std::string::npos) << log.Text();
        }
        struct stat info;
        EXPECT_EQ(lstat(copy.c_str(), &info), held == Held::SharedFile ? -1 : 0);
        EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
        EXPECT_EQ(Slurp(root + "x.quarvpartial/x/f"), "planted");
        EXPECT_EQ(Slurp(outside + "secret"), "keep");
    }
}

TEST_F(StorageFileTest, ARecordOfCopiesAnotherUserMadeIsNeitherUsedNorRemoved) {
    if (!CanActAsOtherUser()) GTEST_SKIP() << "needs root to plant a file of another user";
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"new.bin", body.c_str()}});
    const std::string record = root + ".quarvpartial";
    Spit(record, "planted");
    ASSERT_EQ(chmod(record.c_str(), 0600), 0);
    ASSERT_EQ(lchown(record.c_str(), kOtherUser, kOtherUser), 0);
    LogCapture log;
    ASSERT_EQ(Configure("file"), 1);
    // The name is left and named once; the copies go on record under a reserved name of the
    // storage's own, which the replay reads and lets go.
    EXPECT_EQ(Put(v1, 0, 0), 0u);
    EXPECT_TRUE(OnDisk(root + "new.bin.quarvpartial"));
    EXPECT_TRUE(OnDisk(record + "1"));
    EXPECT_EQ(Slurp(record), "planted");
    // Nothing installed: the copy is stray, and goes with the record that named it, which a new
    // storage finds once the name it stood in for is free again.
    ASSERT_EQ(unlink(record.c_str()), 0);
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Sweep(nullptr), 1);
    EXPECT_FALSE(OnDisk(root + "new.bin.quarvpartial"));
    const std::string named = "Record of copies not the storage's own (" + record + ")";
    const size_t at = log.Text().find(named);
    EXPECT_NE(at, std::string::npos) << log.Text();
    EXPECT_EQ(log.Text().find(named, at + 1), std::string::npos) << log.Text();
    EXPECT_FALSE(OnDisk(record + "1"));
}

// A file of a version a stopped run was installing stays on record while the installation is
// unfinished, though that version lists it: a later version that does not list it removes it, with
// the folder made for it, where that version may put a file.
TEST_F(StorageFileTest, AFileOfAnUnfinishedVersionStaysOnRecordUntilASyncCompletes) {
    Manifest v1(std::vector<File>{{"d/c/c", "0123456789"}});
    Manifest v2(std::vector<File>{{"a", "abcdefghij"}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(StorageCleanup_MarkUnfinished(storage), 0);
    ASSERT_EQ(Put(v1, 0, 0), 0u);
    ASSERT_EQ(Complete(v1, "d/c/c"), 0u);
    ASSERT_EQ(Slurp(root + "d/c/c"), "0123456789");
    // As after a kill: the next run sweeps for the version it installs again.
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(StorageCleanup_IsUnfinished(storage), 1);
    EXPECT_EQ(Sweep(v1.meta), 1);
    EXPECT_EQ(Slurp(root + "d/c/c"), "0123456789");
    // Killed again; the next run installs a version without it.
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Sweep(v2.meta), 1);
    EXPECT_FALSE(OnDisk(root + "d/c/c"));
    EXPECT_FALSE(OnDisk(root + "d"));
    // Once a sync completes the record lets its files go: they are the installed version's.
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 0), 0u);
    ASSERT_EQ(Complete(v1, "d/c/c"), 0u);
    StorageCleanup_SetFinished(storage);
    EXPECT_EQ(Sweep(v1.meta), 1);
    EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
    EXPECT_EQ(Slurp(root + "d/c/c"), "0123456789");
}

// The cleanup of a version a cut run replaced, run by a sync that has not installed its own version
// yet, leaves on record what a failed run made for a name that version lists (here a folder whose
// copy was never made): a later version that lists nothing there removes the folder with the rest.
TEST_F(StorageFileTest, ACleanupBeforeTheVersionIsInstalledLeavesWhatAFailedRunMadeForItOnRecord) {
    Manifest replaced(std::vector<File>{{"x", "0123456789"}});
    Manifest pending(std::vector<File>{{"d/a", std::string(32, 'n').c_str()}, {"d/b", "klmnopqrst"}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(StorageCleanup_MarkUnfinished(storage), 0);
    ASSERT_EQ(Put(pending, 0, 0), 0u);
    ASSERT_EQ(Put(pending, 2, 2), 0u);
    ASSERT_EQ(Complete(pending, "d/b"), 0u);
    // As after a kill between the copy's entry and the copy.
    ASSERT_EQ(unlink((root + "d/a.quarvpartial").c_str()), 0);
    ASSERT_EQ(Configure("file"), 1);
    StorageCleanup* cleanup = nullptr;
    StorageCleanup_Create(&cleanup);
    StorageCleanup_SetStorageHandle(cleanup, storage);
    StorageCleanup_SetSourceMetaFileHandle(cleanup, replaced.meta);
    StorageCleanup_SetDestMetaFileHandle(cleanup, pending.meta);
    StorageCleanup_SetKeepMetaFileHandle(cleanup, replaced.meta);
    ASSERT_EQ(StorageCleanup_Start(cleanup), 1);
    StepUntil([&] { return StorageCleanup_IsComplete(cleanup) == 1; }, [&] { StorageCleanup_Process(cleanup); });
    EXPECT_EQ(StorageCleanup_IsComplete(cleanup), 1);
    StorageCleanup_Shutdown(cleanup);
    StorageCleanup_Release(&cleanup);
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Sweep(replaced.meta), 1);
    EXPECT_FALSE(OnDisk(root + "d/b"));
    EXPECT_FALSE(OnDisk(root + "d"));
}

// Another repository installing into a folder inside this one keeps its copy in progress.
TEST_F(StorageFileTest, AnotherStoragesCopyInProgressInsideTheFolderIsLeft) {
    const std::string big(48, 'b');
    Manifest inner(std::vector<File>{{"big.bin", big.c_str()}});
    Manifest outer(std::vector<File>{{"a.txt", "0123456789"}});
    const std::string outerRoot = root;
    root = outerRoot + "dlc/";
    ASSERT_EQ(Shell("mkdir -p " + root), 0);
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(inner, 0, 0), 0u);
    Storage* innerStorage = storage;
    storage = nullptr;
    root = outerRoot;
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(outer, 0, 0), 0u);
    EXPECT_EQ(Sweep(outer.meta), 1);
    EXPECT_EQ(Slurp(root + "dlc/big.bin.quarvpartial"), big.substr(0, 16));
    Release();
    storage = innerStorage;
    ASSERT_EQ(Put(inner, 1, 2), 0u);
    EXPECT_EQ(Complete(inner, "big.bin"), 0u);
    EXPECT_EQ(Slurp(root + "dlc/big.bin"), big);
    EXPECT_EQ(Slurp(root + "a.txt"), "0123456789");
}

// Needs root to mount: a bind mount of a folder outside, a tmpfs and a bind mount of a folder of
// the same file system, each inside the installation under or beside copies' names.
TEST_F(StorageFileTest, NoMountInsideTheFolderIsEnteredOrErasedAcross) {
    const std::string user = outside + "user/", precious = outside + "precious/";
    ASSERT_EQ(Shell("mkdir -p " + user + " " + precious + " " + root + "stray.quarvpartial/inner " + root +
                    "t.quarvpartial/m " + root + "bindsame"),
              0);
    Spit(precious + "precious.txt", "precious");
    Spit(user + "p.quarvpartial", "user's");
    ASSERT_EQ(chmod((user + "p.quarvpartial").c_str(), 0600), 0);
    struct Mounts {
        std::vector<std::string> points;
        ~Mounts() {
            for (auto at = points.rbegin(); at != points.rend(); ++at) Shell("umount " + *at);
        }
    } mounts;
    for (const auto& [how, point] : {std::pair{"--bind " + precious, root + "stray.quarvpartial/inner"},
                                     {"-t tmpfs -o size=64k tmpfs", root + "t.quarvpartial/m"},
                                     {"--bind " + user, root + "bindsame"}}) {
        if (Shell("mount " + how + " " + point + " 2>/dev/null") != 0) GTEST_SKIP() << "cannot mount here";
        mounts.points.push_back(point);
    }
    Spit(root + "t.quarvpartial/m/tmp.txt", "on tmpfs");
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"a.txt", "0123456789"}});
    Manifest v2(std::vector<File>{{"a.txt", "0123456789"}, {"new.bin", body.c_str()}, {"bindsame/q", body.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 0), 0u);
    ASSERT_EQ(Put(v2, 1, 1), 0u);
    ASSERT_EQ(Put(v2, 3, 3), 0u);
    LogCapture log;
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Sweep(v1.meta), 0);
    EXPECT_FALSE(OnDisk(root + "new.bin.quarvpartial"));
    // The copy made through the mount is named and left, on record for a later sync.
    EXPECT_NE(log.Text().find("Copy on another mount left (" + root + "bindsame/q.quarvpartial)"), std::string::npos)
        << log.Text();
    EXPECT_TRUE(OnDisk(user + "q.quarvpartial"));
    EXPECT_TRUE(OnDisk(root + ".quarvpartial"));
    EXPECT_EQ(Slurp(precious + "precious.txt"), "precious");
    EXPECT_EQ(Slurp(root + "t.quarvpartial/m/tmp.txt"), "on tmpfs");
    EXPECT_EQ(Slurp(user + "p.quarvpartial"), "user's");
}

// Devices of the file systems flushed (syncfs) while the table is wrapped.
std::vector<dev_t> g_flushed;
int FlushNoted(int fd) {
    struct stat info;
    if (fstat(fd, &info) == 0) g_flushed.push_back(info.st_dev);
    return StorageFileOS_SystemCalls()->Syncfs(fd);
}

// A folder of the installation on another file system: the flush before the manifest's save
// reaches it too, and the copies made there, once they became their files, leave the record (no
// entry left behind, named again with every sync).
TEST_F(StorageFileTest, AFolderOnAnotherFileSystemIsFlushedAndItsCopiesLeaveTheRecord) {
    ASSERT_EQ(Shell("mkdir -p " + root + "other"), 0);
    if (Shell("mount -t tmpfs -o size=64k tmpfs " + root + "other 2>/dev/null") != 0) GTEST_SKIP() << "cannot mount here";
    struct Unmount {
        std::string point;
        ~Unmount() { Shell("umount " + point); }
    } unmount{root + "other"};
    struct stat top, other;
    ASSERT_EQ(stat(root.c_str(), &top), 0);
    ASSERT_EQ(stat((root + "other").c_str(), &other), 0);
    ASSERT_NE(top.st_dev, other.st_dev);
    const std::string body(16, 'z');
    Manifest v1(std::vector<File>{{"a.txt", "0123456789"}, {"other/z", body.c_str()}}, "v1");
    Manifest v2(std::vector<File>{{"a.txt", "0123456789"}, {"other/z", "changed in v2..."}}, "v2");
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 1), 0u);
    for (Manifest* v : {&v1, &v2}) {
        if (v == &v2) {
            ASSERT_EQ(Put(v2, 1, 1), 0u);
        }
        StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
        calls.Syncfs = FlushNoted;
        g_flushed.clear();
        StorageFileOS_SetCalls(&calls);
        EXPECT_EQ(StorageCleanup_Flush(storage), 0);
        StorageFileOS_SetCalls(nullptr);
        EXPECT_NE(std::find(g_flushed.begin(), g_flushed.end(), top.st_dev), g_flushed.end());
        EXPECT_NE(std::find(g_flushed.begin(), g_flushed.end(), other.st_dev), g_flushed.end());
        LogCapture log;
        EXPECT_EQ(Sweep(v->meta), 1);
        EXPECT_EQ(log.Text().find("another mount"), std::string::npos) << log.Text();
        EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
    }
    EXPECT_EQ(Slurp(root + "other/z"), "changed in v2...");
}

// A mark whose flush ran on the I/O worker is the record's once settled: the storage knows the
// installation unfinished, and a second mark repairs rather than marking again.
TEST_F(StorageFileTest, AMarkFlushedBesideTheWorkIsTheRecordsOnceSettled) {
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(StorageCleanup_MarkStart(storage, 0), 0);
    int32_t error = -1;
    const double end = Time_GetCurrent() + 10;
    while (!StorageCleanup_MarkSettled(storage, &error) && Time_GetCurrent() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(error, 0);
    EXPECT_EQ(StorageCleanup_IsUnfinished(storage), 1);
    const std::string before = Slurp(root + ".quarvpartial");
    ASSERT_EQ(StorageCleanup_MarkStart(storage, 0), 0);
    EXPECT_EQ(StorageCleanup_MarkSettled(storage, &error), 1);
    EXPECT_EQ(Slurp(root + ".quarvpartial"), before);
}

// The next opens for writing (the record is opened for reading and writing) fail with EIO, as
// many as this counts.
std::atomic<int> g_openFails{0};
int OpenFailing(int directory, const char* name, int flags, mode_t mode) {
    if ((flags & O_RDWR) && g_openFails > 0) {
        g_openFails--;
        errno = EIO;
        return -1;
    }
    return StorageFileOS_SystemCalls()->OpenAt(directory, name, flags, mode);
}

// A record of copies that a fault of the disk keeps from being read tells nothing: it is no empty
// record (the installation's state is unknown, not finished), it is read again once it can be,
// and no mark is made over it.
TEST_F(StorageFileTest, ARecordThatCannotBeReadIsNoEmptyRecord) {
    Shell("rm -rf " + root + " && mkdir -p " + root);
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(StorageCleanup_MarkUnfinished(storage), 0);
    ASSERT_TRUE(OnDisk(root + ".quarvpartial"));
    StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
    calls.OpenAt = OpenFailing;
    StorageFileOS_SetCalls(&calls);
    // Read at the mark's making: a failed read is the mark's failure, even where the open after
    // it would succeed.
    ASSERT_EQ(Configure("file"), 1);
    g_openFails = 1;
    EXPECT_EQ(StorageCleanup_MarkUnfinished(storage), EIO);
    ASSERT_EQ(Configure("file"), 1);
    g_openFails = 1000;
    EXPECT_EQ(StorageCleanup_IsUnfinished(storage), -1);
    g_openFails = 0;
    EXPECT_EQ(StorageCleanup_IsUnfinished(storage), 1);
    StorageFileOS_SetCalls(nullptr);
}

// Copies made under their scratch name, as where no unnamed file can be made, for one test.
struct NamedCopies {
    NamedCopies() { StorageFileOS_SetUnnamedCopies(0); }
    ~NamedCopies() { StorageFileOS_SetUnnamedCopies(1); }
};

// Where no unnamed file can be made, the copy is made under its scratch name: only as a new entry
// of its own, never by opening what stands there (planted after the storage cleared the name).
TEST_F(StorageFileTest, ACopyMadeUnderItsScratchNameNeverOpensAnEntryThere) {
    const NamedCopies named;
    Spit(root + "a", "installed");
    for (Plant kind : {Plant::File, Plant::Link, Plant::Folder}) {
        SCOPED_TRACE((int)kind);
        Shell("rm -rf " + root + "a.quarvpartial " + root + "a.quarvpartial~");
        PlantAt(root + "a.quarvpartial~", kind, geteuid(), outside + "secret");
        if (kind == Plant::File) {
            ASSERT_EQ(chmod((root + "a.quarvpartial~").c_str(), 0600), 0);
        }
        int directory = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(directory, 0);
        EXPECT_EQ(StorageFileOS_CopyBeside(directory, "a", "a.quarvpartial", "a.quarvpartial~"), EEXIST);
        close(directory);
        EXPECT_FALSE(OnDisk(root + "a.quarvpartial"));
        EXPECT_EQ(Slurp(outside + "secret"), "keep");
        if (kind == Plant::File) {
            EXPECT_EQ(Slurp(root + "a.quarvpartial~"), "planted");
        }
    }
    // Through the storage the name is cleared first, and the update is made the named way.
    const std::string old = "ABCDEFGHIJKLMNOP0123456789abcdef", now = "abcdefghijklmnop0123456789abcdef";
    Shell("rm -rf " + root + " && mkdir -p " + root);
    Manifest v1(std::vector<File>{{"a.txt", old.c_str()}});
    Manifest v2(std::vector<File>{{"a.txt", now.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 1), 0u);
    ASSERT_EQ(Complete(v1, "a.txt"), 0u);
    PlantAt(root + "a.txt.quarvpartial~", Plant::Link, geteuid(), outside + "secret");
    ASSERT_EQ(Put(v2, 0, 0), 0u);
    EXPECT_EQ(Slurp(root + "a.txt"), old);
    EXPECT_TRUE(OnDisk(root + "a.txt.quarvpartial1"));
    EXPECT_FALSE(OnDisk(root + "a.txt.quarvpartial1~"));
    ASSERT_EQ(Complete(v2, "a.txt"), 0u);
    EXPECT_EQ(Slurp(root + "a.txt"), now);
    EXPECT_EQ(Slurp(outside + "secret"), "keep");
    EXPECT_FALSE(OnDisk(root + "a.txt.quarvpartial"));
    EXPECT_FALSE(OnDisk(root + "a.txt.quarvpartial1"));
    struct stat info;
    EXPECT_EQ(lstat((root + "a.txt.quarvpartial~").c_str(), &info), 0);
}

// Copies that took names of their own, the usual ones held by another account's folders (the copy's
// name and a scratch name): after a kill the next run finds them through the record, continues them
// or, once a version drops the file, removes them; the folders stay with what they hold.
TEST_F(StorageFileTest, ACopyUnderANameOfItsOwnOutlivesAKill) {
    const std::string old = "ABCDEFGHIJKLMNOP0123456789abcdef", now = "abcdefghijklmnop0123456789ABCDEF";
    const std::string body(32, 'n');
    const uid_t owner = CanActAsOtherUser() ? kOtherUser : geteuid();
    for (const bool dropped : {false, true}) {
        SCOPED_TRACE(dropped ? "dropped" : "continued");
        Shell("rm -rf " + root + " && mkdir -p " + root);
        Manifest v1(std::vector<File>{{"a.txt", old.c_str()}});
        Manifest v2(std::vector<File>{{"a.txt", now.c_str()}, {"new.bin", body.c_str()}});
        Spit(root + "a.txt", old);
        PlantAt(root + "a.txt.quarvpartial", Plant::Folder, owner, outside + "secret");
        PlantAt(root + "new.bin.quarvpartial~", Plant::Folder, owner, outside + "secret");
        ASSERT_EQ(Configure("file"), 1);
        ASSERT_EQ(Put(v2, 0, 0), 0u);
        ASSERT_EQ(Put(v2, 2, 2), 0u);
        EXPECT_EQ(Slurp(root + "new.bin.quarvpartial1"), body.substr(0, 16));
        // The kill: the next run knows the copies only from the record.
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        if (dropped) {
            EXPECT_EQ(Sweep(v1.meta), 1);
            EXPECT_FALSE(OnDisk(root + "new.bin.quarvpartial1"));
            EXPECT_EQ(Slurp(root + "a.txt"), old);
            ASSERT_EQ(Configure("file"), 1);
            EXPECT_EQ(Erase(v2, "a.txt"), 0u);
            EXPECT_FALSE(OnDisk(root + "a.txt.quarvpartial1"));
            EXPECT_EQ(Sweep(nullptr), 1);
        } else {
            EXPECT_EQ(Exists(v2, 0), (uint32_t)STORAGE_NOT_FOUND);
            std::string bytes;
            EXPECT_EQ(Get(v2, 0, 0, &bytes), 0u);
            EXPECT_EQ(bytes, now.substr(0, 16));
            EXPECT_EQ(Put(v2, 1, 1), 0u);
            EXPECT_EQ(Put(v2, 3, 3), 0u);
            EXPECT_EQ(Complete(v2, "a.txt"), 0u);
            EXPECT_EQ(Complete(v2, "new.bin"), 0u);
            EXPECT_EQ(Slurp(root + "a.txt"), now);
            EXPECT_EQ(Slurp(root + "new.bin"), body);
            EXPECT_EQ(Sweep(v2.meta), 1);
            for (const char* left : {"a.txt.quarvpartial1", "new.bin.quarvpartial1", "new.bin.quarvpartial2"})
                EXPECT_FALSE(OnDisk(root + left)) << left;
        }
        EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
        EXPECT_EQ(Slurp(root + "a.txt.quarvpartial/x/f"), "planted");
        EXPECT_EQ(Slurp(root + "new.bin.quarvpartial~/x/f"), "planted");
        EXPECT_EQ(Slurp(outside + "secret"), "keep");
    }
}

// The last record of a file tells where its copy is: a copy made under the usual name once the
// holder is gone is continued there; and a name of its own is never one whose scratch name is
// taken (here a private file of the user's, which no later cleanup may take for ours).
TEST_F(StorageFileTest, TheLastRecordOfAFileNamesItsCopy) {
    const NamedCopies named;
    const std::string v1Text(32, '1'), v2Text(32, '2'), v3Text(32, '3');
    Manifest v1(std::vector<File>{{"a.txt", v1Text.c_str()}});
    Manifest v2(std::vector<File>{{"a.txt", v2Text.c_str()}});
    Manifest v3(std::vector<File>{{"a.txt", v3Text.c_str()}});
    Spit(root + "a.txt", v1Text);
    PlantAt(root + "a.txt.quarvpartial", Plant::Folder, geteuid(), outside + "secret");
    Spit(root + "a.txt.quarvpartial1~", "user's");
    ASSERT_EQ(chmod((root + "a.txt.quarvpartial1~").c_str(), 0600), 0);
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v2, 0, 0), 0u);
    EXPECT_TRUE(OnDisk(root + "a.txt.quarvpartial2"));
    ASSERT_EQ(Put(v2, 1, 1), 0u);
    ASSERT_EQ(Complete(v2, "a.txt"), 0u);
    Shell("rm -rf " + root + "a.txt.quarvpartial");
    ASSERT_EQ(Put(v3, 0, 0), 0u);
    EXPECT_TRUE(OnDisk(root + "a.txt.quarvpartial"));
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Exists(v3, 0), (uint32_t)STORAGE_NOT_FOUND);
    std::string bytes;
    EXPECT_EQ(Get(v3, 0, 0, &bytes), 0u);
    EXPECT_EQ(bytes, v3Text.substr(0, 16));
    ASSERT_EQ(Put(v3, 1, 1), 0u);
    ASSERT_EQ(Complete(v3, "a.txt"), 0u);
    EXPECT_EQ(Slurp(root + "a.txt"), v3Text);
    EXPECT_EQ(Sweep(v3.meta), 1);
    EXPECT_EQ(Slurp(root + "a.txt.quarvpartial1~"), "user's");
    EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
    // A name of its own is recorded before it is made: one another entry took first was never ours,
    // and fails no sync.
    Spit(root + ".quarvpartial", std::string("0:1 a.txt\0", 10));
    ASSERT_EQ(chmod((root + ".quarvpartial").c_str(), 0600), 0);
    ASSERT_EQ(symlink((outside + "secret").c_str(), (root + "a.txt.quarvpartial1").c_str()), 0);
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Erase(v3, "a.txt"), 0u);
    EXPECT_FALSE(OnDisk(root + "a.txt"));
    EXPECT_EQ(Sweep(nullptr), 1);
    struct stat info;
    EXPECT_EQ(lstat((root + "a.txt.quarvpartial1").c_str(), &info), 0);
    EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
}

// A name of its own that does not fit the folder is refused, never cut to another name.
TEST_F(StorageFileTest, ACopysNameOfItsOwnThatDoesNotFitIsRefused) {
    const std::string name(241, 'x');
    Manifest v1(std::vector<File>{{name.c_str(), "0123456789"}});
    ASSERT_EQ(mkdir((root + name + ".quarvpartial").c_str(), 0700), 0);
    LogCapture log;
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Put(v1, 0, 0), (uint32_t)STORAGE_ERROR_OS);
    EXPECT_NE(log.Text().find("No name of its own for a copy of (" + root + name + ")"), std::string::npos)
        << log.Text();
    EXPECT_EQ(Shell("test $(ls -A " + root + " | wc -l) -eq 1"), 0);
}

TEST_F(StorageFileTest, AFileWhoseBytesStayIsNeitherCopiedNorRewritten) {
    // "y" shares its first piece with "x", which is all in that piece; only x changes.
    // A folder that is no copy of ours at y's copy name changes nothing.
    const std::string y(38, 'y');
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "free");
        Shell("rm -rf " + root + " && mkdir -p " + root);
        Manifest v1(std::vector<File>{{"x", "0123456789"}, {"y", y.c_str()}}, "v1", 16, false);
        Manifest v2(std::vector<File>{{"x", "9876543210"}, {"y", y.c_str()}}, "v2", 16, false);
        ASSERT_EQ(Configure("file"), 1);
        ASSERT_EQ(Put(v1, 0, 2), 0u);
        ASSERT_EQ(Complete(v1, "x"), 0u);
        ASSERT_EQ(Complete(v1, "y"), 0u);
        if (held) PlantAt(root + "y.quarvpartial", Plant::Folder, geteuid(), outside + "secret");
        struct stat before, after;
        ASSERT_EQ(stat((root + "y").c_str(), &before), 0);
        EXPECT_EQ(Exists(v2, 2), 0u);
        ASSERT_EQ(Put(v2, 0, 0), 0u);
        EXPECT_EQ(OnDisk(root + "y.quarvpartial"), held);
        EXPECT_FALSE(OnDisk(root + "y.quarvpartial1"));
        ASSERT_EQ(Complete(v2, "x"), 0u);
        ASSERT_EQ(Complete(v2, "y"), 0u);
        ASSERT_EQ(stat((root + "y").c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(Slurp(root + "x"), "9876543210");
        EXPECT_EQ(Slurp(root + "y"), y);
    }
}

TEST_F(StorageFileTest, AWriteWithoutACopyNameIsRefused) {
    EXPECT_EQ(Configure("file", {{"partialExtension", ""}}), 0);
    EXPECT_EQ(Configure("file", {{"partialExtension", "/x"}}), 0);
}


// What a kill leaves at each step of replacing a file, and what the next run makes of it: the
// new version when it is synchronised again, nothing at all when the next version drops it, and
// never a copy left behind.
TEST_F(StorageFileTest, EveryStepAKillCanInterruptIsResumedOrErasedWithoutLeftovers) {
    const std::string old = "ABCDEFGHIJKLMNOP0123456789abcdef", now = "abcdefghijklmnop0123456789ABCDEF";
    struct Step {
        const char* what;
        std::string partial, scratch; // left at a.quarvpartial and a.quarvpartial~ ("-": none)
        std::string installed;        // a as the kill left it
        mode_t mode = 0600;           // of the copy
    } steps[] = {
        {"before the copy", "-", "-", old},
        {"during a copy under the scratch name", "-", old.substr(0, 9), old},
        {"with the copy made", old, "-", old},
        {"with one piece written", now.substr(0, 16) + old.substr(16), "-", old},
        {"before the final mode", now, "-", old},
        {"after the final mode, before the rename", now, "-", old, 0755},
        {"after the rename", "-", "-", now},
    };
    for (const bool dropped : {false, true}) {
        for (const Step& step : steps) {
            SCOPED_TRACE(std::string(step.what) + (dropped ? ", then dropped" : ", then resumed"));
            Shell("rm -rf " + root + " && mkdir -p " + root);
            Manifest v1(std::vector<File>{{"a", old.c_str()}, {"b", "b"}});
            Manifest v2(std::vector<File>{{"a", now.c_str()}, {"b", "b"}});
            Spit(root + "a", step.installed);
            Spit(root + "b", "b");
            chmod((root + "a").c_str(), 0600);
            // Each as the storage recorded it: the copy with its identity, the scratch name reserved
            // (where no unnamed file can be made).
            std::string record;
            for (const auto& [suffix, bytes] : {std::pair{".quarvpartial", step.partial}, {".quarvpartial~", step.scratch}})
                if (bytes != "-") {
                    Spit(root + "a" + suffix, bytes);
                    chmod((root + "a" + suffix).c_str(), suffix[13] ? 0600 : step.mode);
                    record += suffix[13] ? std::string("0:0:0:0 a") + '\0'
                                         : "0:0:" + Identity(root + "a" + suffix) + " a" + '\0';
                }
            if (!record.empty()) {
                Spit(root + ".quarvpartial", record);
                chmod((root + ".quarvpartial").c_str(), 0600);
            }
            ASSERT_EQ(Configure("file"), 1);
            if (dropped) {
                EXPECT_EQ(Erase(v1, "a"), 0u);
                EXPECT_FALSE(OnDisk(root + "a"));
            } else {
                // As the copy job does: what reads back verified is kept, the rest written.
                for (int32_t piece = 0; piece < 2; piece++) {
                    if (Get(v2, piece, piece) != 0) {
                        EXPECT_EQ(Put(v2, piece, piece), 0u);
                    }
                }
                EXPECT_EQ(Complete(v2, "a"), 0u);
                EXPECT_EQ(Slurp(root + "a"), now);
            }
            // The end of the sync judges the record.
            EXPECT_EQ(Sweep(dropped ? nullptr : v2.meta), 1);
            EXPECT_FALSE(OnDisk(root + "a.quarvpartial"));
            EXPECT_FALSE(OnDisk(root + "a.quarvpartial~"));
            EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
            if (!dropped) {
                struct stat info;
                ASSERT_EQ(stat((root + "a").c_str(), &info), 0);
                EXPECT_EQ(info.st_mode & 0777, 0600u);
            }
        }
    }
}


TEST_F(StorageFileTest, ACopyThatCannotFitFailsBeforeItsFirstByteNamingFolderAndBytes) {
    const std::string folder = root + "small";
    ASSERT_EQ(Shell("mkdir -p " + folder), 0);
    if (Shell("mount -t tmpfs -o size=64k tmpfs " + folder + " 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    std::string old(40960, 'o'), now = old;
    now[100] = 'n';
    Manifest v1(std::vector<File>{{"small/big", old.c_str()}}, "v1", 8192);
    Manifest v2(std::vector<File>{{"small/big", now.c_str()}}, "v2", 8192);
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Put(v1, 0, 4), 0u);
    EXPECT_EQ(Complete(v1, "small/big"), 0u);
    LogCapture log;
    ASSERT_EQ(Configure("file"), 1);
    Request r(v2, 0, 0, true);
    Result result;
    Storage_Put(storage, r.request, &result, OnDone);
    EXPECT_EQ(Wait(result), (uint32_t)STORAGE_ERROR_OS);
    EXPECT_EQ(result.extended, (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + ENOSPC));
    EXPECT_NE(log.Text().find("Not enough space in folder (" + folder + "/) for a copy of (small/big): 40960 bytes "
                              "needed, "),
              std::string::npos)
        << log.Text();
    EXPECT_EQ(Slurp(folder + "/big"), old);
    EXPECT_EQ(Shell("test -z \"$(ls -A " + folder + " | grep -v '^big$')\""), 0);
    Release();
    Shell("umount " + folder);
}


TEST_F(StorageFileTest, APieceBesideACopyCountsAsPresentOnlyToTheStorageThatMadeIt) {
    const std::string old = "ABCDEFGHIJKLMNOP0123456789abcdefqrstuvwxyz012345", now = "abcdefghijklmnop" + old.substr(16);
    Manifest v1(std::vector<File>{{"a", old.c_str()}});
    Manifest v2(std::vector<File>{{"a", now.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 2), 0u);
    ASSERT_EQ(Complete(v1, "a"), 0u);
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v2, 0, 0), 0u);
    ASSERT_TRUE(OnDisk(root + "a.quarvpartial"));
    // It copied the installed bytes and wrote only piece 0 since.
    EXPECT_EQ(Exists(v2, 2), 0u);
    // A copy from before (a kill) may hold pieces of another version: nothing counts unread.
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Exists(v2, 2), (uint32_t)STORAGE_NOT_FOUND);
    EXPECT_EQ(Get(v2, 1, 2), 0u);
}


// ---- One rule for a copy's identity, and a record that never lies ------------------------------------

void* Backend(Storage* storage) {
    void* backend = nullptr;
    EXPECT_EQ(Storage_GetInterfaceHandle(storage, &backend), 1);
    return backend;
}

// "a"'s copy where its usual name is held could once take "a.1"'s usual copy name.
TEST_F(StorageFileTest, NoCopysNameIsEverAnotherListedFilesCopy) {
    const std::string a1 = "AAAAAAAAAAAAAAAA", b1 = "BBBBBBBBBBBBBBBB", a2 = "aaaaaaaaaaaaaaaa", b2 = "bbbbbbbbbbbbbbbb";
    Manifest v1(std::vector<File>{{"a", a1.c_str()}, {"a.1", b1.c_str()}});
    Manifest v2(std::vector<File>{{"a", a2.c_str()}, {"a.1", b2.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 1), 0u);
    ASSERT_EQ(Complete(v1, "a"), 0u);
    ASSERT_EQ(Complete(v1, "a.1"), 0u);
    // The user's file at a's usual copy name, readable by others.
    Spit(root + "a.quarvpartial", "user's");
    chmod((root + "a.quarvpartial").c_str(), 0644);
    ASSERT_EQ(Configure("file"), 1);
    for (int32_t piece : {0, 1}) EXPECT_EQ(Put(v2, piece, piece), 0u);
    EXPECT_EQ(Complete(v2, "a"), 0u);
    EXPECT_EQ(Complete(v2, "a.1"), 0u);
    EXPECT_EQ(Slurp(root + "a"), a2);
    EXPECT_EQ(Slurp(root + "a.1"), b2);
    EXPECT_EQ(Slurp(root + "a.quarvpartial"), "user's");
    EXPECT_EQ(Sweep(v2.meta), 1);
    EXPECT_EQ(Shell("test $(ls -A " + root + " | wc -l) -eq 3"), 0);
    // Nor can a manifest list a name a copy takes.
    Manifest bad(std::vector<File>{{"a.quarvpartial1", "x"}});
    EXPECT_EQ(Put(bad, 0, 0), (uint32_t)STORAGE_ERROR_INVALID_CONTENT);
    EXPECT_EQ(Configure("file", {{"partialExtension", ".part1"}}), 0);
    EXPECT_EQ(Configure("file", {{"partialExtension", ".part~"}}), 0);
}

// A full disk that cut the last record short: the next record is read on its own, and its copy goes.
TEST_F(StorageFileTest, ARecordsCutLastEntryIsNeverJoinedToTheNext) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"a.txt", "0123456789"}});
    Manifest v2(std::vector<File>{{"a.txt", "0123456789"}, {"new.bin", body.c_str()}});
    PlantRecord(root + ".quarvpartial", "self", "0:0:1:2 cut/na");
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v2, 1, 1), 0u);
    ASSERT_TRUE(OnDisk(root + "new.bin.quarvpartial"));
    // The cut entry is gone, not given an end that would make it an entry of its own.
    std::ifstream record(root + ".quarvpartial", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(record)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("cut/na"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 9), " new.bin" + std::string(1, '\0'));
    // Cut again after this storage's own last entry: its next entry is not joined to that either.
    Manifest v3(
        std::vector<File>{{"a.txt", "0123456789"}, {"new.bin", body.c_str()}, {"next.bin", body.c_str()}});
    std::ofstream(root + ".quarvpartial", std::ios::binary | std::ios::app) << "0:0:1:2 cut/nb";
    ASSERT_EQ(Put(v3, 3, 3), 0u);
    std::ifstream again(root + ".quarvpartial", std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after.find("cut/nb"), std::string::npos);
    EXPECT_EQ(after.substr(after.size() - 10), " next.bin" + std::string(1, '\0'));
    EXPECT_EQ(Sweep(v1.meta), 1);
    EXPECT_FALSE(OnDisk(root + "new.bin.quarvpartial"));
    EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
}

// An entry longer than the reader's buffer is no record of ours, whatever its tail reads like.
TEST_F(StorageFileTest, AnEntryLongerThanTheReadBufferIsPassedOverWhole) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"a.txt", "0123456789"}});
    Manifest v2(std::vector<File>{{"a.txt", "0123456789"}, {"victim", body.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v2, 1, 1), 0u);
    struct stat info;
    ASSERT_EQ(stat((root + "victim.quarvpartial").c_str(), &info), 0);
    const std::string tail = "0:0:" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + " victim";
    // The reader's buffer holds a path and the record's fields: the tail starts where a read ends.
    for (size_t filler = STORAGE_FILE_PATH_SIZE + 80; filler < STORAGE_FILE_PATH_SIZE + 112; filler++) {
        SCOPED_TRACE(filler);
        Spit(root + ".quarvpartial", "0 " + std::string(filler - 2, 'x') + tail + '\0');
        chmod((root + ".quarvpartial").c_str(), 0600);
        ASSERT_EQ(Configure("file"), 1);
        EXPECT_EQ(Sweep(v1.meta), 1);
        EXPECT_TRUE(OnDisk(root + "victim.quarvpartial"));
    }
}

// A copy made while the record is replayed turn by turn is on the record that replaces it, and so is
// one made after the replay by the storage that made copies before it.
TEST_F(StorageFileTest, ACopyRecordedWhileTheRecordIsReplayedStaysOnRecord) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"a.txt", "0123456789"}});
    Manifest v2(std::vector<File>{{"a.txt", "0123456789"},
                                  {"old.bin", body.c_str()},
                                  {"new.bin", body.c_str()},
                                  {"late.bin", body.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v2, 1, 1), 0u);
    StorageFile_SetReplayBudget(0);
    EXPECT_EQ(StorageFile_RemoveStrayCopies(Backend(storage), v2.meta), -1);
    ASSERT_EQ(Put(v2, 3, 3), 0u);
    StorageFile_SetReplayBudget(0.1);
    EXPECT_EQ(Sweep(v2.meta), 1);
    EXPECT_TRUE(OnDisk(root + "new.bin.quarvpartial"));
    ASSERT_EQ(Put(v2, 5, 5), 0u);
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Sweep(v1.meta), 1);
    for (const char* copy : {"old.bin.quarvpartial", "new.bin.quarvpartial", "late.bin.quarvpartial", ".quarvpartial"})
        EXPECT_FALSE(OnDisk(root + copy)) << copy;
}

// A file a sync completed from its copy and then failed: once the installed manifest does not list
// it, it goes while it is still the file made; one the manifest lists, or that is no longer that
// file, stays.
TEST_F(StorageFileTest, AFileAFailedSyncCompletedGoesWhenTheInstalledVersionDoesNotListIt) {
    const std::string body(16, 'n');
    Manifest v1(std::vector<File>{{"a.txt", "0123456789"}});
    Manifest v2(std::vector<File>{{"a.txt", "0123456789"}, {"new.bin", body.c_str()}, {"mine.bin", body.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 0), 0u);
    ASSERT_EQ(Complete(v1, "a.txt"), 0u);
    ASSERT_EQ(Put(v2, 1, 2), 0u);
    ASSERT_EQ(Complete(v2, "new.bin"), 0u);
    ASSERT_EQ(Complete(v2, "mine.bin"), 0u);
    // The user put a file of his own in mine.bin's place since.
    ASSERT_EQ(unlink((root + "mine.bin").c_str()), 0);
    Spit(root + "mine.bin", "user's");
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Sweep(v1.meta), 1);
    EXPECT_FALSE(OnDisk(root + "new.bin"));
    EXPECT_EQ(Slurp(root + "mine.bin"), "user's");
    EXPECT_EQ(Slurp(root + "a.txt"), "0123456789");
    EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
}

// What holds the copy's name of a file that is missing is no copy of it: the file is missing.
TEST_F(StorageFileTest, AReadOfAMissingFileWhoseCopyNameIsHeldFindsItMissing) {
    Manifest v1(std::vector<File>{{"gone", "0123456789"}});
    for (const mode_t mode : {0600, 0644}) {
        Spit(root + "gone.quarvpartial", "user's");
        chmod((root + "gone.quarvpartial").c_str(), mode);
        // The record names a copy of it there once made, on this file system, and since replaced.
        struct stat info;
        ASSERT_EQ(stat((root + "gone.quarvpartial").c_str(), &info), 0);
        Spit(root + ".quarvpartial", "0:0:" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino + 1) +
                                         " gone" + '\0');
        chmod((root + ".quarvpartial").c_str(), 0600);
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        Request r(v1, 0, 0, false);
        Result result;
        Storage_Get(storage, r.request, nullptr, &result, OnDone);
        EXPECT_EQ(Wait(result), (uint32_t)STORAGE_ERROR_OS);
        EXPECT_EQ(result.extended, (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + ENOENT));
        EXPECT_EQ(log.Text().find("Not the storage's own file"), std::string::npos) << log.Text();
        EXPECT_EQ(Exists(v1, 0), (uint32_t)STORAGE_NOT_FOUND);
        EXPECT_EQ(Slurp(root + "gone.quarvpartial"), "user's");
    }
}

// Writes that fail partway, as on a full disk: the record's append is taken back and no copy is made.
std::atomic<int> writesLeft{0};
ssize_t ShortWrite(int fd, const void* bytes, size_t length) {
    if (writesLeft-- > 0) return StorageFileOS_SystemCalls()->Write(fd, bytes, length < 3 ? length : 3);
    errno = ENOSPC;
    return -1;
}

TEST_F(StorageFileTest, AFailedAppendFailsTheCopyBeforeItIsMade) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"new.bin", body.c_str()}});
    const std::string before = std::string("0:0:1:2 x") + '\0';
    for (const int writes : {0, 1, 2}) {
        SCOPED_TRACE(writes);
        Spit(root + ".quarvpartial", before);
        chmod((root + ".quarvpartial").c_str(), 0600);
        ASSERT_EQ(Configure("file"), 1);
        StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
        calls.Write = ShortWrite;
        writesLeft = writes;
        StorageFileOS_SetCalls(&calls);
        const uint32_t code = Put(v1, 0, 0);
        StorageFileOS_SetCalls(nullptr);
        EXPECT_EQ(code, (uint32_t)STORAGE_ERROR_OS);
        EXPECT_EQ(Shell("test $(ls -A " + root + " | wc -l) -eq 1"), 0);
        EXPECT_EQ(Slurp(root + ".quarvpartial"), before);
    }
}

// A file the new version turns into a folder, and a folder it turns into a file: what the installed
// version holds there reads as missing, and gives way to the new shape only where the installed
// manifest lists it; anything else in the way is left and the write fails naming it.
TEST_F(StorageFileTest, AShapeTheNewVersionChangesGivesWayOnlyToWhatTheInstalledManifestListed) {
    struct Row {
        const char* name;
        std::vector<File> installed; // listed by the installed manifest, and on disk
        std::vector<std::pair<std::string, std::string>> users; // on disk, listed by nobody
        File next;                                              // the new version's one file
        uint32_t written; // the new version's write: 0 or the errno value it fails with
    };
    const Row rows[] = {
        {"file to folder", {{"bd", "old file"}}, {}, {"bd/inner.bin", "new inner"}, 0},
        {"file to folder, deeper", {{"s/t", "old file"}}, {}, {"s/t/u/v.bin", "new deep"}, 0},
        {"folder to file", {{"fd/x.bin", "old x"}, {"fd/d/y", "old y"}}, {}, {"fd", "new file"}, 0},
        {"a user's file in the way", {}, {{"bd", "the user's"}}, {"bd/inner.bin", "new inner"}, ENOTDIR},
        {"a user's file in the folder",
         {{"fd/x.bin", "old x"}},
         {{"fd/mine", "the user's"}},
         {"fd", "new file"},
         EISDIR},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Shell("rm -rf " + root + " && mkdir -p " + root);
        Manifest installed(row.installed);
        Manifest next(std::vector<File>{row.next});
        auto place = [&](const std::string& name, const std::string& data) {
            Shell("mkdir -p $(dirname " + root + name + ")");
            Spit(root + name, data);
        };
        for (const File& f : row.installed) place(f.name, f.data);
        for (const auto& [name, data] : row.users) place(name, data);
        ASSERT_EQ(Configure("file"), 1);
        StorageCleanup_SetInstalled(storage, installed.meta);
        EXPECT_EQ(Exists(next, 0), (uint32_t)STORAGE_NOT_FOUND);
        {
            Request r(next, 0, 0, false);
            Result result;
            Storage_Get(storage, r.request, nullptr, &result, OnDone);
            Wait(result);
            EXPECT_EQ(result.code, (uint32_t)STORAGE_ERROR_OS);
            EXPECT_EQ(result.extended, (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + ENOENT));
        }
        Result put;
        {
            Request r(next, 0, 0, true);
            Storage_Put(storage, r.request, &put, OnDone);
            Wait(put);
        }
        StorageCleanup_SetInstalled(storage, nullptr);
        if (row.written) {
            EXPECT_EQ(put.code, (uint32_t)STORAGE_ERROR_OS);
            EXPECT_EQ(put.extended, (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + row.written));
            struct stat info;
            EXPECT_TRUE(lstat((root + row.next.name).c_str(), &info) != 0 || !S_ISREG(info.st_mode));
        } else {
            EXPECT_EQ(put.code, 0u);
            EXPECT_EQ(Slurp(root + row.next.name), row.next.data);
            for (const File& f : row.installed)
                EXPECT_TRUE(row.next.name.rfind(f.name + "/", 0) == 0 || !OnDisk(root + f.name)) << f.name;
        }
        for (const auto& [name, data] : row.users) EXPECT_EQ(Slurp(root + name), data) << name;
    }
}

int FailFutimens(int, const struct timespec*) {
    errno = EIO;
    return -1;
}
int FailFchmod(int, mode_t) {
    errno = EIO;
    return -1;
}
int FailFtruncate(int, off_t) {
    errno = EIO;
    return -1;
}
int FailRename(int, const char*, const char*, unsigned int) {
    errno = EIO;
    return -1;
}

// Each call that gives a completed file what its manifest states, failed: the completion fails
// naming the file, never calls it complete; the next completes it as stated.
TEST_F(StorageFileTest, ACompletionThatCannotGiveTheFileWhatItsManifestStatesFails) {
    Manifest m({{"a", "0123456789", R"(,"mtime":1000000000,"attr":4)"}});
    const std::pair<const char*, void (*)(StorageFileOSCalls&)> rows[] = {
        {"time", [](StorageFileOSCalls& c) { c.Futimens = FailFutimens; }},
        {"attributes", [](StorageFileOSCalls& c) { c.Fchmod = FailFchmod; }},
        {"truncate", [](StorageFileOSCalls& c) { c.Ftruncate = FailFtruncate; }},
        {"rename", [](StorageFileOSCalls& c) { c.RenameAt = FailRename; }},
    };
    for (const auto& [what, fail] : rows) {
        SCOPED_TRACE(what);
        Shell("rm -rf " + root + " && mkdir -p " + root);
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
        fail(calls);
        StorageFileOS_SetCalls(&calls);
        const uint32_t code = Put(m, 0, 0);
        StorageFileOS_SetCalls(nullptr);
        EXPECT_EQ(code, (uint32_t)STORAGE_ERROR_OS);
        EXPECT_NE(log.Text().find("(a) (" + std::to_string(PLATFORM_ERROR_ERRNO_BASE + EIO) + ")"),
                  std::string::npos)
            << log.Text();
        EXPECT_EQ(Complete(m, "a"), 0u);
        struct stat info;
        ASSERT_EQ(stat((root + "a").c_str(), &info), 0);
        EXPECT_EQ(info.st_mtime, 1000000000);
        EXPECT_EQ(info.st_mode & 0111, 0111u);
        EXPECT_EQ(Slurp(root + "a"), "0123456789");
    }
}

// Two storages of one folder: the second is refused naming the folder while the first records
// copies there, and neither judges the other's copies.
TEST_F(StorageFileTest, ASecondStorageOfTheFolderIsRefusedWhileTheFirstHoldsIt) {
    const std::string body(32, 'n');
    Manifest first(std::vector<File>{{"big.bin", body.c_str()}});
    Manifest second(std::vector<File>{{"a.txt", "0123456789"}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(first, 0, 0), 0u);
    Storage* holder = storage;
    storage = nullptr;
    LogCapture log;
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Put(second, 0, 0), (uint32_t)STORAGE_ERROR_OS);
    EXPECT_EQ(Sweep(second.meta), 0);
    // Another's folder is left by design: nothing to try again.
    EXPECT_EQ(StorageCleanup_ReplayError(storage), 0);
    EXPECT_NE(log.Text().find("Installation folder (" + root + ") held by another repository"), std::string::npos)
        << log.Text();
    EXPECT_EQ(Slurp(root + "big.bin.quarvpartial"), body.substr(0, 16));
    Release();
    storage = holder;
    ASSERT_EQ(Put(first, 1, 1), 0u);
    EXPECT_EQ(Complete(first, "big.bin"), 0u);
    EXPECT_EQ(Slurp(root + "big.bin"), body);
    Release();
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Put(second, 0, 0), 0u);
}

// A storage shut down lets go of the folder even while a step still holds it (a transfer's
// completion drops its reference after the caller has seen the step end): the next storage of the
// folder makes its copies at once. One whose replay is under way keeps it: that replay would put its
// record in place of the one the next storage appends to.
TEST_F(StorageFileTest, AStorageShutDownLetsGoOfTheFolderWhileAStepStillHoldsIt) {
    Manifest first(std::vector<File>{{"big.bin", std::string(32, 'n').c_str()}});
    Manifest second(std::vector<File>{{"a.txt", "0123456789"}});
    for (const bool replaying : {false, true}) {
        SCOPED_TRACE(replaying ? "replay under way" : "no replay");
        Shell("rm -rf " + root + " && mkdir -p " + root);
        ASSERT_EQ(Configure("file"), 1);
        ASSERT_EQ(Put(first, 0, 0), 0u);
        if (replaying) {
            StorageFile_SetReplayBudget(0);
            EXPECT_EQ(StorageCleanup_RemoveStrayCopies(storage, second.meta), -1);
            StorageFile_SetReplayBudget(0.1);
        }
        Storage* step = storage;
        Storage_AddRef(step);
        Release();
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        EXPECT_EQ(Put(second, 0, 0), replaying ? (uint32_t)STORAGE_ERROR_OS : 0u) << log.Text();
        EXPECT_EQ(log.Text().find("held by another repository") != std::string::npos, replaying) << log.Text();
        Storage_Release(&step);
        ASSERT_EQ(Configure("file"), 1);
        ASSERT_EQ(Put(second, 0, 0), 0u);
        EXPECT_EQ(Complete(second, "a.txt"), 0u);
        EXPECT_EQ(Slurp(root + "a.txt"), "0123456789");
    }
}

// An inode number freed and given to a later file says nothing: only the file's birth, or the token
// it was marked with where no birth is kept, proves it is the one recorded.
TEST(StorageFileOSTest, AFileIsTheRecordedOneOnlyWithAProofALaterFileCannotShare) {
    constexpr uint64_t T = STORAGE_FILE_OS_TOKEN | 5, U = STORAGE_FILE_OS_UNPROVEN;
    const struct {
        uint32_t kind;
        uint64_t inode, birth, token, proof;
        bool same;
    } rows[] = {
        {STORAGE_FILE_OS_FILE, 2, 100, 0, 100, true},
        {STORAGE_FILE_OS_FILE, 2, 101, 0, 100, false}, // the inode given to a later file
        {STORAGE_FILE_OS_FILE, 3, 100, 0, 100, false},
        {STORAGE_FILE_OS_FILE, 2, 100, 0, 0, false},   // recorded without proof
        {STORAGE_FILE_OS_FILE, 2, 0, 0, 0, false},     // no proof on either side
        {STORAGE_FILE_OS_FILE, 2, 0, T, T, true},
        {STORAGE_FILE_OS_FILE, 2, 0, T + 1, T, false},
        {STORAGE_FILE_OS_FILE, 2, 0, 0, T, false},
        {STORAGE_FILE_OS_FILE, 2, 0, 0, U, true},      // this process's own, where nothing proves it
        {STORAGE_FILE_OS_FILE, 2, 100, 0, U, false},
        {STORAGE_FILE_OS_DIRECTORY, 2, 100, 0, 100, false},
        {STORAGE_FILE_OS_LINK, 2, 100, 0, 100, true}, // a link of a link entry, by its birth alone
        {STORAGE_FILE_OS_LINK, 2, 101, 0, 100, false},
        {STORAGE_FILE_OS_LINK, 2, 0, 0, 0, false},
    };
    for (const auto& row : rows) {
        StorageFileOSStatus status{};
        status.Kind = row.kind;
        status.Device = 1;
        status.Inode = row.inode;
        status.Birth = row.birth;
        status.Token = row.token;
        EXPECT_EQ(StorageFileOS_SameFile(status, 1, 2, row.proof), row.same)
            << row.inode << " " << row.birth << " " << row.token << " " << row.proof;
    }
}

// What the storage removes as its own at a name it reserved: a private file; any regular file of
// the user's reached by that name alone where asked; a link of the user's only where asked (the
// storage makes a link under a scratch name), never a folder.
TEST(StorageFileOSTest, OnlyWhatTheCallerMayHaveMadeAtANameIsRemovedAsItsOwn) {
    TempDir dir;
    const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    enum Kind { Private, Shared, Link, Folder };
    for (const Kind kind : {Private, Shared, Link, Folder})
        for (const uint32_t mode : {0u, 1u, STORAGE_FILE_OS_OWN_LINK, 1u | STORAGE_FILE_OS_OWN_LINK}) {
            const std::string path = dir.path() + "/x";
            Shell("rm -rf " + path);
            if (kind == Link) ASSERT_EQ(symlink("target", path.c_str()), 0);
            else if (kind == Folder) ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
            else Spit(path, "x");
            if (kind != Link && kind != Folder) chmod(path.c_str(), kind == Private ? 0600 : 0644);
            const bool gone = kind == Private || (kind == Shared && (mode & 1)) ||
                              (kind == Link && (mode & STORAGE_FILE_OS_OWN_LINK));
            EXPECT_EQ(StorageFileOS_RemoveOwn(folder, "x", mode), gone ? 0 : EEXIST) << kind << " " << mode;
            EXPECT_EQ(OnDisk(path), !gone) << kind << " " << mode;
        }
    close(folder);
}

// A record entry whose copy became its file, in a version the installed manifest does not list:
// the file goes only while the entry proves it is that file. The same device and inode with another
// proof is a later file at the name (the application's own config.ini), which stays; so does one
// where the file system keeps no birth and the entry holds no proof.
TEST_F(StorageFileTest, AFreedCopysInodeGivenToALaterFileIsNeverTakenForTheCopy) {
    Manifest installed(std::vector<File>{{"a.txt", "0123456789"}});
    enum class Proof { Its, Other, None };
    for (const bool births : {true, false})
        for (const Proof proof : {Proof::Its, Proof::Other, Proof::None}) {
            SCOPED_TRACE(std::to_string(births) + " " + std::to_string((int)proof));
            Shell("rm -rf " + root + " && mkdir -p " + root);
            StorageFileOS_SetBirthTimes(births);
            Spit(root + "config.ini", "application's");
            if (!births) {
                // Marked as a copy made here would be.
                const int fd = open((root + "config.ini").c_str(), O_RDWR | O_CLOEXEC);
                StorageFileOSStatus status{};
                ASSERT_EQ(StorageFileOS_StatusOf(fd, &status), 0);
                ASSERT_EQ(StorageFileOS_Mark(fd, &status), 0);
                close(fd);
            }
            std::string identity = Identity(root + "config.ini");
            const size_t last = identity.rfind(':');
            const uint64_t its = std::stoull(identity.substr(last + 1));
            identity = identity.substr(0, last + 1) +
                       std::to_string(proof == Proof::Its ? its : proof == Proof::Other ? its ^ 1 : 0);
            Spit(root + ".quarvpartial", "0:0:" + identity + " config.ini" + '\0');
            chmod((root + ".quarvpartial").c_str(), 0600);
            ASSERT_EQ(Configure("file"), 1);
            EXPECT_EQ(Sweep(installed.meta), 1);
            EXPECT_EQ(OnDisk(root + "config.ini"), proof != Proof::Its);
            EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
        }
    StorageFileOS_SetBirthTimes(1);
}

// Where the file system keeps no birth time, a copy is marked with a token when it is made: a kill
// leaves it recorded with that proof, and the next sync that does not need it removes it.
TEST_F(StorageFileTest, ACopyMadeWhereNoBirthIsKeptIsRemovedByTheNextSync) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"a.txt", "0123456789"}});
    Manifest v2(std::vector<File>{{"a.txt", "0123456789"}, {"new.bin", body.c_str()}});
    StorageFileOS_SetBirthTimes(0);
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v2, 1, 1), 0u);
    ASSERT_TRUE(OnDisk(root + "new.bin.quarvpartial"));
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Sweep(v1.meta), 1);
    StorageFileOS_SetBirthTimes(1);
    EXPECT_FALSE(OnDisk(root + "new.bin.quarvpartial"));
    EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
}

// Repositories that use one folder in turn: each replay judges its own entries only and keeps every
// other's as it stands, so nothing one installed is removed by another, and each cleans its own up.
// Entries an earlier version wrote, for a repository not known, lose their copies but never a file.
TEST_F(StorageFileTest, ARepositorysRecordedFilesAreJudgedByItsOwnReplayOnly) {
    const std::string body(32, 'n');
    Manifest a(std::vector<File>{{"a.txt", "0123456789"}});
    Manifest b(std::vector<File>{{"a.txt", "0123456789"}, {"new_b.bin", body.c_str()}, {"part.bin", body.c_str()}});
    auto as = [&](const char* owner) {
        EXPECT_EQ(Configure("file"), 1);
        StorageCleanup_SetOwner(storage, owner, "");
    };
    // B installs new_b.bin and is cut while part.bin is written; its record stays.
    as("b");
    ASSERT_EQ(Put(b, 1, 2), 0u);
    ASSERT_EQ(Complete(b, "new_b.bin"), 0u);
    ASSERT_EQ(Put(b, 3, 3), 0u);
    ASSERT_TRUE(OnDisk(root + "part.bin.quarvpartial"));
    // An earlier version's entry: a file its copy became, and a copy.
    Spit(root + "old.bin", "old");
    Spit(root + "old.bin.quarvpartial", "old");
    chmod((root + "old.bin.quarvpartial").c_str(), 0600);
    const std::string legacy = "0:0:" + Identity(root + "old.bin") + " old.bin" + '\0' + "0:0:" +
                               Identity(root + "old.bin.quarvpartial") + " old.bin" + '\0';
    // After the record's own first entry, which proves it the storage's.
    const std::string made = Slurp(root + ".quarvpartial"), head = made.substr(0, made.find('\0') + 1);
    ASSERT_EQ(head.rfind("record:" + Identity(root + ".quarvpartial") + '\0', 0), 0u) << made;
    const std::string record = head + legacy + made.substr(head.size());
    Spit(root + ".quarvpartial", record);
    Release();
    // A writes a part.bin of its own beside B's copy, never into it; then replays its manifest,
    // which lists none of them.
    as("a");
    const std::string other(32, 'm');
    Manifest a2(std::vector<File>{{"part.bin", other.c_str()}});
    ASSERT_EQ(Put(a2, 0, 0), 0u);
    EXPECT_EQ(Slurp(root + "part.bin.quarvpartial"), body.substr(0, 16));
    EXPECT_EQ(Slurp(root + "part.bin.quarvpartial1"), other.substr(0, 16));
    EXPECT_EQ(Sweep(a.meta), 1);
    EXPECT_FALSE(OnDisk(root + "part.bin.quarvpartial1"));
    EXPECT_EQ(Slurp(root + "new_b.bin"), body);
    EXPECT_EQ(Slurp(root + "part.bin.quarvpartial"), body.substr(0, 16));
    EXPECT_EQ(Slurp(root + "old.bin"), "old");
    EXPECT_FALSE(OnDisk(root + "old.bin.quarvpartial"));
    // B's own entries are still on record, under its mark, and B's replay judges them.
    const std::string left = Slurp(root + ".quarvpartial");
    EXPECT_NE(left.find(std::string("owner:b") + '\0'), std::string::npos);
    EXPECT_NE(left.find(" part.bin"), std::string::npos);
    as("b");
    EXPECT_EQ(Sweep(a.meta), 1);
    EXPECT_FALSE(OnDisk(root + "new_b.bin"));
    EXPECT_FALSE(OnDisk(root + "part.bin.quarvpartial"));
    EXPECT_EQ(Slurp(root + "old.bin"), "old");
    EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
}

// What an erase finds at a name the version dropped and is not the installation's to erase: another
// user's file (a shared folder), or one of the names kept beside the local manifest an installed
// manifest of an earlier version listed. Each is left and named once, and the erase succeeds.
TEST_F(StorageFileTest, AnEraseLeavesWhatIsNotTheInstallationsToErase) {
    const struct {
        const char* name;
        bool otherUser;
        const char* line;
    } rows[] = {
        {"saves/slot1.sav", true, "File of another user left ("},
        {"manifest.json", false, "Name kept by the installation, left ("},
        {"manifest.json.replaced/readme.txt", false, "Name kept by the installation, left ("},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.otherUser && !CanActAsOtherUser()) continue;
        Shell("rm -rf " + root + " && mkdir -p " + root);
        Manifest installed(std::vector<File>{{row.name, "theirs"}});
        Shell("mkdir -p $(dirname " + root + row.name + ")");
        Spit(root + row.name, "theirs");
        if (row.otherUser) {
            ASSERT_EQ(lchown((root + row.name).c_str(), kOtherUser, kOtherUser), 0);
        }
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        StorageCleanup_SetOwner(storage, "game", "manifest.json");
        EXPECT_EQ(Erase(installed, row.name), 0u);
        EXPECT_EQ(Erase(installed, row.name), 0u);
        EXPECT_EQ(Slurp(root + row.name), "theirs");
        const std::string line = row.line + root + row.name + ")";
        const std::string text = log.Text();
        const size_t at = text.find(line);
        EXPECT_NE(at, std::string::npos) << text;
        EXPECT_EQ(text.find(line, at + 1), std::string::npos) << text;
    }
}

// A replay that cannot write down what stays on record (a full disk) leaves the record as it was:
// every copy it names is still named, and the replay says it failed.
TEST_F(StorageFileTest, AReplayThatCannotWriteDownWhatStaysLeavesTheRecordWhole) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"big.bin", body.c_str()}, {"two.bin", body.c_str()}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 0), 0u);
    ASSERT_EQ(Put(v1, 2, 2), 0u);
    Release();
    const std::string before = Slurp(root + ".quarvpartial");
    ASSERT_EQ(Configure("file"), 1);
    StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
    calls.Write = ShortWrite;
    writesLeft = 0;
    StorageFileOS_SetCalls(&calls);
    // The copies of listed files hold progress to continue: they stay on record.
    const int64_t swept = Sweep(v1.meta);
    StorageFileOS_SetCalls(nullptr);
    EXPECT_EQ(swept, 0);
    EXPECT_EQ(Slurp(root + ".quarvpartial"), before);
    EXPECT_FALSE(OnDisk(root + ".quarvpartial~"));
    EXPECT_EQ(Sweep(v1.meta), 1);
    const std::string after = Slurp(root + ".quarvpartial");
    EXPECT_NE(after.find(" big.bin"), std::string::npos);
    EXPECT_NE(after.find(" two.bin"), std::string::npos);
}

int UnlinkNoCopy(int directory, const char* name, int flags) {
    if (!strcmp(name, "new.bin.quarvpartial")) {
        errno = EIO;
        return -1;
    }
    return StorageFileOS_SystemCalls()->UnlinkAt(directory, name, flags);
}
int FailFsync(int) {
    errno = EIO;
    return -1;
}

// A replay that cannot end gives the error that kept it from its end, for the sync to fail and try
// again: a copy it could not remove, what stays that it could not write down, an unfinished mark
// that could not last, a record that could not take its place. What is left by design (a copy
// reached by a second name) gives none, nor does a later replay for an earlier one's error.
TEST_F(StorageFileTest, AReplayThatCannotEndGivesTheErrorThatKeptIt) {
    Manifest v1(std::vector<File>{{"new.bin", std::string(32, 'n').c_str()}});
    const struct {
        const char* what;
        void (*fail)(StorageFileOSCalls&);
        bool unfinished, listed;
        int error;
    } rows[] = {
        {"copy not removed", [](StorageFileOSCalls& c) { c.UnlinkAt = UnlinkNoCopy; }, false, false, EIO},
        {"what stays not written", [](StorageFileOSCalls& c) { c.Write = ShortWrite; }, false, true, ENOSPC},
        {"mark not lasting", [](StorageFileOSCalls& c) { c.Fsync = FailFsync; }, true, false, EIO},
        {"record not in place", [](StorageFileOSCalls& c) { c.RenameAt = FailRename; }, false, true, EIO},
        {"second name", [](StorageFileOSCalls&) {}, false, false, 0},
    };
    const std::string copy = root + "new.bin.quarvpartial";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Shell("rm -rf " + root + " && mkdir -p " + root);
        ASSERT_EQ(Configure("file"), 1);
        if (row.unfinished) {
            ASSERT_EQ(StorageCleanup_MarkUnfinished(storage), 0);
        }
        ASSERT_EQ(Put(v1, 0, 0), 0u);
        if (!row.error) {
            ASSERT_EQ(link(copy.c_str(), (root + "second").c_str()), 0);
        }
        ASSERT_EQ(Configure("file"), 1);
        StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
        row.fail(calls);
        writesLeft = 0;
        StorageFileOS_SetCalls(&calls);
        const int64_t swept = Sweep(row.listed ? v1.meta : nullptr);
        StorageFileOS_SetCalls(nullptr);
        // The copy reached by a second name is left to the user, and keeps no record alive.
        EXPECT_EQ(swept, row.error ? 0 : 1);
        EXPECT_EQ(StorageCleanup_ReplayError(storage), row.error);
        if (!row.error || !OnDisk(copy)) continue;
        ASSERT_EQ(link(copy.c_str(), (root + "second").c_str()), 0);
        EXPECT_EQ(Sweep(nullptr), 1);
        EXPECT_EQ(StorageCleanup_ReplayError(storage), 0);
        EXPECT_TRUE(OnDisk(copy));
        EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
    }
}

// A copy made at its scratch name and cut between its link to the copy's name and the scratch
// name's removal is reached by two names, both the storage's own: the replay removes both, and the
// record ends.
TEST_F(StorageFileTest, ACopyCutBeforeItsScratchNameWentIsRemovedByBothNames) {
    Manifest v1(std::vector<File>{{"new.bin", std::string(32, 'n').c_str()}});
    const std::string copy = root + "new.bin.quarvpartial";
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 0), 0u);
    ASSERT_TRUE(OnDisk(copy));
    ASSERT_EQ(link(copy.c_str(), (copy + "~").c_str()), 0);
    ASSERT_EQ(Configure("file"), 1);
    EXPECT_EQ(Sweep(nullptr), 1);
    EXPECT_EQ(StorageCleanup_ReplayError(storage), 0);
    EXPECT_FALSE(OnDisk(copy));
    EXPECT_FALSE(OnDisk(copy + "~"));
    EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
}

// An append after an entry cut by a full disk takes back the cut entry only: every whole entry
// before it stays on record.
TEST_F(StorageFileTest, AnAppendAfterACutEntryKeepsEveryWholeEntryBeforeIt) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"new.bin", body.c_str()}});
    const std::string whole = std::string("0:0:1:2:3 x") + '\0' + "0:0:1:2:4 y" + '\0';
    Spit(root + ".quarvpartial", whole + "0:0:1:2:5 z");
    chmod((root + ".quarvpartial").c_str(), 0600);
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 0), 0u);
    const std::string record = Slurp(root + ".quarvpartial");
    EXPECT_EQ(record.substr(0, whole.size()), whole);
    EXPECT_EQ(record.substr(whole.size(), 7), std::string("owner:") + '\0');
    EXPECT_EQ(record.find(" z"), std::string::npos);
    EXPECT_NE(record.find(" new.bin"), std::string::npos);
}


// ---- The record's own name ----------------------------------------------------------------------

// What stands at one of the record's reserved names before a storage comes: nothing; a record of
// the storage's (its first entry its own identity, naming a copy of its own); one an earlier
// version made (no such entry; the usual name only); and what must be left unread: another
// account's file proving itself as a record would, a file of the same account carrying a record's
// entries but another file's identity (a record copied) or none, a second name of a record of
// ours, a folder, and a link to a record of ours outside.
enum class At { Missing, Ours, Earlier, Other, Stale, Linked, Folder, Link };
constexpr At kAll[] = {At::Missing, At::Ours,   At::Earlier, At::Other,
                       At::Stale,   At::Linked, At::Folder,  At::Link};

// Runs `command` as the other user (its own process), in the shell.
int AsOtherUser(const std::string& command) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(kOtherUser) != 0 || setuid(kOtherUser) != 0) _exit(126);
        execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What an entry is, to tell whether it was touched: kind, owner, inode, links, and bytes or target.
std::string Snapshot(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return "-";
    std::string what = std::to_string(info.st_mode) + ":" + std::to_string(info.st_uid) + ":" +
                       std::to_string(info.st_ino) + ":" + std::to_string(info.st_nlink) + ":";
    char target[256] = {0};
    if (S_ISLNK(info.st_mode))
        return what + std::string(target, (size_t)std::max<ssize_t>(
                                              0, readlink(path.c_str(), target, sizeof(target))));
    return what + (S_ISREG(info.st_mode) ? Slurp(path) : Slurp(path + "/f"));
}

// Over layouts of the reserved names, against the model: the first record proven the storage's is
// used (one an earlier version left at the usual name when none is), else the first free name
// takes a new one whose first entry is its own identity; a copy recorded goes on record there, and
// the replay at the sync's end removes what that record names and the record itself. Every other
// record of ours is taken into it, its name removed, and what it names by identity goes; one that
// names another file (a copy) leaves the installation unfinished, a second name of one does not. Every other
// entry at those names is left as it was, never read (the user's file that each names by its
// identity stays), and named once as it is met.
TEST_F(StorageFileTest, TheRecordOfCopiesIsTheFirstProvenOursAmongItsReservedNamesElseTheFirstFree) {
    if (!CanActAsOtherUser()) GTEST_SKIP() << "needs root to act as another user";
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"n.bin", body.c_str()}});
    const std::string base = root.substr(0, root.size() - 5);
    ASSERT_EQ(chmod(base.c_str(), 0711), 0);
    auto nameOf = [](uint32_t n) { return ".quarvpartial" + (n ? std::to_string(n) : std::string()); };
    const uint32_t far[] = {3, 17, 64};
    uint32_t layouts = 0;
    for (At a : kAll)
        for (At b : kAll)
            for (At c : kAll) {
                if (b == At::Earlier || c == At::Earlier) continue;
                const uint32_t farName = far[layouts % 3];
                // The far name's state is drawn from the layout's number, never the earlier version's.
                const At d =
                    kAll[(layouts * 5 + 3) % 8] == At::Earlier ? At::Ours : kAll[(layouts * 5 + 3) % 8];
                layouts++;
                const std::vector<std::pair<uint32_t, At>> layout = {{0, a}, {1, b}, {2, c}, {farName, d}};
                std::string trace;
                for (const auto& [n, at] : layout)
                    trace += std::to_string(n) + "=" + std::to_string((int)at) + " ";
                SCOPED_TRACE(trace);
                ASSERT_EQ(Shell("rm -rf " + root + " " + outside + "* && mkdir -p " + root +
                                " && chmod 1777 " + root),
                          0);
                Spit(root + "v.bin.quarvpartial", "the user's");
                ASSERT_EQ(chmod((root + "v.bin.quarvpartial").c_str(), 0600), 0);
                const std::string victim = "0:0:" + Identity(root + "v.bin.quarvpartial") + " v.bin" + '\0';
                // The model: the name used, and what each record of ours names; a record of ours that
                // no longer proves itself (copied, linked) is taken into it and its name goes.
                int used = -1, free = -1;
                std::set<uint32_t> taken, moved, linked;
                for (const auto& [n, at] : layout) {
                    const std::string path = root + nameOf(n),
                                      copy = root + "c" + std::to_string(n) + ".bin.quarvpartial";
                    if (at == At::Ours || at == At::Earlier) {
                        Spit(copy, "copy");
                        ASSERT_EQ(chmod(copy.c_str(), 0600), 0);
                        PlantRecord(path, at == At::Ours ? "self" : "",
                                    "0:0:" + Identity(copy) + " c" + std::to_string(n) + ".bin" + '\0');
                        if (at == At::Ours && used < 0) used = (int)n;
                    } else if (at == At::Other) {
                        // Its own identity, as a record of ours would carry it: its owner alone tells it
                        // apart.
                        PlantRecord(path, "self", victim);
                        ASSERT_EQ(chmod(path.c_str(), n % 2 ? 0644 : 0600), 0);
                        ASSERT_EQ(lchown(path.c_str(), kOtherUser, kOtherUser), 0);
                    } else if (at == At::Stale) {
                        // A record copied, one naming this very inode with another proof (a file
                        // given a freed record's inode and bytes), or one without its first entry;
                        // at the usual name, text in place of the last (with and without a NUL).
                        const uint32_t form = (n + layouts) % 3;
                        if (form == 0)
                            PlantRecord(path, Identity(root + "v.bin.quarvpartial"), victim);
                        else if (form == 1)
                            PlantRecord(path, "reborn", victim);
                        if (form < 2) moved.insert(n);
                        else if (n)
                            PlantRecord(path, "", victim);
                        else
                            PlantRecord(path, "",
                                        layouts % 2 ? "12 apples"
                                                    : std::string("notes") + '\0' + "12 apples");
                    } else if (at == At::Linked) {
                        PlantRecord(outside + "linked" + std::to_string(n), "self", victim);
                        ASSERT_EQ(link((outside + "linked" + std::to_string(n)).c_str(), path.c_str()), 0);
                        linked.insert(n);
                    } else if (at == At::Folder) {
                        ASSERT_EQ(AsOtherUser("mkdir " + path + " && printf planted > " + path + "/f"), 0);
                    } else if (at == At::Link) {
                        PlantRecord(outside + "target" + std::to_string(n), "self", victim);
                        ASSERT_EQ(AsOtherUser("ln -s " + outside + "target" + std::to_string(n) + " " + path),
                                  0);
                    }
                }
                if (used < 0 && a == At::Earlier) used = 0;
                // Every other record of ours is taken into the one used.
                taken = moved;
                taken.insert(linked.begin(), linked.end());
                for (const auto& [n, at] : layout)
                    if ((at == At::Ours || at == At::Earlier) && (int)n != used) taken.insert(n);
                const bool made = used < 0;
                for (uint32_t n = 0; made && free < 0 && n <= 64; n++) {
                    bool taken = false;
                    for (const auto& [m, at] : layout) taken = taken || (m == n && at != At::Missing);
                    if (!taken) free = (int)n;
                }
                if (made) used = free;
                std::vector<std::pair<std::string, std::string>> before;
                for (const auto& [n, at] : layout)
                    if ((int)n != used && !taken.count(n))
                        before.emplace_back(root + nameOf(n), Snapshot(root + nameOf(n)));
                LogCapture log;
                ASSERT_EQ(Configure("file"), 1);
                ASSERT_EQ(Put(v1, 0, 0), 0u);
                const std::string record = root + nameOf((uint32_t)used);
                const std::string text = Slurp(record);
                EXPECT_NE(text.find(std::string(" n.bin") + '\0'), std::string::npos) << record;
                if (made) {
                    EXPECT_EQ(text.rfind("record:" + Identity(record) + '\0', 0), 0u) << record;
                }
                EXPECT_EQ(Sweep(nullptr), 1);
                EXPECT_FALSE(OnDisk(root + "n.bin.quarvpartial"));
                // What a record taken up held is judged as the record's own: the file it names by
                // its identity goes, and the installation stays unfinished until a sync completes.
                EXPECT_EQ(OnDisk(record), !moved.empty());
                EXPECT_EQ(Slurp(record).find(std::string("unfinished") + '\0') != std::string::npos, !moved.empty());
                EXPECT_FALSE(OnDisk(record + "~"));
                EXPECT_EQ(OnDisk(root + "v.bin.quarvpartial"), moved.empty() && linked.empty());
                for (const uint32_t n : taken) EXPECT_FALSE(OnDisk(root + nameOf(n))) << n;
                for (const auto& [n, at] : layout)
                    if (at == At::Linked) {
                        EXPECT_TRUE(OnDisk(outside + "linked" + std::to_string(n))) << n;
                    }
                for (const auto& [n, at] : layout)
                    if (at == At::Ours || at == At::Earlier) {
                        EXPECT_EQ(OnDisk(root + "c" + std::to_string(n) + ".bin.quarvpartial"),
                                  (int)n != used && !taken.count(n))
                            << n;
                    }
                for (const auto& [path, was] : before) EXPECT_EQ(Snapshot(path), was) << path;
                // Each entry not used is named once where the walk met it: all of them where no
                // record proved the storage's, those before it where one did.
                const std::string printed = log.Text();
                for (const auto& [n, at] : layout) {
                    const std::string named =
                        "Record of copies not the storage's own (" + root + nameOf(n) + ")";
                    const size_t first = printed.find(named);
                    const bool met = at != At::Missing && (int)n != used && !taken.count(n);
                    EXPECT_EQ(first != std::string::npos, met) << n << printed;
                    if (met) {
                        EXPECT_EQ(printed.find(named, first + 1), std::string::npos) << n;
                    }
                }
                Release();
            }
}

// Between the walk over the record's names and the storage's own acts, another account takes the
// free name (the exclusive create passes to the next), or the record found is swapped for a copy of
// itself (the name is proven again on what its open reaches: the copy is left, the record found anew).
TEST_F(StorageFileTest, ARecordNameTakenOrSwappedAfterTheWalkIsProvenAgainOnItsDescriptor) {
    if (!CanActAsOtherUser()) GTEST_SKIP() << "needs root to act as another user";
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"n.bin", body.c_str()}});
    ASSERT_EQ(chmod(root.substr(0, root.size() - 5).c_str(), 0711), 0);
    ASSERT_EQ(chmod(root.c_str(), 01777), 0);
    static std::string squat;
    static int squatted;
    for (const uint32_t unnamed : {1u, 0u}) {
        SCOPED_TRACE(unnamed ? "unnamed" : "named");
        Shell("rm -f " + root + ".quarvpartial*");
        StorageFileOS_SetUnnamedCopies(unnamed);
        squat = root + ".quarvpartial";
        squatted = 0;
        // The other account takes the name just before the storage's exclusive create or link: a file
        // made there, or one of its own renamed there.
        StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
        calls.OpenAt = [](int directory, const char* name, int flags, mode_t mode) {
            if ((flags & O_EXCL) && !strcmp(name, ".quarvpartial") && !squatted++)
                AsOtherUser("printf theirs > " + squat + "t && mv " + squat + "t " + squat);
            return StorageFileOS_SystemCalls()->OpenAt(directory, name, flags, mode);
        };
        calls.LinkAt = [](int from, const char* fromName, int to, const char* toName, int flags) {
            if (!strcmp(toName, ".quarvpartial") && !squatted++) AsOtherUser("printf theirs > " + squat);
            return StorageFileOS_SystemCalls()->LinkAt(from, fromName, to, toName, flags);
        };
        StorageFileOS_SetCalls(&calls);
        ASSERT_EQ(Configure("file"), 1);
        const uint32_t put = Put(v1, 0, 0);
        StorageFileOS_SetCalls(nullptr);
        StorageFileOS_SetUnnamedCopies(1);
        EXPECT_EQ(put, 0u);
        EXPECT_EQ(squatted, 1);
        EXPECT_EQ(Slurp(squat), "theirs");
        // The copy keeps its usual name: the record found its own at once.
        EXPECT_TRUE(OnDisk(root + "n.bin.quarvpartial"));
        const std::string record = root + ".quarvpartial1";
        EXPECT_EQ(Slurp(record).rfind("record:" + Identity(record) + '\0', 0), 0u);
        // The record is moved up a name and a copy of it put back, which proves nothing but may hold
        // the installation's state: it is taken into the record, its name goes, and the state is
        // not known (the installation is repaired).
        ASSERT_EQ(Shell("rm " + squat + " && mv " + record + " " + root + ".quarvpartial3 && cp -p " + root +
                        ".quarvpartial3 " + record),
                  0);
        LogCapture log;
        // The next run's first look takes it up, and a run killed right after still finds the state
        // unknown.
        for (int look = 0; look < 2; look++) {
            Release();
            ASSERT_EQ(Configure("file"), 1);
            EXPECT_EQ(StorageCleanup_IsUnfinished(storage), 1) << look;
        }
        EXPECT_EQ(Sweep(nullptr), 1);
        EXPECT_FALSE(OnDisk(root + "n.bin.quarvpartial"));
        EXPECT_FALSE(OnDisk(record));
        EXPECT_NE(Slurp(root + ".quarvpartial3").find(std::string("unfinished") + '\0'), std::string::npos);
        EXPECT_NE(log.Text().find("Record of copies moved or copied, taken up (" + record + ")"),
                  std::string::npos)
            << log.Text();
        Release();
    }
}


// While a replay goes in turns its record is swapped for a copy of itself: the end of the replay
// neither replaces nor removes the copy (the name no longer leads to the record it read), whether
// something stays on record or nothing does. A file of the same account at the replay's scratch
// name is not the storage's either: named once and left, and it holds up nothing.
TEST_F(StorageFileTest, TheEndOfAReplayActsOnlyOnTheRecordItOpened) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"n.bin", body.c_str()}});
    const std::string record = root + ".quarvpartial";
    for (const bool stays : {false, true}) {
        SCOPED_TRACE(stays ? "another repository's entry stays" : "nothing stays");
        Shell("rm -rf " + root + " && mkdir -p " + root);
        ASSERT_EQ(Configure("file"), 1);
        ASSERT_EQ(Put(v1, 0, 0), 0u);
        if (stays) {
            std::ofstream(record, std::ios::binary | std::ios::app)
                << std::string("owner:0123456789abcdef") + '\0' + "0:0:1:2:3 zz" + '\0';
        }
        void* backend = nullptr;
        ASSERT_EQ(Storage_GetInterfaceHandle(storage, &backend), 1);
        StorageFile_SetReplayBudget(0);
        const int64_t first = StorageFile_RemoveStrayCopies(backend, nullptr);
        StorageFile_SetReplayBudget(0.1);
        ASSERT_EQ(first, -1);
        ASSERT_EQ(Shell("mv " + record + " " + root + "moved && cp -p " + root + "moved " + record), 0);
        const std::string copied = Slurp(record);
        EXPECT_EQ(Sweep(nullptr), 0);
        EXPECT_EQ(Slurp(record), copied);
        EXPECT_FALSE(OnDisk(root + "n.bin.quarvpartial"));
        Release();
    }
    Shell("rm -rf " + root + " && mkdir -p " + root);
    Spit(record + "~", "the user's");
    ASSERT_EQ(chmod((record + "~").c_str(), 0600), 0);
    LogCapture log;
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 0), 0u);
    EXPECT_EQ(Sweep(nullptr), 1);
    EXPECT_EQ(Sweep(nullptr), 1);
    EXPECT_EQ(Slurp(record + "~"), "the user's");
    EXPECT_FALSE(OnDisk(root + "n.bin.quarvpartial"));
    const std::string named = "Record of copies not the storage's own (" + record + "~)";
    const size_t at = log.Text().find(named);
    EXPECT_NE(at, std::string::npos) << log.Text();
    EXPECT_EQ(log.Text().find(named, at + 1), std::string::npos) << log.Text();
}

// A record whose first entry cannot be written (a full disk) fails the copy and leaves nothing at
// its name, made without one or not: the next run takes the usual name.
TEST_F(StorageFileTest, ARecordWhoseFirstEntryFailsLeavesNothingAtItsName) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"n.bin", body.c_str()}});
    for (const uint32_t unnamed : {1u, 0u}) {
        SCOPED_TRACE(unnamed ? "unnamed" : "named");
        Shell("rm -rf " + root + " && mkdir -p " + root);
        StorageFileOS_SetUnnamedCopies(unnamed);
        StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
        calls.Write = [](int fd, const void* bytes, size_t length) -> ssize_t {
            if (length > 7 && !memcmp(bytes, "record:", 7)) {
                errno = ENOSPC;
                return -1;
            }
            return StorageFileOS_SystemCalls()->Write(fd, bytes, length);
        };
        StorageFileOS_SetCalls(&calls);
        ASSERT_EQ(Configure("file"), 1);
        const uint32_t failed = Put(v1, 0, 0);
        StorageFileOS_SetCalls(nullptr);
        EXPECT_NE(failed, 0u);
        EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
        EXPECT_FALSE(OnDisk(root + ".quarvpartial1"));
        ASSERT_EQ(Configure("file"), 1);
        EXPECT_EQ(Put(v1, 0, 0), 0u);
        StorageFileOS_SetUnnamedCopies(1);
        EXPECT_EQ(Slurp(root + ".quarvpartial").rfind("record:" + Identity(root + ".quarvpartial") + '\0', 0),
                  0u);
        EXPECT_EQ(Sweep(nullptr), 1);
        EXPECT_FALSE(OnDisk(root + ".quarvpartial"));
        Release();
    }
}

} // namespace

// Where the file system keeps no proof of a file, one is recorded by the moment of its last change:
// it is the same file only with that very moment, never a file given its inode since (changed
// later), and never where a birth or token tells otherwise.
TEST(StorageFileProofTest, AFileRecordedByItsLastChangeIsThatFileAlone) {
    StorageFileOSStatus status{};
    status.Kind = STORAGE_FILE_OS_FILE;
    status.Device = 7;
    status.Inode = 42;
    status.Changed = 1765300000123456789ull;
    const uint64_t proof = StorageFileOS_ChangedProof(status);
    EXPECT_EQ(proof, STORAGE_FILE_OS_CHANGED | 1765300000123456789ull);
    EXPECT_TRUE(StorageFileOS_SameFile(status, 7, 42, proof));
    StorageFileOSStatus later = status;
    later.Changed++;
    EXPECT_FALSE(StorageFileOS_SameFile(later, 7, 42, proof));
    EXPECT_FALSE(StorageFileOS_SameFile(status, 7, 43, proof));
    StorageFileOSStatus born = status;
    born.Birth = 1765300000000000000ull;
    EXPECT_FALSE(StorageFileOS_SameFile(born, 7, 42, proof));
    // A copy named at random is matched by its device and inode, on such a file system alone.
    EXPECT_TRUE(StorageFileOS_SameFile(status, 7, 42, STORAGE_FILE_OS_UNPROVEN));
    EXPECT_FALSE(StorageFileOS_SameFile(born, 7, 42, STORAGE_FILE_OS_UNPROVEN));
}

namespace {

// A copy of a record of ours that others may write into says nothing the storage can take: it is
// named and left as it is, whoever's bytes it holds now.
TEST_F(StorageFileTest, ACopiedRecordOthersMayWriteIsNeverTakenUp) {
    const std::string body(32, 'n');
    Manifest v1(std::vector<File>{{"n.bin", body.c_str()}});
    for (const mode_t mode : {0620, 0602}) {
        Shell("rm -rf " + root + " && mkdir -p " + root);
        ASSERT_EQ(Configure("file"), 1);
        ASSERT_EQ(Put(v1, 0, 0), 0u);
        const std::string copy = root + ".quarvpartial5";
        ASSERT_EQ(Shell("cp -p " + root + ".quarvpartial " + copy), 0);
        ASSERT_EQ(chmod(copy.c_str(), mode), 0);
        const std::string before = Slurp(copy);
        Release();
        LogCapture log;
        ASSERT_EQ(Configure("file"), 1);
        EXPECT_EQ(StorageCleanup_IsUnfinished(storage), 0) << mode;
        EXPECT_EQ(Slurp(copy), before) << mode;
        EXPECT_NE(log.Text().find("Record of copies not the storage's own (" + copy + ")"), std::string::npos)
            << log.Text();
        Release();
    }
}

// ---- The sweep ahead of an update ---------------------------------------------------------------

// The check of one piece of m (its files' status asked again, but for what the sweep serves). The
// place a walk carries changes no answer, wherever it stands.
uint32_t ExistsNow(Storage* storage, Manifest& m, int32_t index, StorageFileSweep* sweep) {
    Request r(m, index, index, false);
    uint32_t code = 0xffffffff;
    EXPECT_EQ(StorageFile_ExistsAtOnce(storage, r.request, &code, sweep), 1);
    for (const uint32_t from : {0u, 1u, 2u, 3u, 9u, UINT32_MAX}) {
        uint32_t place = from, placed = 0xffffffff;
        EXPECT_EQ(StorageFile_ExistsAtOnce(storage, r.request, &placed, sweep, &place), 1);
        EXPECT_EQ(placed, code) << "from place " << from;
    }
    return code;
}

// What a sweep of the installed files found serves a check only where the check would answer the
// same now. Each row: what stands between the sweep and the check of the file "d/b" (two pieces,
// 2 and 3); "d/a" (pieces 0 and 1) is removed after the sweep, so that where its verdict is taken
// the check answers as the sweep found it.
TEST_F(StorageFileTest, ASweepAnswersOnlyWhatTheCheckWouldAnswerNow) {
    enum class Case { Nothing, Removed, Cut, Touched, Moded, CopyBeside, Unjudged, Relisted, Stopped, Reconfigured };
    const char* timed = R"(,"mtime":1577836800,"attr":0)";
    const std::string a = "0123456789abcdef0123456789ABCDEF", b = "ABCDEFGHIJKLMNOPabcdefghijklmnop";
    const std::string b2 = "abcdefghijklmnopabcdefghijklmnop";
    for (Case c : {Case::Nothing, Case::Removed, Case::Cut, Case::Touched, Case::Moded, Case::CopyBeside,
                   Case::Unjudged, Case::Relisted, Case::Stopped, Case::Reconfigured}) {
        SCOPED_TRACE((int)c);
        Release();
        Shell("rm -rf " + root + " && mkdir -p " + root);
        Manifest v1(std::vector<File>{{"d/a", a.c_str(), timed}, {"d/b", b.c_str(), timed}});
        // The new version lists both as installed but for the row that lists "d/b" otherwise; the
        // row with a copy beside it has another first piece there, its second the same.
        Manifest v2(std::vector<File>{{"d/a", a.c_str(), timed},
                                      {"d/b", (c == Case::CopyBeside ? b2 : b).c_str(),
                                       c == Case::Relisted ? R"(,"mtime":1577836801,"attr":0)" : timed}});
        ASSERT_EQ(Configure("file"), 1);
        ASSERT_EQ(Put(v1, 0, 3), 0u);
        ASSERT_EQ(Complete(v1, "d/a"), 0u);
        ASSERT_EQ(Complete(v1, "d/b"), 0u);
        // As a completed sync leaves it: the record names no copy.
        ASSERT_EQ(Sweep(v1.meta), 1);
        if (c == Case::CopyBeside) {
            // A copy of ours beside the file, on record, left by a storage before this one.
            ASSERT_EQ(Put(v2, 2, 2), 0u);
            ASSERT_EQ(Configure("file"), 1);
            ASSERT_TRUE(OnDisk(root + "d/b.quarvpartial"));
        }
        const std::string path = root + "d/b";
        if (c == Case::Removed) {
            ASSERT_EQ(unlink(path.c_str()), 0);
        }
        if (c == Case::Cut) {
            ASSERT_EQ(truncate(path.c_str(), 31), 0);
        }
        if (c == Case::Touched) {
            ASSERT_EQ(Shell("touch " + path), 0);
        }
        if (c == Case::Moded) {
            ASSERT_EQ(chmod(path.c_str(), 0755), 0);
        }
        // A folder the sweep may not enter (a link): its files are not judged, then it is put back
        // with "d/b" cut.
        if (c == Case::Unjudged) {
            ASSERT_EQ(Shell("mv " + root + "d " + root + "e && ln -s e " + root + "d"), 0);
        }
        StorageCleanup_SetInstalled(storage, v1.meta);
        StorageFileSweep* sweep = nullptr;
        ASSERT_EQ(StorageFile_SweepStart(storage, v1.meta, &sweep), 1);
        StorageFile_SweepFinish(sweep);
        EXPECT_EQ(StorageFile_SweepFits(storage, sweep), 1);
        if (c == Case::Unjudged) {
            ASSERT_EQ(Shell("rm " + root + "d && mv " + root + "e " + root + "d"), 0);
            ASSERT_EQ(truncate(path.c_str(), 31), 0);
        }
        if (c == Case::Stopped) {
            StorageFile_SweepStop(sweep);
        }
        if (c == Case::Reconfigured) {
            ASSERT_EQ(Configure("file"), 1);
            StorageCleanup_SetInstalled(storage, v1.meta);
            EXPECT_EQ(StorageFile_SweepFits(storage, sweep), 0);
        }
        ASSERT_EQ(unlink((root + "d/a").c_str()), 0);
        // Nor is a file served whose folder the sweep could not enter.
        const bool served = c != Case::Stopped && c != Case::Reconfigured && c != Case::Unjudged;
        EXPECT_EQ(ExistsNow(storage, v2, 0, sweep), served ? 0u : (uint32_t)STORAGE_NOT_FOUND);
        EXPECT_EQ(ExistsNow(storage, v2, 0, nullptr), (uint32_t)STORAGE_NOT_FOUND);
        const uint32_t now = ExistsNow(storage, v2, 3, nullptr);
        EXPECT_EQ(now, c == Case::Nothing || c == Case::Stopped || c == Case::Reconfigured ? 0u
                                                                                            : (uint32_t)STORAGE_NOT_FOUND);
        EXPECT_EQ(ExistsNow(storage, v2, 3, sweep), now);
        StorageCleanup_SetInstalled(storage, nullptr);
        StorageFile_SweepRelease(&sweep);
    }
}

} // namespace

namespace {

// A check that meets files no claim of a sweep has judged yet judges them for the sweep on its own
// thread, and the verdicts serve later checks as the sweep's own do; the storage may be set up
// again (as it was) meanwhile. Here no task of the I/O worker takes a chunk: all are left to checks.
TEST_F(StorageFileTest, ACheckAheadOfTheSweepJudgesForIt) {
    const char* timed = R"(,"mtime":1577836800,"attr":0)";
    const std::string a = "0123456789abcdef0123456789ABCDEF", b = "ABCDEFGHIJKLMNOPabcdefghijklmnop";
    Shell("rm -rf " + root + " && mkdir -p " + root);
    Manifest v1(std::vector<File>{{"d/a", a.c_str(), timed}, {"d/b", b.c_str(), timed}});
    ASSERT_EQ(Configure("file"), 1);
    ASSERT_EQ(Put(v1, 0, 3), 0u);
    ASSERT_EQ(Complete(v1, "d/a"), 0u);
    ASSERT_EQ(Complete(v1, "d/b"), 0u);
    ASSERT_EQ(Sweep(v1.meta), 1);
    StorageCleanup_SetInstalled(storage, v1.meta);
    ASSERT_EQ(IOWorker_Remove(), 1);
    StorageFileSweep* sweep = nullptr;
    const int64_t started = StorageFile_SweepStart(storage, v1.meta, &sweep);
    ASSERT_EQ(IOWorker_Init(), 1);
    ASSERT_EQ(started, 1);
    Dictionary* same = nullptr;
    Dictionary_Create(&same);
    Dictionary_SetStringByKey(same, "type", "file");
    Dictionary_SetStringByKey(same, "path", root.c_str());
    EXPECT_EQ(Storage_Configure(storage, nullptr, same, nullptr), 1);
    Dictionary_Release(&same);
    EXPECT_EQ(StorageFile_SweepFits(storage, sweep), 1);
    // "d/b" (pieces 2 and 3) shares the sweep's first chunk with "d/a": its check judges both.
    EXPECT_EQ(ExistsNow(storage, v1, 2, sweep), 0u);
    ASSERT_EQ(unlink((root + "d/a").c_str()), 0);
    EXPECT_EQ(ExistsNow(storage, v1, 0, sweep), 0u);
    EXPECT_EQ(ExistsNow(storage, v1, 0, nullptr), (uint32_t)STORAGE_NOT_FOUND);
    StorageFile_SweepStop(sweep);
    EXPECT_EQ(ExistsNow(storage, v1, 0, sweep), (uint32_t)STORAGE_NOT_FOUND);
    StorageCleanup_SetInstalled(storage, nullptr);
    StorageFile_SweepRelease(&sweep);
}

} // namespace

namespace {

// The calls of one mark: the link that names the record, and the flushes, in order, with the
// identity (device, inode) of what each flushed.
std::vector<std::string> g_markCalls;
int LinkNoted(int from, const char* f, int to, const char* t, int flags) {
    const int linked = StorageFileOS_SystemCalls()->LinkAt(from, f, to, t, flags);
    if (linked == 0) g_markCalls.push_back(std::string("link ") + t);
    return linked;
}
// Set: a folder's flush fails as on a file system that flushes no folder on its own.
bool g_folderFlushRefused = false;
int FsyncNoted(int fd) {
    struct stat info {};
    fstat(fd, &info);
    if (g_folderFlushRefused && S_ISDIR(info.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    g_markCalls.push_back("flush " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino));
    return StorageFileOS_SystemCalls()->Fsync(fd);
}
int SyncfsNoted(int fd) {
    g_markCalls.push_back("flush all");
    return StorageFileOS_SystemCalls()->Syncfs(fd);
}

// A mark that makes the record lasts with it: the record's bytes are flushed, and so is the folder
// that names it, after the name was made (or the whole file system is, where a folder cannot be).
TEST_F(StorageFileTest, AMarkThatMakesItsRecordFlushesTheRecordAndItsFolder) {
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused);
        Shell("rm -rf " + root + " && mkdir -p " + root);
        ASSERT_EQ(Configure("file"), 1);
        StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
        calls.LinkAt = LinkNoted;
        calls.Fsync = FsyncNoted;
        calls.Syncfs = SyncfsNoted;
        g_markCalls.clear();
        g_folderFlushRefused = refused;
        StorageFileOS_SetCalls(&calls);
        EXPECT_EQ(StorageCleanup_MarkUnfinished(storage), 0);
        StorageFileOS_SetCalls(nullptr);
        g_folderFlushRefused = false;
        struct stat folder {}, record {};
        ASSERT_EQ(stat(root.c_str(), &folder), 0);
        ASSERT_EQ(stat((root + ".quarvpartial").c_str(), &record), 0);
        const auto at = [&](const std::string& call) {
            return std::find(g_markCalls.begin(), g_markCalls.end(), call) - g_markCalls.begin();
        };
        const auto id = [](const struct stat& s) { return std::to_string(s.st_dev) + ":" + std::to_string(s.st_ino); };
        const long linked = at("link .quarvpartial"), end = (long)g_markCalls.size();
        const auto after = [&](long call) { return call > linked && call < end; };
        ASSERT_LT(linked, end);
        const bool whole = after(at("flush all"));
        EXPECT_EQ(whole, refused) << testing::PrintToString(g_markCalls);
        EXPECT_TRUE(whole || after(at("flush " + id(record)))) << testing::PrintToString(g_markCalls);
        EXPECT_TRUE(whole || after(at("flush " + id(folder)))) << testing::PrintToString(g_markCalls);
        EXPECT_EQ(StorageCleanup_IsUnfinished(storage), 1);
    }
}

} // namespace
