// Tests of the path texts: normalising, "~", splitting, extensions, comparing, "file:" URLs and
// the path macro keys, with the exact answers the module promises.
#include "core/platform/path.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Fix(const std::string& text, uint32_t flags, int32_t size = PATH_SIZE) {
    char buffer[PATH_LIST_SIZE];
    strcpy(buffer, text.c_str());
    EXPECT_EQ(Path_Fix(buffer, size, flags), 1) << text;
    return buffer;
}

TEST(PathFix, NormalisesSeparatorsDotsAndTrailingSeparator) {
    struct Case {
        const char* in;
        uint32_t flags;
        const char* out;
    } cases[] = {
        {"\\a\\\\b/./c/", PATH_FIX_NO_TRAILING, "/a/b/c"},
        {"\\a\\\\b/./c/", PATH_FIX_TRAILING, "/a/b/c/"},
        {"/../x", PATH_FIX_NO_TRAILING, "/x"},
        {"./a", PATH_FIX_NO_TRAILING, "./a"},
        {"./a/./b", PATH_FIX_NO_TRAILING, "./a/b"},
        {"a/b/..", PATH_FIX_NO_TRAILING, "a"},
        {"a/b/..", PATH_FIX_TRAILING, "a/"},
        {"a/../../b", PATH_FIX_NO_TRAILING, "../b"},
        {"../../x/..", PATH_FIX_NO_TRAILING, "../.."},
        {"a/b", PATH_FIX_TRAILING, "a/b/"},
        {"a/b/", PATH_FIX_NO_TRAILING, "a/b"},
        {"a/.", PATH_FIX_NO_TRAILING, "a"},
        {"a/.", PATH_FIX_TRAILING, "a/"},
        {"/", PATH_FIX_TRAILING, "/"},
        {"/", PATH_FIX_NO_TRAILING, "/"},
        {"////", PATH_FIX_NO_TRAILING, "/"},
        {"\\", PATH_FIX_TRAILING, "/"},
        {"/a/b/../../..", PATH_FIX_NO_TRAILING, "/"},
        {"/a/b/../../../c", PATH_FIX_TRAILING, "/c/"},
        {"x//y/", PATH_FIX_NO_TRAILING, "x/y"},
        {"/a/b", PATH_FIX_NO_TRAILING | '\\', "\\a\\b"},
        {"/a/b/../c", PATH_FIX_TRAILING | '\\', "\\a\\c\\"},
        {"a..b/...", PATH_FIX_NO_TRAILING, "a..b/..."},
        {"\xff\xfe/./\xc3", PATH_FIX_NO_TRAILING, "\xff\xfe/\xc3"},
        // A leading "." is never cancelled: each of these names the parent or above.
        {"./..", PATH_FIX_NO_TRAILING, "./.."},
        {"./../x", PATH_FIX_NO_TRAILING, "./../x"},
        {"./../..", PATH_FIX_TRAILING, "./../../"},
        {"./C/../..", PATH_FIX_NO_TRAILING, "./.."},
        {".\\a\\..\\..\\..\\b", PATH_FIX_NO_TRAILING, "./../../b"},
    };
    for (const Case& c : cases) EXPECT_EQ(Fix(c.in, c.flags), c.out) << c.in << " flags " << c.flags;
}

TEST(PathFix, ARelativePathThatCancelsOutStaysEmptyAndNeverBecomesTheRoot) {
    for (const char* in : {"a/..", "a/../", "a/b/../..", "a\\..\\", "a/./.."})
        for (uint32_t flags : {PATH_FIX_NO_TRAILING, PATH_FIX_TRAILING}) EXPECT_EQ(Fix(in, flags), "") << in;
    char resolved[PATH_SIZE];
    EXPECT_EQ(Path_Resolve("a/../", resolved, sizeof(resolved)), 1);
    EXPECT_STREQ(resolved, "");
}

