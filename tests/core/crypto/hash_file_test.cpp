#include "core/crypto/hash_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/linux/platform_error.h"
#include "tests/core/crypto/digest_vectors.h"
#include "tests/support/printed_lines.h"
#include "tests/support/temp_dir.h"

namespace {

// What the callbacks and the print sink of one object saw.
struct Events {
    int32_t Starts = 0;
    std::vector<uint32_t> Completions;
    std::string DigestAtCompletion;
    std::vector<std::string> Lines;
};

void OnStart(HashFile*, void* user) {
    static_cast<Events*>(user)->Starts++;
}

void OnComplete(HashFile* h, void* user, uint32_t success) {
    Events* e = static_cast<Events*>(user);
    e->Completions.push_back(success);
    char text[129] = {};
    if (success) HashFile_GetString(h, 0, text, sizeof(text));
    e->DigestAtCompletion = text;
}

struct Hasher {
    TempDir Dir;
    HashFile* H = nullptr;
    Events E;
    explicit Hasher(const HashInterface* record = &SHA1_INTERFACE) {
        EXPECT_EQ(HashFile_Create(&H), 1);
        EXPECT_EQ(HashFile_SetInterface(H, record), 1);
        HashFile_SetStartCallback(H, &E, OnStart);
        HashFile_SetCompleteCallback(H, &E, OnComplete);
        HashFile_SetPrintCallback(H, &E.Lines, KeepLine);
    }
    ~Hasher() { HashFile_Delete(&H); }
    // Writes a file of the given bytes under the temporary folder and points the object at it.
    std::string Use(const std::string& name, const std::string& data) {
        const std::string path = Dir.file(name);
        EXPECT_TRUE(WriteText(path, data));
        EXPECT_EQ(HashFile_SetPath(H, path.c_str()), 1);
        return path;
    }
    uint64_t Read() {
        uint64_t n = 0;
        HashFile_GetBytesRead(H, &n);
        return n;
    }
    uint64_t Left() {
        uint64_t n = 0;
        HashFile_GetBytesLeft(H, &n);
        return n;
    }
    // A line of the print block ends with the message and a line break.
    bool Printed(const std::string& message) { return HasLine(E.Lines, message + "\n"); }
};

TEST(HashFileTest, StepsOfAtMost64KiB) {
    // size, bytes read after each step
    const std::pair<size_t, std::vector<uint64_t>> cases[] = {{0, {0}},
                                                              {1, {1}},
                                                              {65536, {65536}},
                                                              {65537, {65536, 65537}},
                                                              {200000, {65536, 131072, 196608, 200000}}};
    for (const auto& [size, readAfterStep] : cases) {
        Hasher h;
        const std::string data = Pattern(size);
        h.Use("data.bin", data);
        EXPECT_EQ(HashFile_Start(h.H), 1);
        EXPECT_EQ(h.E.Starts, 1);
        EXPECT_EQ(HashFile_IsRunning(h.H), 1);
        uint64_t fileSize = 7;
        HashFile_GetFileSize(h.H, &fileSize);
        EXPECT_EQ(std::pair(fileSize, h.Left()), std::pair((uint64_t)size, (uint64_t)size));
        for (uint64_t read : readAfterStep) {
            EXPECT_TRUE(h.E.Completions.empty()) << size << " before " << read;
            EXPECT_EQ(HashFile_Process(h.H), 1);
            EXPECT_EQ(std::pair(h.Read(), h.Left()), std::pair(read, size - read)) << size;
        }
        EXPECT_EQ(HashFile_IsRunning(h.H), 0);
        ASSERT_EQ(h.E.Completions, std::vector<uint32_t>{1}) << size;
        EXPECT_EQ(h.E.DigestAtCompletion, Digest(&SHA1_INTERFACE, data));
        // No run: further steps answer 0 and raise nothing.
        EXPECT_EQ(HashFile_Process(h.H), 0);
        EXPECT_EQ(h.E.Completions.size(), 1u);
        uint8_t digest[20];
        EXPECT_EQ(HashFile_GetDigest(h.H, digest, sizeof(digest)), 1);
        EXPECT_EQ(ToHex(digest, 20), Digest(&SHA1_INTERFACE, data));
        uint32_t error = 7;
        HashFile_GetLastFileError(h.H, &error);
        EXPECT_EQ(error, 0u);
    }
}

TEST(HashFileTest, MissingFileAndEmptyPath) {
    Hasher h;
    const std::string missing = h.Dir.file("missing.bin");
    HashFile_SetPath(h.H, missing.c_str());
    EXPECT_EQ(HashFile_Start(h.H), 0);
    EXPECT_EQ(h.E.Starts, 0);
    EXPECT_EQ(h.E.Completions, std::vector<uint32_t>{0});
    uint32_t error = 0;
    HashFile_GetLastFileError(h.H, &error);
    EXPECT_EQ(error, (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + ENOENT));
    EXPECT_TRUE(h.Printed("Unable to open file (" + missing + ")."));
    EXPECT_EQ(HashFile_IsRunning(h.H), 0);
    EXPECT_EQ(HashFile_Process(h.H), 0);
    // An empty path completes with 0 but the start answers 1; the error word is cleared.
    HashFile_Reset(h.H);
    EXPECT_EQ(HashFile_Start(h.H), 1);
    EXPECT_EQ(h.E.Completions, (std::vector<uint32_t>{0, 0}));
    HashFile_GetLastFileError(h.H, &error);
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(h.Printed("Path is empty."));
    EXPECT_EQ(h.E.Starts, 0);
}

TEST(HashFileTest, StartingTwiceChangesNothing) {
    Hasher h(&MD5_INTERFACE);
    const std::string data = Pattern(100000);
    h.Use("f", data);
    EXPECT_EQ(HashFile_Start(h.H), 1);
    EXPECT_EQ(HashFile_Process(h.H), 1);
    EXPECT_EQ(HashFile_Start(h.H), 1);
    EXPECT_TRUE(h.Printed("Already running."));
    EXPECT_EQ(h.E.Starts, 1);
    EXPECT_EQ(h.Read(), 65536u);
    EXPECT_EQ(HashFile_Process(h.H), 1);
    EXPECT_EQ(h.E.Completions, std::vector<uint32_t>{1});
    EXPECT_EQ(h.E.DigestAtCompletion, Digest(&MD5_INTERFACE, data));
}

TEST(HashFileTest, ResetStopsARunWithoutCallback) {
    Hasher h;
    h.Use("one", Pattern(150000));
    HashFile_Start(h.H);
    HashFile_Process(h.H);
    EXPECT_EQ(HashFile_Reset(h.H), 1);
    EXPECT_EQ(HashFile_IsRunning(h.H), 0);
    EXPECT_TRUE(h.E.Completions.empty());
    char path[HASHFILE_PATH_SIZE];
    HashFile_GetPath(h.H, path, sizeof(path));
    EXPECT_STREQ(path, "");
    // Counters stay until the next start; the digest starts afresh.
    EXPECT_EQ(h.Read(), 65536u);
    h.Use("two", "second file");
    EXPECT_EQ(HashFile_Start(h.H), 1);
    EXPECT_EQ(h.Read(), 0u);
    EXPECT_EQ(HashFile_Process(h.H), 1);
    EXPECT_EQ(h.E.DigestAtCompletion, Digest(&SHA1_INTERFACE, "second file"));
}

// A file that shrinks during a run, by many bytes or by one: once a step reads nothing while
// bytes are still due, the run ends with a failed completion.
TEST(HashFileTest, FileEndingEarlyFailsTheRun) {
    for (const off_t shrunk : {70000, 199999}) {
        Hasher h;
        const std::string path = h.Use("shrinks", Pattern(200000));
        ASSERT_EQ(HashFile_Start(h.H), 1);
        EXPECT_EQ(HashFile_Process(h.H), 1);
        ASSERT_EQ(truncate(path.c_str(), shrunk), 0);
        int32_t steps = 0;
        while (HashFile_Process(h.H) == 1 && steps < 10) steps++;
        EXPECT_EQ(steps, shrunk == 70000 ? 1 : 3) << "steps that still read bytes";
        EXPECT_EQ(HashFile_IsRunning(h.H), 0);
        EXPECT_EQ(h.E.Completions, std::vector<uint32_t>{0}) << shrunk;
        EXPECT_EQ(h.Read(), (uint64_t)shrunk);
        EXPECT_EQ(HashFile_Process(h.H), 0);
    }
}

TEST(HashFileTest, LongPathIsCut) {
    Hasher h;
    const std::string path = "/" + std::string(400, 'p');
    EXPECT_EQ(HashFile_SetPath(h.H, path.c_str()), 1);
    char out[HASHFILE_PATH_SIZE + 10];
    EXPECT_EQ(HashFile_GetPath(h.H, out, sizeof(out)), 1);
    EXPECT_EQ(std::string(out), path.substr(0, 319));
    EXPECT_EQ(HashFile_GetPath(h.H, out, 8), 1);
    EXPECT_STREQ(out, "/pppppp");
    out[0] = 'x';
    EXPECT_EQ(HashFile_GetPath(h.H, out, 0), 1);
    EXPECT_EQ(out[0], 'x');
}

// Verbose lines are printed only while the object is verbose (the log configures no level here).
TEST(HashFileTest, VerboseLinesFollowTheSwitch) {
    Hasher h;
    EXPECT_EQ(HashFile_SetVerbose(h.H, 0), 1);
    EXPECT_EQ(HashFile_VerboseLog(h.H, 0, "hidden"), 0);
    EXPECT_EQ(HashFile_SetVerbose(h.H, 1), 1);
    EXPECT_EQ(HashFile_VerboseLog(h.H, 0, "shown"), 1);
    EXPECT_EQ(h.E.Lines.size(), 1u);
    EXPECT_TRUE(h.Printed("shown"));
}

TEST(HashFileTest, QuickString) {
    TempDir dir;
    const std::string data = Pattern(300001), path = dir.file("q");
    ASSERT_TRUE(WriteText(path, data));
    char text[129];
    for (const HashInterface* record : {&SHA1_INTERFACE, &SHA256_INTERFACE}) {
        EXPECT_EQ(HashFile_QuickString(record, path.c_str(), 0, text, sizeof(text)), 1);
        EXPECT_EQ(std::string(text), Digest(record, data));
    }
    // A short buffer: the text is cut and the answer is 0.
    EXPECT_EQ(HashFile_QuickString(&SHA1_INTERFACE, path.c_str(), 0, text, 11), 0);
    EXPECT_EQ(std::string(text), Digest(&SHA1_INTERFACE, data).substr(0, 10));
    // No path, no file or no record: 0 and the text empty.
    for (const auto& [record, name] :
         {std::pair{&SHA1_INTERFACE, std::string()}, {&SHA1_INTERFACE, dir.file("none")}, {nullptr, path}}) {
        strcpy(text, "untouched");
        EXPECT_EQ(HashFile_QuickString(record, name.c_str(), 0, text, sizeof(text)), 0) << name;
        EXPECT_STREQ(text, "") << name;
    }
}

} // namespace
