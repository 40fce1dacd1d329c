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
#include "core/runtime/unicode.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int32_t kGuard = 16;

constexpr std::nullopt_t kCut = std::nullopt;

// A row's call, into the buffer d of n units.
#define TO(call) [&](auto* d, int32_t n) -> int64_t { return (void)d, (void)n, call; }

// A writer of units T (bytes, or 16- or 32-bit units). Its texts here are ASCII, written as bytes.
template <typename T> struct Writer {
    const char* name;
    // Put in the buffer before each call (the text an in-place writer works on), or empty.
    std::string before;
    std::function<int64_t(T* buffer, int32_t size)> write;
    // With one unit less than the text needs: the answer, and the text left (kCut: the text cut
    // to the room).
    int64_t shortAnswer;
    std::optional<std::string> shortText;
    // The text differs from call to call (random): only its length is compared.
    bool varies = false;
    // With one unit less it fills the whole room, unterminated, as its contract says.
    bool fillsWhenShort = false;
};

template <typename T> constexpr T kGuardUnit = static_cast<T>(0x5A5A5A5A);

// One call into a fresh buffer of `size` units and the guard: the answer and the units.
template <typename T> int64_t Call(const Writer<T>& w, int32_t size, std::vector<T>* units) {
    units->assign(static_cast<size_t>(size) + kGuard, kGuardUnit<T>);
    if (!w.before.empty())
        for (size_t i = 0; i <= w.before.size() && i < (size_t)size; i++)
            (*units)[i] = static_cast<T>(static_cast<uint8_t>(w.before.c_str()[i]));
    return w.write(units->data(), size);
}

// The text up to the terminator or the size, a unit a byte.
template <typename T> std::string TextIn(const std::vector<T>& units, int32_t size) {
    std::string text;
    for (int32_t i = 0; i < size && units[(size_t)i] != 0; i++) text += static_cast<char>(units[(size_t)i]);
    return text;
}