TEST(PathFix, SizeLimits) {
    char tiny[4] = "ab";
    EXPECT_EQ(Path_Fix(tiny, 1, PATH_FIX_TRAILING), 0);
    EXPECT_STREQ(tiny, "ab");
    char empty[4] = "";
    EXPECT_EQ(Path_Fix(empty, 4, PATH_FIX_TRAILING), 1);
    EXPECT_STREQ(empty, "");
    // The trailing separator is added only when it and the terminator fit.
    EXPECT_EQ(Fix("abc", PATH_FIX_TRAILING, 4), "abc");
    EXPECT_EQ(Fix("abc", PATH_FIX_TRAILING, 5), "abc/");
    // Text without a terminator within the size is taken up to size - 1 bytes.
    char unterminated[8];
    memcpy(unterminated, "abcdefgh", 8);
    EXPECT_EQ(Path_Fix(unterminated, 8, PATH_FIX_NO_TRAILING), 1);
    EXPECT_STREQ(unterminated, "abcdefg");
    EXPECT_EQ(Path_FixSlash(tiny, 4, 1), 1);
    EXPECT_STREQ(tiny, "ab/");
    EXPECT_EQ(Path_FixSlash(tiny, 4, 0), 1);
    EXPECT_STREQ(tiny, "ab");
}

class HomeScope {
  public:
    explicit HomeScope(const char* home) {
        const char* old = getenv("HOME");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("HOME", home, 1);
    }
    ~HomeScope() {
        if (had_)
            setenv("HOME", old_.c_str(), 1);
        else
            unsetenv("HOME");
    }

  private:
    bool had_ = false;
    std::string old_;
};

TEST(PathResolve, ExpandsHomeAndKeepsTheCallersTrailingSeparator) {
    HomeScope home("/home/tester");
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"~/docs/", "/home/tester/docs/"},
        {"~", "/home/tester"},
        {"~/", "/home/tester/"},
        {"~docs", "/home/tester/docs"},
        {"~\\a\\..\\b", "/home/tester/b"},
        {"a\\b\\", "a/b/"},
        {"/x//y", "/x/y"},
        {"", ""},
    };
    for (const Case& c : cases) {
        char out[PATH_SIZE];
        EXPECT_EQ(Path_Resolve(c.in, out, sizeof(out)), 1) << c.in;
        EXPECT_STREQ(out, c.out) << c.in;
    }
    // In place.
    char buffer[PATH_SIZE] = "~/in/place";
    EXPECT_EQ(Path_Resolve(buffer, buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "/home/tester/in/place");
}

