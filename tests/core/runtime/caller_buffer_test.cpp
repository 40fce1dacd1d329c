// Every function of the text, number and path libraries that writes into a caller's (buffer, size)
// is called with the exact room its text needs, one byte less and one byte more, into a buffer
// followed by guard bytes: at the exact room and above it gives its whole text and answer; one byte
// less, its own answer for a text that does not fit (the text cut and terminated, or refused);
// never a byte past the size.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/path.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int32_t kGuard = 16;
constexpr char kGuardByte = '\x5A';

constexpr std::nullopt_t kCut = std::nullopt;

struct Writer {
    const char* name;
    // Put in the buffer before each call (the text an in-place writer works on), or empty.
    std::string before;
    std::function<int64_t(char* buffer, int32_t size)> write;
    // With one byte less than the text needs: the answer, and the text left (kCut: the text cut
    // to the room).
    int64_t shortAnswer;
    std::optional<std::string> shortText;
    // The text differs from call to call (random): only its length is compared.
    bool varies = false;
};

// One call into a fresh buffer of `size` bytes and the guard: the answer and the bytes.
int64_t Call(const Writer& w, int32_t size, std::vector<char>* bytes) {
    bytes->assign(static_cast<size_t>(size) + kGuard, kGuardByte);
    if (!w.before.empty())
        memcpy(bytes->data(), w.before.c_str(), std::min(w.before.size() + 1, (size_t)size));
    return w.write(bytes->data(), size);
}

std::string TextIn(const std::vector<char>& bytes, int32_t size) {
    return std::string(bytes.data(), strnlen(bytes.data(), (size_t)size));
}

void ExpectRoomKept(const Writer& w) {
    std::vector<char> bytes;
    const int64_t full = Call(w, 4096, &bytes);
    const std::string text = TextIn(bytes, 4096);
    ASSERT_FALSE(text.empty()) << w.name << ": no text to measure its room by";
    const int32_t needed = static_cast<int32_t>(text.size()) + 1;
    for (int32_t size : {needed - 1, needed, needed + 1}) {
        const int64_t answer = Call(w, size, &bytes);
        const std::string label = std::string(w.name) + " into " + std::to_string(size) + " for " + text;
        for (size_t i = (size_t)size; i < bytes.size(); i++)
            if (bytes[i] != kGuardByte) {
                ADD_FAILURE() << label << ": wrote past the room";
                break;
            }
        const bool terminated = memchr(bytes.data(), 0, (size_t)size) != nullptr;
        if (size >= needed) {
            EXPECT_EQ(answer, full) << label;
            EXPECT_TRUE(terminated) << label << ": not terminated";
            if (w.varies)
                EXPECT_EQ(TextIn(bytes, size).size(), text.size()) << label;
            else
                EXPECT_EQ(TextIn(bytes, size), text) << label;
            continue;
        }
        EXPECT_EQ(answer, w.shortAnswer) << label;
        EXPECT_TRUE(terminated) << label << ": not terminated";
        const std::string left = TextIn(bytes, size);
        if (w.varies)
            EXPECT_EQ(left.size(), text.size() - 1) << label;
        else
            EXPECT_EQ(left, w.shortText.value_or(text.substr(0, text.size() - 1))) << label;
    }
}

int64_t Provide(void*, const char* name, char*, char* value, int32_t capacity) {
    if (strcmp(name, "who") != 0) return 0;
    String_CopyLength(value, "everybody", capacity);
    return 1;
}

int64_t AppendPieces(char* buffer, int32_t size) {
    StringBuffer record;
    StringBuffer_Init(&record, buffer, size);
    int32_t written = 0;
    StringBuffer_Append(&record, "pieces ", 7, &written);
    StringBuffer_Append(&record, "appended", 8, &written);
    return StringBuffer_Finalize(&record);
}

int32_t PrintCatList(char* buffer, int32_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t answer = String_VPrintCat(buffer, size, format, args);
    va_end(args);
    return (int32_t)answer;
}

// Path_EraseDirectoryReport of a tree with a file system mounted inside it, in a child of its own
// mount namespace: the mount point's path is the text. The child writes into its copy of the
// buffer and hands the bytes back.
std::string gMountTree;