template <typename T> void ExpectRoomKept(const Writer<T>& w) {
    std::vector<T> units;
    const int64_t full = Call(w, 4096, &units);
    const std::string text = TextIn(units, 4096);
    ASSERT_FALSE(text.empty()) << w.name << ": no text to measure its room by";
    const int32_t needed = static_cast<int32_t>(text.size()) + 1;
    for (int32_t size : {needed - 1, needed, needed + 1}) {
        const int64_t answer = Call(w, size, &units);
        const std::string label = std::string(w.name) + " into " + std::to_string(size) + " for " + text;
        for (size_t i = (size_t)size; i < units.size(); i++)
            if (units[i] != kGuardUnit<T>) {
                ADD_FAILURE() << label << ": wrote past the room";
                break;
            }
        // A random text is compared by its length.
        const auto shown = [&w](const std::string& t) { return w.varies ? std::string(t.size(), '?') : t; };
        const std::string left = TextIn(units, size);
        const bool terminated = left.size() < (size_t)size;
        if (size >= needed) {
            EXPECT_EQ(answer, full) << label;
            EXPECT_TRUE(terminated) << label << ": not terminated";
            EXPECT_EQ(shown(left), shown(text)) << label;
            continue;
        }
        EXPECT_EQ(answer, w.shortAnswer) << label;
        EXPECT_EQ(terminated, !w.fillsWhenShort) << label << ": terminated or not";
        EXPECT_EQ(shown(left),
                  shown(w.shortText.value_or(text.substr(0, (size_t)size - (w.fillsWhenShort ? 0 : 1)))))
            << label;
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
    std::vector<Writer<char>> writers = {
        {"String_CopyLength", "", TO(String_CopyLength(d, "a copied text", n)), 13, kCut},
        {"String_CatLength", "head:", TO(String_CatLength(d, "tail", n)), 4, kCut},
        {"String_CopyLengthSafe", "", TO(String_CopyLengthSafe(d, n, "first part, not this", 10)), 9, kCut},
        {"String_CopyUntilCharLength", "", TO(String_CopyUntilCharLength(d, "key=value", "=", n)), 2, kCut},
        {"String_CopyUntilControlLength", "", TO(String_CopyUntilControlLength(d, "line\r\nnext", n)), 3,
         kCut},
        {"String_ListGetMember", "", TO(String_ListGetMember("a, member ,c", ',', 1, 1, d, n)), 0, kCut},
        {"String_LineGetNext", "",
         [](char* d, int32_t n) -> int64_t {
             int32_t used = 0;
             return String_LineGetNext("one line\r\ntwo", 13, d, n, &used);
         },
         1, kCut},
        {"String_ShiftRight", "shifted", TO(String_ShiftRight(d, n, 3)), 0, "shifted"},
        {"String_ReplaceLength", "a-b-c", TO(String_ReplaceLength("-", "--", d, n)), 0, "a--b-c"},
        {"String_PrintNumber", "", TO(String_PrintNumber(-0.30000000000000004, d, (size_t)n)), 0, ""},
        {"String_PrintNumberPrecision", "", TO(String_PrintNumberPrecision(1733700000.5, 12, d, (size_t)n)),
         0, ""},
        {"String_ConvertToHex", "", TO(String_ConvertToHex(bytes, 5, 1, d, n)), 0, kCut},
        {"String_ConvertFromIP", "", TO(String_ConvertFromIP(&address, 8080, d, n)), 1, kCut},
        {"String_Guid", "", TO(String_Guid(d, n, 1)), 1, kCut, true},
        {"String_NumberToString", "", TO(String_NumberToString(d, n, 1, 2, 0, 0, -1234567.891)), 1, kCut},
        {"String_FormatMetric", "", TO(String_FormatMetric(d, n, 1572864, 0, 2)), 1, kCut},
        {"String_EncodeVersion", "", TO(String_EncodeVersion(d, n, 10, 20, 30, 40)), 1, kCut},
        {"String_ConvertVersion", "", TO(String_ConvertVersion(d, n, "v1.2.3.4", "%d_%d_%d_%d")), 1, kCut},
        {"String_Print", "", TO(String_Print(d, n, "%s=%d", "printed", 42)), 9, kCut},
        {"String_PrintCat", "head:", TO(String_PrintCat(d, n, "%s", "printed")), 6, kCut},
        {"String_VPrintCat", "head:", TO(PrintCatList(d, n, "%d", 12345)), 1, kCut},
        {"StringBuffer_Append", "", AppendPieces, 1, kCut},
        {"String_Expand", "hello {who}!", TO(String_Expand(d, n, nullptr, Provide)), 0, kCut},
        {"String_ExpandResult", "hello {who}!", TO(String_ExpandResult(d, n, nullptr, Provide)),
         STRING_EXPAND_TRUNCATED, kCut},
        {"String_ExpandFindLocation", "", TO(String_ExpandFindLocation("{UserAppData}/x", d, n)), 1, kCut},
        {"Path_Fix", "/a/b/c", TO(Path_Fix(d, n, PATH_FIX_TRAILING)), 1, kCut},
        {"Path_FixSlash", "/a/b/c", TO(Path_FixSlash(d, n, 1)), 1, kCut},
        {"Path_Resolve", "", TO(Path_Resolve("/a/./b/../resolved", d, n)), 0, ""},
        {"Path_ParseFilename", "", TO(Path_ParseFilename("/dir/name.ext", d, n)), 0, ""},
        {"Path_ParseFilenameWithoutExtension", "",
         TO(Path_ParseFilenameWithoutExtension("/dir/name.ext", d, n)), 0, ""},
        {"Path_ParseDirectory", "", TO(Path_ParseDirectory("/dir/sub/name.ext", d, n)), 0, ""},
        {"Path_ParseExtension", "", TO(Path_ParseExtension("/dir/name.ext", 1, d, n)), 0, ""},
        {"Path_ConvertToURL", "", TO(Path_ConvertToURL("/dir/a name", d, n)), 0, ""},
        {"Path_ConvertFromURL", "", TO(Path_ConvertFromURL("file:///dir/a%20name", d, n)), 0, ""},
        {"Path_ReadLink", "", TO(Path_ReadLink(link.c_str(), d, n)), 0, ""},
        {"Path_FollowLink", "", TO(Path_FollowLink(link.c_str(), d, n)), 0, ""},
    };
    // Where a child may mount a file system of its own (as root).
    if (CanIsolate()) writers.push_back({"Path_EraseDirectoryReport", "", EraseAtMount, 0, ""});
    // (Path_ExpandKey and the other key providers are handed STRING_EXPAND_VALUE_SIZE bytes, never
    // less; StringUtf32_CopyToUtf8's text holds its encoded terminator, String_Random fills any
    // room, and CharUtf64_CopyToUtf8 writes no terminator: none has a text's exact room.)
    for (const Writer<char>& w : writers) ExpectRoomKept(w);
    const uint16_t* const wide = reinterpret_cast<const uint16_t*>(u"wide text");
    const uint32_t full[] = {'f', 'u', 'l', 'l', ' ', 't', 'e', 'x', 't', 0};
    std::vector<uint16_t> swapped(wide, wide + 10);
    for (uint16_t& unit : swapped) unit = (uint16_t)(unit << 8 | unit >> 8);
    const std::vector<Writer<char>> fromUnits = {
        {"StringUtf8_EncodeString", "", TO(StringUtf8_EncodeString("caf\xC3\xA9", d, n)), 1, "caf"},
        {"StringUtf8_DecodeString", "",
         [](char* d, int32_t n) -> int64_t { return StringUtf8_DecodeString("&#65;BC&#68;", d, n); }, 1,
         kCut},
        {"StringUtf8_DecodeHtml", "",
         [](char* d, int32_t n) -> int64_t { return StringUtf8_DecodeHtml("a &amp; b&#33;", d, n); }, 0,
         kCut},
        {"StringUtf16_CopyLengthToUtf8", "", TO(StringUtf16_CopyLengthToUtf8(d, n, wide, 9)), 8, kCut},
        {"StringUtf16_CopyToUtf8", "", TO(StringUtf16_CopyToUtf8(d, wide, n)), 8, kCut},
        {"StringUtf16_CopyToAscii", "", TO(StringUtf16_CopyToAscii(d, wide, n)), 0, ""},
        {"StringUtf32_CopyLengthToUtf8", "", TO(StringUtf32_CopyLengthToUtf8(d, n, full, 9)), 8, kCut},
        {"StringUtf16_ESCopyLengthToUtf8", "", TO(StringUtf16_ESCopyLengthToUtf8(d, n, swapped.data(), 9)), 8,
         kCut},
        {"StringUtf16_CopyLengthToAscii", "", TO(StringUtf16_CopyLengthToAscii(d, n, wide, 9)), 0, ""},
        {"StringAnsi_CopyLengthToUtf8", "", TO(StringAnsi_CopyLengthToUtf8(d, n, "ansi text", 9)), 8, kCut},
        {"StringAnsi_CopyToUtf8", "", TO(StringAnsi_CopyToUtf8(d, "ansi text", n)), 8, kCut},
    };
    for (const Writer<char>& w : fromUnits) ExpectRoomKept(w);
    const std::vector<Writer<uint16_t>> to16 = {
        {"StringUtf16_CopyLength", "", TO(StringUtf16_CopyLength(d, wide, n)), 8, kCut},
        {"StringUtf16_CatLength", "head:", TO(StringUtf16_CatLength(d, wide, n)), 8, kCut},
        {"StringUtf8_CopyLengthToUtf16", "", TO(StringUtf8_CopyLengthToUtf16(d, n, "from bytes", 9)), 10,
         kCut, false, true},
        {"String_CopyLengthToUtf16", "", TO(String_CopyLengthToUtf16(d, n, "locale text", 11)), 0, ""},
        {"StringUtf32_CopyLengthToUtf16", "", TO(StringUtf32_CopyLengthToUtf16(d, n, full, 8)), 9, kCut,
         false, true},
        {"StringUtf8_CopyToUtf16", "", TO(StringUtf8_CopyToUtf16(d, "from bytes", n)), 10, kCut, false, true},
        {"String_CopyToUtf16", "", TO(String_CopyToUtf16(d, "locale text", n)), 0, ""},
        {"StringUtf16_DecodeHtml", "",
         [](uint16_t* d, int32_t n) -> int64_t {
             return StringUtf16_DecodeHtml(reinterpret_cast<const uint16_t*>(u"x &lt; y"), d, n);
         },
         0, kCut},
        {"StringUtf32_CopyToUtf16", "", TO(StringUtf32_CopyToUtf16(d, full, n)), 9, kCut, false, true},
    };
    for (const Writer<uint16_t>& w : to16) ExpectRoomKept(w);
    const std::vector<Writer<uint32_t>> to32 = {
        {"StringUtf8_CopyLengthToUtf32", "", TO(StringUtf8_CopyLengthToUtf32(d, n, "to code points", 13)), 14,
         kCut, false, true},
        {"StringUtf8_CopyToUtf32", "", TO(StringUtf8_CopyToUtf32(d, "to code points", n)), 14, kCut, false,
         true},
    };
    for (const Writer<uint32_t>& w : to32) ExpectRoomKept(w);
}

} // namespace