TEST(PathResolve, ALeadingDotThenParentReachesTheParentNotTheCurrentDirectory) {
    TempDir tree;
    ASSERT_EQ(mkdir(tree.file("here").c_str(), 0700), 0);
    ASSERT_TRUE(WriteText(tree.file("victim"), "parent's"));
    ASSERT_TRUE(WriteText(tree.file("here/victim"), "current's"));
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

TEST(PathResolve, APathThatDoesNotFitIsRefusedNotCut) {
    HomeScope home("/home/tester");
    char out[16];
    errno = 0;
    EXPECT_EQ(Path_Resolve("/0123456789abcdef", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(Path_Resolve("~/0123", out, sizeof(out)), 0); // the home makes it too long
    EXPECT_STREQ(out, "");
    EXPECT_EQ(Path_Resolve("/012345678912345", out, sizeof(out)), 0);
    EXPECT_EQ(Path_Resolve("/01234567891234", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "/01234567891234");
    std::string longPath(400, 'a');
    char work[PATH_SIZE];
    EXPECT_EQ(Path_Resolve(longPath.c_str(), work, sizeof(work)), 0);
    EXPECT_STREQ(work, "");
}

TEST(PathParse, FileNameDirectoryAndExtension) {
    const char* name = nullptr;
    EXPECT_EQ(Path_ParseFilenamePtr("c:", &name), 0);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(Path_ParseFilenamePtr("a\\b/c.txt", &name), 1);
    EXPECT_STREQ(name, "c.txt");
    EXPECT_EQ(Path_ParseFilenamePtr("plain", &name), 1);
    EXPECT_STREQ(name, "plain");
    EXPECT_EQ(Path_ParseFilenamePtr(nullptr, &name), 0);
    EXPECT_EQ(name, nullptr);

    struct Case {
        const char* path;
        int64_t hasName;
        const char* name;
        const char* title;
        const char* directory;
        const char* extension;
        const char* extensionWithDot;
    } cases[] = {
        {"/a/b.txt", 1, "b.txt", "b", "/a/", "txt", ".txt"},
        {"x/archive.tar.gz", 1, "archive.tar.gz", "archive.tar", "x/", "gz", ".gz"},
        {"dir.d/file", 1, "file", "file", "dir.d/", "", ""},
        {"file.", 1, "file.", "file.", "", "", ""},
        {"/home/.profile", 1, ".profile", "", "/home/", "profile", ".profile"},
        {"/a/dir/", 0, "", "", "/a/dir/", "", ""},
        {"c:name.x", 1, "name.x", "name", "c:", "x", ".x"},
        {"", 0, "", "", "", "", ""},
    };
    for (const Case& c : cases) {
        char out[PATH_SIZE];
        EXPECT_EQ(Path_ParseFilename(c.path, out, sizeof(out)), c.hasName) << c.path;
        EXPECT_STREQ(out, c.name) << c.path;
        EXPECT_EQ(Path_ParseFilenameWithoutExtension(c.path, out, sizeof(out)), c.hasName) << c.path;
        EXPECT_STREQ(out, c.title) << c.path;
        EXPECT_EQ(Path_ParseDirectory(c.path, out, sizeof(out)), 1) << c.path;
        EXPECT_STREQ(out, c.directory) << c.path;
        EXPECT_EQ(Path_ParseExtension(c.path, 0, out, sizeof(out)), 1) << c.path;
        EXPECT_STREQ(out, c.extension) << c.path;
        EXPECT_EQ(Path_ParseExtension(c.path, 1, out, sizeof(out)), 1) << c.path;
        EXPECT_STREQ(out, c.extensionWithDot) << c.path;

        char edit[PATH_SIZE];
        strcpy(edit, c.path);
        EXPECT_EQ(Path_RemoveFilename(edit), c.hasName) << c.path;
        EXPECT_STREQ(edit, c.directory) << c.path;
        strcpy(edit, c.path);
        EXPECT_EQ(Path_RemoveDirectory(edit), c.hasName) << c.path;
        EXPECT_STREQ(edit, c.hasName ? c.name : c.path) << c.path;
        strcpy(edit, c.path);
        EXPECT_EQ(Path_RemoveExtension(edit), c.extension[0] ? 1 : 0) << c.path;
        if (c.extension[0]) {
            EXPECT_EQ(std::string(edit) + c.extensionWithDot, c.path);
        }
    }
    const char* extension = nullptr;
    EXPECT_EQ(Path_ParseExtensionPtr("a.b", 1, nullptr), 0);
    EXPECT_EQ(Path_ParseExtensionPtr(nullptr, 1, &extension), 0);
    EXPECT_EQ(Path_ParseExtensionPtr("a.b", 0, &extension), 1);
    EXPECT_STREQ(extension, "b");
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
    EXPECT_EQ(Path_Compare("a/b", "a\\b", 0), 1);
    EXPECT_EQ(Path_Compare("A", "a", 0), 0);
    EXPECT_EQ(Path_Compare("A", "a", 1), 1);
    EXPECT_EQ(Path_Compare("a/b", "a/bc", 1), 0);
    EXPECT_EQ(Path_Compare("", "", 0), 1);
    EXPECT_EQ(Path_Compare("/X\\y", "\\x/Y", 1), 1);
    EXPECT_EQ(Path_Compare("\xc3\x84", "\xc3\xa4", 1), 0); // only ASCII letters fold
    EXPECT_EQ(Path_IsAbsolute("/a"), 1);
    EXPECT_EQ(Path_IsAbsolute("\\a"), 1);
    EXPECT_EQ(Path_IsAbsolute("a/b"), 0);
    EXPECT_EQ(Path_IsAbsolute(""), 0);
}

TEST(PathURL, ToAndFromFileURLs) {
    struct To {
        const char* path;
        const char* url;
    } to[] = {
        {"/tmp/a", "file:///tmp/a"},           {"./a", "file:./a"},
        {".hidden", "file:.hidden"},           {"a\\b", "file:./a/b"},
        {"//host/share", "file://host/share"}, {"\\\\host\\share", "file://host/share"},
        {"\\tmp\\a", "file:///tmp/a"},         {"", "file:./"},
    };
    for (const To& c : to) {
        char out[PATH_SIZE];
        EXPECT_EQ(Path_ConvertToURL(c.path, out, sizeof(out)), 1) << c.path;
        EXPECT_STREQ(out, c.url) << c.path;
    }
    char small[8];
    EXPECT_EQ(Path_ConvertToURL("/tmp/a", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "");

    struct From {
        const char* url;
        int64_t result;
        const char* path;
    } from[] = {
        {"file:///tmp/a", 1, "/tmp/a"},
        {"file://localhost/tmp/a", 1, "/tmp/a"},
        {"file://LocalHost/tmp/a", 1, "/tmp/a"},
        {"file:////tmp/a", 1, "/tmp/a"},
        {"file://host/share/x", 1, "//host/share/x"},
        {"file:./a", 1, "./a"},
        {"file:///tmp/a%20b", 1, "/tmp/a%20b"},
        {"FILE:///x", 1, "/x"},
        {"file://", 0, ""},
        {"file:/tmp/a", 0, ""},
        {"file:tmp", 0, ""},
        {"http://host/a", 0, ""},
        {"", 0, ""},
    };
    for (const From& c : from) {
        char out[PATH_SIZE] = "junk";
        EXPECT_EQ(Path_ConvertFromURL(c.url, out, sizeof(out)), c.result) << c.url;
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
    struct Case {
        const char* key;
        const char* argument;
        const char* value;
    } cases[] = {
        {"PathParse", "dir,/a/b.txt", "/a/"},
        {"PathParse", "Directory,/a/b.txt", "/a/"},
        {"PathParse", "name,/a/b.txt", "b.txt"},
        {"PathParse", "filename,/a/b.txt", "b.txt"},
        {"PathParse", "title,/a/b.txt", "b"},
        {"PathParse", "nameWithoutExtension,/a/b.txt", "b"},
        {"PathParse", "filenameWithoutExtension,/a/b.txt", "b"},
        {"PathParse", "extension,/a/b.txt", "txt"},
        {"PathParse", "extensionWithDot,/a/b.txt", ".txt"},
        {"PathParse", "name,/a/b,c.txt", "b,c.txt"},
        {"PathParse", "other,/a/b.txt", ""},
        {"PathParse", "/a/b.txt", ""},
        {"PATHFIX", "x//y/,false", "x/y"},
        {"PathFix", "x//y", "x/y/"},
        {"PathFix", "x//y/,0", "x/y"},
        {"PathFix", "x//y,yes", "x/y/"},
        {"PathFix", "a/..,true", ""},
        {"PathJoin", "a,b/,c", "a/b/c"},
        {"PathJoin", "a/,b/", "a/b/"},
        {"PathJoin", "", ""},
        {"PathJoin", "/r,..,x", "/x"},
        {"PathJoin", "a,,b", "a/b"},
        {"PathJoin", "a\\,b\\", "a/b/"},
        {"PathToUrl", "/tmp/a", "file:///tmp/a"},
        {"PathFromUrl", "file://localhost/tmp/a", "/tmp/a"},
        {"PathFromUrl", "http://x/", ""},
    };
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

TEST(PathDeath, NullPointers) {
    char buffer[8];
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Path_Fix(nullptr, 8, PATH_FIX_TRAILING);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Path_Resolve(nullptr, buffer, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Path_Compare("a", nullptr, 0);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