int64_t EraseAtMount(char* buffer, int32_t size) {
    const std::string mount = gMountTree + "/mount";
    const std::optional<std::string> bytes =
        RunIsolated([&] { return EmptyTmpfs(mount); },
                    [&] {
                        PlatformErrorCode error = 0;
                        const int64_t answer =
                            Path_EraseDirectoryReport(gMountTree.c_str(), 1, &error, buffer, size);
                        return std::to_string(answer) + std::string(buffer, (size_t)size + kGuard);
                    });
    if (!bytes || bytes->size() != (size_t)size + kGuard + 1) return -1;
    memcpy(buffer, bytes->data() + 1, (size_t)size + kGuard);
    return (*bytes)[0] - '0';
}

TEST(CallerBuffer, EveryWriterKeepsToTheRoomAtTheExactLengthOneLessAndOneMore) {
    TempDir dir;
    gMountTree = dir.file("tree");
    ASSERT_EQ(mkdir(gMountTree.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((gMountTree + "/mount").c_str(), 0700), 0);
    const std::string link = dir.file("link"), target = dir.file("a-target-of-some-length");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const uint32_t address = 0x0100A8C0; // 192.168.0.1
    const uint8_t bytes[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    std::vector<Writer> writers = {
        {"String_CopyLength", "",
         [](char* d, int32_t n) -> int64_t { return String_CopyLength(d, "a copied text", n); }, 13, kCut},
        {"String_CatLength",
         "head:", [](char* d, int32_t n) -> int64_t { return String_CatLength(d, "tail", n); }, 4, kCut},
        {"String_CopyLengthSafe", "",
         [](char* d, int32_t n) -> int64_t {
             return String_CopyLengthSafe(d, n, "first part, not this", 10);
         },
         9, kCut},
        {"String_CopyUntilCharLength", "",
         [](char* d, int32_t n) -> int64_t { return String_CopyUntilCharLength(d, "key=value", "=", n); }, 2,
         kCut},
        {"String_CopyUntilControlLength", "",
         [](char* d, int32_t n) -> int64_t { return String_CopyUntilControlLength(d, "line\r\nnext", n); }, 3,
         kCut},
        {"String_ListGetMember", "",
         [](char* d, int32_t n) -> int64_t { return String_ListGetMember("a, member ,c", ',', 1, 1, d, n); },
         0, kCut},
        {"String_LineGetNext", "",
         [](char* d, int32_t n) -> int64_t {
             int32_t used = 0;
             return String_LineGetNext("one line\r\ntwo", 13, d, n, &used);
         },
         1, kCut},
        {"String_ShiftRight", "shifted",
         [](char* d, int32_t n) -> int64_t { return String_ShiftRight(d, n, 3); }, 0, "shifted"},
        {"String_ReplaceLength", "a-b-c",
         [](char* d, int32_t n) -> int64_t { return String_ReplaceLength("-", "--", d, n); }, 0, "a--b-c"},
        {"String_PrintNumber", "",
         [](char* d, int32_t n) -> int64_t { return String_PrintNumber(-0.30000000000000004, d, (size_t)n); },
         0, ""},
        {"String_PrintNumberPrecision", "",
         [](char* d, int32_t n) -> int64_t {
             return String_PrintNumberPrecision(1733700000.5, 12, d, (size_t)n);
         },
         0, ""},
        {"String_ConvertToHex", "",
         [&bytes](char* d, int32_t n) -> int64_t { return String_ConvertToHex(bytes, 5, 1, d, n); }, 0, kCut},
        {"String_ConvertFromIP", "",
         [&address](char* d, int32_t n) -> int64_t { return String_ConvertFromIP(&address, 8080, d, n); }, 1,
         kCut},
        {"String_Guid", "", [](char* d, int32_t n) -> int64_t { return String_Guid(d, n, 1); }, 1, kCut,
         true},
        {"String_NumberToString", "",
         [](char* d, int32_t n) -> int64_t { return String_NumberToString(d, n, 1, 2, 0, 0, -1234567.891); },
         1, kCut},
        {"String_FormatMetric", "",
         [](char* d, int32_t n) -> int64_t { return String_FormatMetric(d, n, 1572864, 0, 2); }, 1, kCut},
        {"String_EncodeVersion", "",
         [](char* d, int32_t n) -> int64_t { return String_EncodeVersion(d, n, 10, 20, 30, 40); }, 1, kCut},
        {"String_ConvertVersion", "",
         [](char* d, int32_t n) -> int64_t { return String_ConvertVersion(d, n, "v1.2.3.4", "%d_%d_%d_%d"); },
         1, kCut},
        {"String_Print", "",
         [](char* d, int32_t n) -> int64_t { return String_Print(d, n, "%s=%d", "printed", 42); }, 9, kCut},
        {"String_PrintCat", "head:",
         [](char* d, int32_t n) -> int64_t { return String_PrintCat(d, n, "%s", "printed"); }, 6, kCut},
        {"String_VPrintCat",
         "head:", [](char* d, int32_t n) -> int64_t { return PrintCatList(d, n, "%d", 12345); }, 1, kCut},
        {"StringBuffer_Append", "", AppendPieces, 1, kCut},
        {"String_Expand", "hello {who}!",
         [](char* d, int32_t n) -> int64_t { return String_Expand(d, n, nullptr, Provide); }, 0, kCut},
        {"String_ExpandResult", "hello {who}!",
         [](char* d, int32_t n) -> int64_t { return String_ExpandResult(d, n, nullptr, Provide); },
         STRING_EXPAND_TRUNCATED, kCut},
        {"String_ExpandFindLocation", "",
         [](char* d, int32_t n) -> int64_t { return String_ExpandFindLocation("{UserAppData}/x", d, n); }, 1,
         kCut},
        {"Path_Fix", "/a/b/c",
         [](char* d, int32_t n) -> int64_t { return Path_Fix(d, n, PATH_FIX_TRAILING); }, 1, kCut},
        {"Path_FixSlash", "/a/b/c", [](char* d, int32_t n) -> int64_t { return Path_FixSlash(d, n, 1); }, 1,
         kCut},
        {"Path_Resolve", "",
         [](char* d, int32_t n) -> int64_t { return Path_Resolve("/a/./b/../resolved", d, n); }, 0, ""},
        {"Path_ParseFilename", "",
         [](char* d, int32_t n) -> int64_t { return Path_ParseFilename("/dir/name.ext", d, n); }, 0, ""},
        {"Path_ParseFilenameWithoutExtension", "",
         [](char* d, int32_t n) -> int64_t {
             return Path_ParseFilenameWithoutExtension("/dir/name.ext", d, n);
         },
         0, ""},
        {"Path_ParseDirectory", "",
         [](char* d, int32_t n) -> int64_t { return Path_ParseDirectory("/dir/sub/name.ext", d, n); }, 0, ""},
        {"Path_ParseExtension", "",
         [](char* d, int32_t n) -> int64_t { return Path_ParseExtension("/dir/name.ext", 1, d, n); }, 0, ""},
        {"Path_ConvertToURL", "",
         [](char* d, int32_t n) -> int64_t { return Path_ConvertToURL("/dir/a name", d, n); }, 0, ""},
        {"Path_ConvertFromURL", "",
         [](char* d, int32_t n) -> int64_t { return Path_ConvertFromURL("file:///dir/a%20name", d, n); }, 0,
         ""},
        {"Path_ReadLink", "",
         [&link](char* d, int32_t n) -> int64_t { return Path_ReadLink(link.c_str(), d, n); }, 0, ""},
        {"Path_FollowLink", "",
         [&link](char* d, int32_t n) -> int64_t { return Path_FollowLink(link.c_str(), d, n); }, 0, ""},
    };
    // Where a child may mount a file system of its own (as root).
    if (CanIsolate()) writers.push_back({"Path_EraseDirectoryReport", "", EraseAtMount, 0, ""});
    // (Path_ExpandKey and the other key providers are handed STRING_EXPAND_VALUE_SIZE bytes, never
    // less.)
    for (const Writer& w : writers) ExpectRoomKept(w);
}

} // namespace
