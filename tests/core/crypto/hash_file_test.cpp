#include "core/crypto/hash_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/linux/platform_error.h"
#include "core/runtime/string_print.h"
#include "tests/core/crypto/digest_vectors.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Bytes(size_t size) {
    std::string data(size, 0);
    uint32_t x = 0x2545F491u;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = (char)x;
    }
    return data;
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), (std::streamsize)data.size());
}

// What the callbacks and the print sink saw.
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
    if (success) {
        char text[129] = {};
        HashFile_GetString(h, 0, text, sizeof(text));
        e->DigestAtCompletion = text;
    }
}

int64_t CaptureLine(void* user, const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    String_VPrint(line, sizeof(line), format, args);
    va_end(args);
    static_cast<Events*>(user)->Lines.push_back(line);
    return 1;
}

struct Hasher {
    HashFile* H = nullptr;
    Events E;
    explicit Hasher(const HashInterface* record = &SHA1_INTERFACE) {
        EXPECT_EQ(HashFile_Create(&H), 1);
        EXPECT_EQ(HashFile_SetInterface(H, record), 1);
        HashFile_SetStartCallback(H, &E, OnStart);
        HashFile_SetCompleteCallback(H, &E, OnComplete);
        HashFile_SetPrintCallback(H, &E, CaptureLine);
    }
    ~Hasher() {
        if (H) HashFile_Delete(&H);
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
    // A line of the print block ends with " - ", the indent and the message.
    bool Printed(const std::string& message) {
        for (const std::string& l : E.Lines)
            if (l.size() > message.size() &&
                l.compare(l.size() - message.size() - 1, message.size(), message) == 0 && l.back() == '\n')
                return true;
        return false;
    }
};

TEST(HashFileTest, StepsOfAtMost64KiB) {
    TempDir dir;
    struct Case {
        size_t Size;
        std::vector<uint64_t> ReadAfterStep;
    } cases[] = {
        {65536, {65536}},
        {65537, {65536, 65537}},
        {1, {1}},
        {200000, {65536, 131072, 196608, 200000}},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("data.bin");
        const std::string data = Bytes(c.Size);
        WriteFile(path, data);
        Hasher h;
        EXPECT_EQ(HashFile_SetPath(h.H, path.c_str()), 1);
        EXPECT_EQ(HashFile_Start(h.H), 1);
        EXPECT_EQ(h.E.Starts, 1);
        EXPECT_EQ(HashFile_IsRunning(h.H), 1);
        uint64_t size = 0;
        HashFile_GetFileSize(h.H, &size);
        EXPECT_EQ(size, c.Size);
        EXPECT_EQ(h.Left(), c.Size);
        for (size_t step = 0; step < c.ReadAfterStep.size(); step++) {
            EXPECT_TRUE(h.E.Completions.empty()) << c.Size << " step " << step;
            EXPECT_EQ(HashFile_Process(h.H), 1);
            EXPECT_EQ(h.Read(), c.ReadAfterStep[step]) << c.Size << " step " << step;
            EXPECT_EQ(h.Left(), c.Size - c.ReadAfterStep[step]);
        }
        EXPECT_EQ(HashFile_IsRunning(h.H), 0);
        ASSERT_EQ(h.E.Completions, std::vector<uint32_t>{1}) << c.Size;
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

TEST(HashFileTest, EmptyFileCompletesOnTheFirstStep) {
    TempDir dir;
    WriteFile(dir.file("empty"), "");
    Hasher h(&SHA256_INTERFACE);
    HashFile_SetPath(h.H, dir.file("empty").c_str());
    EXPECT_EQ(HashFile_Start(h.H), 1);
    EXPECT_EQ(HashFile_IsRunning(h.H), 1);
    EXPECT_EQ(HashFile_Process(h.H), 1);
    EXPECT_EQ(HashFile_IsRunning(h.H), 0);
    ASSERT_EQ(h.E.Completions, std::vector<uint32_t>{1});
    EXPECT_EQ(h.E.DigestAtCompletion, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(HashFileTest, MissingFileAndEmptyPath) {
    TempDir dir;
    Hasher h;
    HashFile_SetPath(h.H, dir.file("missing.bin").c_str());
    EXPECT_EQ(HashFile_Start(h.H), 0);
    EXPECT_EQ(h.E.Starts, 0);
    EXPECT_EQ(h.E.Completions, std::vector<uint32_t>{0});
    uint32_t error = 0;
    HashFile_GetLastFileError(h.H, &error);
    EXPECT_EQ(error, (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + ENOENT));
    EXPECT_TRUE(h.Printed("Unable to open file (" + dir.file("missing.bin") + ")."));
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
    TempDir dir;
    const std::string data = Bytes(100000);
    WriteFile(dir.file("f"), data);
    Hasher h(&MD5_INTERFACE);
    HashFile_SetPath(h.H, dir.file("f").c_str());
    EXPECT_EQ(HashFile_Start(h.H), 1);
    EXPECT_EQ(HashFile_Process(h.H), 1);
    EXPECT_EQ(HashFile_Start(h.H), 1);
    EXPECT_TRUE(h.Printed("Already running."));
    EXPECT_EQ(h.E.Starts, 1);
    EXPECT_EQ(h.Read(), 65536u);
    while (HashFile_IsRunning(h.H)) HashFile_Process(h.H);
    EXPECT_EQ(h.E.Completions, std::vector<uint32_t>{1});
    EXPECT_EQ(h.E.DigestAtCompletion, Digest(&MD5_INTERFACE, data));
}

TEST(HashFileTest, ResetStopsARunWithoutCallback) {
    TempDir dir;
    const std::string first = Bytes(150000), second = "second file";
    WriteFile(dir.file("one"), first);
    WriteFile(dir.file("two"), second);
    Hasher h;
    HashFile_SetPath(h.H, dir.file("one").c_str());
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
    HashFile_SetPath(h.H, dir.file("two").c_str());
    EXPECT_EQ(HashFile_Start(h.H), 1);
    EXPECT_EQ(h.Read(), 0u);
    while (HashFile_IsRunning(h.H)) HashFile_Process(h.H);
    EXPECT_EQ(h.E.DigestAtCompletion, Digest(&SHA1_INTERFACE, second));
}

TEST(HashFileTest, FileEndingEarlyFailsTheRun) {
    TempDir dir;
    const std::string path = dir.file("shrinks");
    WriteFile(path, Bytes(200000));
    Hasher h;
    HashFile_SetPath(h.H, path.c_str());
    ASSERT_EQ(HashFile_Start(h.H), 1);
    EXPECT_EQ(HashFile_Process(h.H), 1);
    ASSERT_EQ(truncate(path.c_str(), 70000), 0);
    EXPECT_EQ(HashFile_Process(h.H), 1); // the 4464 bytes still there
    EXPECT_EQ(HashFile_Process(h.H), 0); // nothing more: the run ends
    EXPECT_EQ(HashFile_IsRunning(h.H), 0);
    EXPECT_EQ(h.E.Completions, std::vector<uint32_t>{0});
    EXPECT_EQ(h.Read(), 70000u);
    EXPECT_EQ(HashFile_Process(h.H), 0);

    // The one-call form answers 0 and leaves the text empty for a failed run too.
    char text[41] = "untouched";
    EXPECT_EQ(HashFile_QuickString(&SHA1_INTERFACE, dir.file("nothing").c_str(), 0, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "");
}

TEST(HashFileTest, LongPathIsCut) {
    Hasher h;
    const std::string path = "/" + std::string(400, 'p');
    EXPECT_EQ(HashFile_SetPath(h.H, path.c_str()), 1);
    char out[HASHFILE_PATH_SIZE + 10];
    EXPECT_EQ(HashFile_GetPath(h.H, out, sizeof(out)), 1);
    EXPECT_EQ(std::string(out), path.substr(0, 319));
    char small[8];
    EXPECT_EQ(HashFile_GetPath(h.H, small, sizeof(small)), 1);
    EXPECT_STREQ(small, "/pppppp");
    char none[1] = {'x'};
    EXPECT_EQ(HashFile_GetPath(h.H, none, 0), 1);
    EXPECT_EQ(none[0], 'x');
}

TEST(HashFileTest, QuickString) {
    TempDir dir;
    const std::string data = Bytes(300001);
    WriteFile(dir.file("q"), data);
    char text[129];
    EXPECT_EQ(HashFile_QuickString(&SHA1_INTERFACE, dir.file("q").c_str(), 0, text, sizeof(text)), 1);
    EXPECT_EQ(std::string(text), Digest(&SHA1_INTERFACE, data));
    EXPECT_EQ(HashFile_QuickString(&SHA256_INTERFACE, dir.file("q").c_str(), 0, text, sizeof(text)), 1);
    EXPECT_EQ(std::string(text), Digest(&SHA256_INTERFACE, data));
    // A short buffer: the text is cut and the answer is 0.
    EXPECT_EQ(HashFile_QuickString(&SHA1_INTERFACE, dir.file("q").c_str(), 0, text, 11), 0);
    EXPECT_EQ(std::string(text), Digest(&SHA1_INTERFACE, data).substr(0, 10));
    strcpy(text, "untouched");
    EXPECT_EQ(HashFile_QuickString(&SHA1_INTERFACE, "", 0, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(HashFile_QuickString(nullptr, dir.file("q").c_str(), 0, text, sizeof(text)), 0);
}

TEST(HashFileTest, PrintBlock) {
    Hasher h;
    void* user = nullptr;
    ClassPrintCallback function = nullptr;
    EXPECT_EQ(HashFile_GetPrintCallback(h.H, &user, &function), 1);
    EXPECT_EQ(user, &h.E);
    EXPECT_EQ(function, CaptureLine);
    EXPECT_EQ(HashFile_SetVerbose(h.H, 0), 1);
    EXPECT_EQ(HashFile_VerboseLog(h.H, 1, "hidden"), 0);
    EXPECT_FALSE(h.Printed("hidden"));
    EXPECT_EQ(HashFile_PrintTabbed(h.H, 1, "shown"), 1);
    EXPECT_TRUE(h.Printed("shown"));
    uint32_t verbose = 9;
    EXPECT_EQ(HashFile_SetVerbose(h.H, 3), 1);
    EXPECT_EQ(HashFile_GetVerbose(h.H, &verbose), 1);
    EXPECT_EQ(verbose, 3u);
    EXPECT_EQ(HashFile_SetPrintIdentifier(h.H, "launch"), 1);
    EXPECT_EQ(h.H->Print.Identifier, std::string("launch"));
    // A fresh object prints through its own default sink.
    HashFile* plain = nullptr;
    HashFile_Create(&plain);
    EXPECT_EQ(HashFile_GetPrintCallback(plain, &user, &function), 1);
    EXPECT_EQ(function, HashFile_PrintInternal);
    EXPECT_EQ(user, plain);
    EXPECT_STREQ(plain->Print.ClassName, "HashFile");
    EXPECT_EQ(HashFile_AddRef(plain), 1);
    HashFile* other = plain;
    EXPECT_EQ(HashFile_Release(&other), 1);
    EXPECT_EQ(HashFile_Release(&plain), 1);
    EXPECT_EQ(plain, nullptr);
}

} // namespace
