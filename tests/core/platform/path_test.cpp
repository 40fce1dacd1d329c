// Tests of the path texts: normalising, "~", splitting, extensions, comparing, "file:" URLs and
// the path macro keys, with the exact answers the module promises.
#include "core/platform/path.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/file_trees.h"
#include "tests/support/scoped_env.h"

namespace {

constexpr uint32_t N = PATH_FIX_NO_TRAILING, T = PATH_FIX_TRAILING;

std::string Fix(const std::string& text, uint32_t flags, int32_t size = PATH_SIZE) {
    char buffer[PATH_LIST_SIZE];
    strcpy(buffer, text.c_str());
    EXPECT_EQ(Path_Fix(buffer, size, flags), 1) << text;
    return buffer;
}

// A leading "." is never cancelled ("./.." names the parent or above), and a relative path that
// cancels out stays empty, never becoming the root.
TEST(PathFix, NormalisesSeparatorsDotsAndTrailingSeparator) {
    // clang-format off
    struct Case { const char* in; uint32_t flags; const char* out; } cases[] = {
        {"\\a\\\\b/./c/", N, "/a/b/c"}, {"\\a\\\\b/./c/", T, "/a/b/c/"}, {"/../x", N, "/x"},
        {"./a", N, "./a"}, {"./a/./b", N, "./a/b"}, {"a/b/..", N, "a"}, {"a/b/..", T, "a/"},
        {"a/../../b", N, "../b"}, {"../../x/..", N, "../.."}, {"a/b", T, "a/b/"}, {"a/b/", N, "a/b"},
        {"a/.", N, "a"}, {"a/.", T, "a/"}, {"/", T, "/"}, {"/", N, "/"}, {"////", N, "/"}, {"\\", T, "/"},
        {"/a/b/../../..", N, "/"}, {"/a/b/../../../c", T, "/c/"}, {"x//y/", N, "x/y"},
        {"/a/b", N | '\\', "\\a\\b"}, {"/a/b/../c", T | '\\', "\\a\\c\\"}, {"a..b/...", N, "a..b/..."},
        {"\xff\xfe/./\xc3", N, "\xff\xfe/\xc3"},
        {"./..", N, "./.."}, {"./../x", N, "./../x"}, {"./../..", T, "./../../"}, {"./C/../..", N, "./.."},
        {".\\a\\..\\..\\..\\b", N, "./../../b"},
        {"a/..", N, ""}, {"a/../", T, ""}, {"a/b/../..", T, ""}, {"a\\..\\", N, ""}, {"a/./..", T, ""},
        {"a/..", T, ""}, {"a/../", N, ""}, {"a/b/../..", N, ""}, {"a\\..\\", T, ""}, {"a/./..", N, ""},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(Fix(c.in, c.flags), c.out) << c.in << " flags " << c.flags;
}

TEST(PathFix, SizeLimits) {
    char tiny[4] = "ab";
    EXPECT_EQ(Path_Fix(tiny, 1, T), 0);
    EXPECT_STREQ(tiny, "ab");
    char empty[4] = "";
    EXPECT_EQ(Path_Fix(empty, 4, T), 1);
    EXPECT_STREQ(empty, "");
    // The trailing separator is added only when it and the terminator fit.
    EXPECT_EQ(Fix("abc", T, 4), "abc");
    EXPECT_EQ(Fix("abc", T, 5), "abc/");
    // Text without a terminator within the size is taken up to size - 1 bytes.
    char unterminated[8];
    memcpy(unterminated, "abcdefgh", 8);
    EXPECT_EQ(Path_Fix(unterminated, 8, N), 1);
    EXPECT_STREQ(unterminated, "abcdefg");
    EXPECT_EQ(Path_FixSlash(tiny, 4, 1), 1);
    EXPECT_STREQ(tiny, "ab/");
    EXPECT_EQ(Path_FixSlash(tiny, 4, 0), 1);
    EXPECT_STREQ(tiny, "ab");
}

// "~" is this test program's own home.
class PathResolve : public ::testing::Test {
  protected:
    void SetUp() override { SetBothEnv("HOME", "/home/tester"); }
};

TEST_F(PathResolve, ExpandsHomeAndKeepsTheCallersTrailingSeparatorAlsoInPlace) {
    // clang-format off
    struct Case { const char *in, *out; } cases[] = {
        {"~/docs/", "/home/tester/docs/"}, {"~", "/home/tester"}, {"~/", "/home/tester/"},
        {"~docs", "/home/tester/docs"}, {"~\\a\\..\\b", "/home/tester/b"}, {"a\\b\\", "a/b/"},
        {"/x//y", "/x/y"}, {"", ""}, {"a/../", ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        char out[PATH_SIZE], in[PATH_SIZE];
        EXPECT_EQ(Path_Resolve(c.in, out, sizeof(out)), 1) << c.in;
        EXPECT_STREQ(out, c.out) << c.in;
        strcpy(in, c.in);
        EXPECT_EQ(Path_Resolve(in, in, sizeof(in)), 1) << c.in;
        EXPECT_STREQ(in, c.out) << c.in << " in place";
    }
}

TEST_F(PathResolve, APathThatDoesNotFitIsRefusedNotCut) {
    const std::string longPath(400, 'a');
    // clang-format off
    struct Case { const char* in; int32_t size; int64_t result; const char* out; } cases[] = {
        {"/0123456789abcdef", 16, 0, ""}, {"~/0123", 16, 0, ""} /* the home makes it too long */,
        {"/012345678912345", 16, 0, ""}, {"/01234567891234", 16, 1, "/01234567891234"},
        {longPath.c_str(), PATH_SIZE, 0, ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        char out[PATH_SIZE];
        errno = 0;
        EXPECT_EQ(Path_Resolve(c.in, out, c.size), c.result) << c.in;
        EXPECT_STREQ(out, c.out) << c.in;
        EXPECT_EQ(errno, c.result ? 0 : ENAMETOOLONG) << c.in;
    }
}

// A home that cannot be named (too long for the lookup, or not a full path) refuses "~", never
// leaving the rest relative to the current folder.
TEST_F(PathResolve, AHomeThatCannotBeNamedIsRefused) {
    for (const std::string& home : {"/" + std::string(5000, 'h'), std::string("relative/home"), std::string()}) {
        SetBothEnv("HOME", home.c_str());
        char out[PATH_SIZE] = "?";
        errno = 0;
        EXPECT_EQ(Path_Resolve("~/notes.txt", out, sizeof(out)), 0) << home.size();
        EXPECT_STREQ(out, "");
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(Path_Resolve("/x/notes.txt", out, sizeof(out)), 1);
        EXPECT_STREQ(out, "/x/notes.txt");
        // A location whose folder had no value is not taken from the current folder either.
        errno = 0;
        EXPECT_EQ(Path_Resolve("{UserAppData}Quarvelon/notes.txt", out, sizeof(out)), 0);
        EXPECT_STREQ(out, "");
        EXPECT_EQ(errno, EINVAL);
        PlatformErrorCode error = 0;
        EXPECT_EQ(Path_CreateDirectory("{UserAppData}Quarvelon/", 0, &error), 0);
        EXPECT_EQ(error, PLATFORM_ERROR_ERRNO_BASE + EINVAL);
    }
    EXPECT_FALSE(Path_Exists("{UserAppData}Quarvelon"));
}

// The expander judges which tokens name a location: one left anywhere in a path refuses it, and
// braces that name no location are part of a real file name.
TEST(PathResolveOnDisk, ALocationLeftAnywhereIsRefusedAndOtherBracesAreNames) {
    TempDir tree;
    char previous[PATH_SIZE];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(tree.path().c_str()), 0);
    const std::string here = tree.path() + "/";
    const struct {
        const char* in;
        std::string out; // empty: refused
    } cases[] = {
        {"{UserAppData}Q/notes.txt", ""},
        {"sub/{userappdata}Q/notes.txt", ""},
        {"/x/{Temp}notes.txt", ""},
        {"a{Env:QVR_NO_SUCH_VARIABLE}/b", ""},
        {"{PathFix:{UserHome}x}", ""},
        {"{notes}.txt", "{notes}.txt"},
        {"/x/{draft}/{1}.txt", "/x/{draft}/{1}.txt"},
        {"{ UserHome}/a", "{ UserHome}/a"},
        {"{UserHome", "{UserHome"},
        {"{Temporary}/a", "{Temporary}/a"},
    };
    for (const auto& c : cases) {
        char out[PATH_SIZE] = "?";
        errno = 0;
        EXPECT_EQ(Path_Resolve(c.in, out, sizeof(out)), c.out.empty() ? 0 : 1) << c.in;
        EXPECT_EQ(out, c.out) << c.in;
        EXPECT_EQ(errno, c.out.empty() ? EINVAL : 0) << c.in;
    }
    // A real file whose name holds braces is made and found where it is named.
    PlatformErrorCode error = 0;
    EXPECT_EQ(Path_CreateDirectory("{notes}/", 0, &error), 1) << error;
    EXPECT_TRUE(Path_Exists((here + "{notes}").c_str()));
    EXPECT_EQ(Path_CreateDirectory("{UserHome}/", 0, &error), 0);
    EXPECT_FALSE(Path_Exists((here + "{UserHome}").c_str()));
    ASSERT_EQ(chdir(previous), 0);
}

TEST(PathResolveOnDisk, ALeadingDotThenParentReachesTheParentNotTheCurrentDirectory) {
    TempDir tree;
    ASSERT_TRUE(path_test::Build(tree.path(), {"here/", "victim=parent's", "here/victim=current's"}));
    char previous[PATH_SIZE];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(tree.file("here").c_str()), 0);
    PlatformErrorCode error = 0;
    const int64_t erased = Path_EraseFile("./../victim", 1, &error);
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(erased, 1);
    EXPECT_FALSE(FileExists(tree.file("victim")));
    EXPECT_EQ(ReadFile(tree.file("here/victim")), "current's");
}

TEST(PathParse, FileNameDirectoryAndExtension) {
    const char* name = nullptr;
    EXPECT_EQ(Path_ParseFilenamePtr("c:", &name), 0);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(Path_ParseFilenamePtr("a\\b/c.txt", &name), 1);
    EXPECT_STREQ(name, "c.txt");
    EXPECT_EQ(Path_ParseFilenamePtr(nullptr, &name), 0);
    EXPECT_EQ(name, nullptr);

    // clang-format off
    struct Case { const char *path, *name, *title, *directory, *extension, *extensionWithDot; } cases[] = {
        {"/a/b.txt", "b.txt", "b", "/a/", "txt", ".txt"},
        {"x/archive.tar.gz", "archive.tar.gz", "archive.tar", "x/", "gz", ".gz"},
        {"dir.d/file", "file", "file", "dir.d/", "", ""},
        {"file.", "file.", "file.", "", "", ""},
        {"/home/.profile", ".profile", "", "/home/", "profile", ".profile"},
        {"/a/dir/", "", "", "/a/dir/", "", ""},
        {"c:name.x", "name.x", "name", "c:", "x", ".x"},
        {"plain", "plain", "plain", "", "", ""},
        {"", "", "", "", "", ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        const int64_t hasName = c.name[0] ? 1 : 0;
        char out[PATH_SIZE];
        EXPECT_EQ(Path_ParseFilename(c.path, out, sizeof(out)), hasName) << c.path;
        EXPECT_STREQ(out, c.name) << c.path;
        EXPECT_EQ(Path_ParseFilenameWithoutExtension(c.path, out, sizeof(out)), hasName) << c.path;
        EXPECT_STREQ(out, c.title) << c.path;
        EXPECT_EQ(Path_ParseDirectory(c.path, out, sizeof(out)), 1) << c.path;
        EXPECT_STREQ(out, c.directory) << c.path;
        EXPECT_EQ(Path_ParseExtension(c.path, 0, out, sizeof(out)), 1) << c.path;
        EXPECT_STREQ(out, c.extension) << c.path;
        EXPECT_EQ(Path_ParseExtension(c.path, 1, out, sizeof(out)), 1) << c.path;
        EXPECT_STREQ(out, c.extensionWithDot) << c.path;

        char edit[PATH_SIZE];
        EXPECT_EQ(Path_RemoveFilename(strcpy(edit, c.path)), hasName) << c.path;
        EXPECT_STREQ(edit, c.directory) << c.path;
        EXPECT_EQ(Path_RemoveDirectory(strcpy(edit, c.path)), hasName) << c.path;
        EXPECT_STREQ(edit, hasName ? c.name : c.path) << c.path;
        EXPECT_EQ(Path_RemoveExtension(strcpy(edit, c.path)), c.extension[0] ? 1 : 0) << c.path;
        EXPECT_EQ(std::string(edit) + c.extensionWithDot, c.path);
    }
    const char* extension = nullptr;
    EXPECT_EQ(Path_ParseExtensionPtr("a.b", 1, nullptr), 0);
    EXPECT_EQ(Path_ParseExtensionPtr(nullptr, 1, &extension), 0);
    EXPECT_EQ(Path_ParseExtensionPtr("a.d\\b", 0, &extension), 0);
    EXPECT_EQ(extension, nullptr);
}

TEST(PathParse, TextsThatDoNotFitAreRefusedNotCut) {
    char out[4];
    EXPECT_EQ(Path_ParseFilename("/a/long.txt", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(Path_ParseDirectory("/long/x", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(Path_ParseExtension("a.long", 0, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(Path_ParseExtension("a.abc", 0, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "abc");
}

TEST(PathCompare, SeparatorsAreEqualAndCaseOnlyWithTheFlag) {
    // clang-format off
    struct Case { const char *a, *b; int32_t flags; int64_t same; } cases[] = {
        {"a/b", "a\\b", 0, 1}, {"A", "a", 0, 0}, {"A", "a", 1, 1}, {"a/b", "a/bc", 1, 0}, {"", "", 0, 1},
        {"/X\\y", "\\x/Y", 1, 1}, {"\xc3\x84", "\xc3\xa4", 1, 0} /* only ASCII letters fold */,
        {"Z", "z", 1, 1}, {"z", "Z", 1, 1}, {"[", "{", 1, 0}, {"@", "`", 1, 0},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(Path_Compare(c.a, c.b, c.flags), c.same) << c.a << " " << c.b;
    for (const char* path : {"/a", "\\a"}) EXPECT_EQ(Path_IsAbsolute(path), 1) << path;
    for (const char* path : {"a/b", ""}) EXPECT_EQ(Path_IsAbsolute(path), 0) << path;
}

TEST(PathURL, ToAndFromFileURLs) {
    // clang-format off
    struct To { const char *path, *url; } to[] = {
        {"/tmp/a", "file:///tmp/a"}, {"./a", "file:./a"}, {".hidden", "file:.hidden"}, {"a\\b", "file:./a/b"},
        {"//host/share", "file://host/share"}, {"\\\\host\\share", "file://host/share"},
        {"\\tmp\\a", "file:///tmp/a"}, {"", "file:./"},
    };
    // clang-format on
    for (const To& c : to) {
        char out[PATH_SIZE];
        EXPECT_EQ(Path_ConvertToURL(c.path, out, sizeof(out)), 1) << c.path;
        EXPECT_STREQ(out, c.url) << c.path;
    }
    char small[8];
    EXPECT_EQ(Path_ConvertToURL("/tmp/a", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "");

    // clang-format off
    struct From { const char *url, *path; } from[] = {
        {"file:///tmp/a", "/tmp/a"}, {"file://localhost/tmp/a", "/tmp/a"},
        {"file://LocalHost/tmp/a", "/tmp/a"}, {"file:////tmp/a", "/tmp/a"},
        {"file://host/share/x", "//host/share/x"}, {"file:./a", "./a"},
        {"file:///tmp/a%20b", "/tmp/a%20b"}, {"FILE:///x", "/x"},
        // Not file URLs this module takes: nothing.
        {"file://", ""}, {"file:/tmp/a", ""}, {"file:tmp", ""}, {"http://host/a", ""}, {"", ""},
    };
    // clang-format on
    for (const From& c : from) {
        char out[PATH_SIZE] = "junk";
        EXPECT_EQ(Path_ConvertFromURL(c.url, out, sizeof(out)), c.path[0] ? 1 : 0) << c.url;
        EXPECT_STREQ(out, c.path) << c.url;
    }
    EXPECT_EQ(Path_ConvertFromURL("file:///0123456789", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "");
}

std::string Expand(const char* key, const char* argument, int64_t expected = 1) {
    char value[PATH_LIST_SIZE] = "junk";
    std::string copy = argument ? argument : "";
    EXPECT_EQ(Path_ExpandKey(nullptr, key, argument ? copy.data() : nullptr, value, sizeof(value)), expected)
        << key << " " << (argument ? argument : "(none)");
    return value;
}

TEST(PathExpandKey, MacroKeys) {
    EXPECT_EQ(Expand("PathSlash", nullptr), "/");
    EXPECT_EQ(Expand("pathslash", nullptr), "/");
    // clang-format off
    struct Case { const char *key, *argument, *value; } cases[] = {
        {"PathParse", "dir,/a/b.txt", "/a/"}, {"PathParse", "Directory,/a/b.txt", "/a/"},
        {"PathParse", "name,/a/b.txt", "b.txt"}, {"PathParse", "filename,/a/b.txt", "b.txt"},
        {"PathParse", "title,/a/b.txt", "b"}, {"PathParse", "nameWithoutExtension,/a/b.txt", "b"},
        {"PathParse", "filenameWithoutExtension,/a/b.txt", "b"}, {"PathParse", "extension,/a/b.txt", "txt"},
        {"PathParse", "extensionWithDot,/a/b.txt", ".txt"}, {"PathParse", "name,/a/b,c.txt", "b,c.txt"},
        {"PathParse", "other,/a/b.txt", ""}, {"PathParse", "/a/b.txt", ""},
        {"PATHFIX", "x//y/,false", "x/y"}, {"PathFix", "x//y", "x/y/"}, {"PathFix", "x//y/,0", "x/y"},
        {"PathFix", "x//y,yes", "x/y/"}, {"PathFix", "a/..,true", ""},
        {"PathJoin", "a,b/,c", "a/b/c"}, {"PathJoin", "a/,b/", "a/b/"}, {"PathJoin", "", ""},
        {"PathJoin", "/r,..,x", "/x"}, {"PathJoin", "a,,b", "a/b"}, {"PathJoin", "a\\,b\\", "a/b/"},
        {"PathToUrl", "/tmp/a", "file:///tmp/a"}, {"PathFromUrl", "file://localhost/tmp/a", "/tmp/a"},
        {"PathFromUrl", "http://x/", ""},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(Expand(c.key, c.argument), c.value) << c.key << " " << c.argument;
}

TEST(PathExpandKey, UnknownKeysAndMissingArgumentsAreNotHandled) {
    for (const char* key : {"PathParse", "PathFix", "PathJoin", "PathToUrl", "PathFromUrl"})
        EXPECT_EQ(Expand(key, nullptr, 0), "") << key;
    EXPECT_EQ(Expand("PathSplit", "a,b", 0), "");
    EXPECT_EQ(Expand("Base64Encode", "x", 0), "");
    // A join longer than the value buffer gives nothing rather than a cut path.
    std::string many;
    for (int i = 0; i < 300; i++) many += "abcd,";
    EXPECT_EQ(Expand("PathJoin", many.c_str()), "");
}

} // namespace
