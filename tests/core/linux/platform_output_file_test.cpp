// A download's partial file put in place of its target: only a regular file of this user is
// renamed; whatever else sits at the partial name stays, and the target is never made a link.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/linux/platform_output_file.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uid_t kOtherUser = 65534;

// A download's file named by a location the expander could not name ("{userAppData}" left with
// a relative HOME) would land in whatever folder another user made at that name in the current
// one: it is refused and nothing is made there. Braces that name no location are a real name.
TEST(PlatformOutputFile, ALocationLeftUnexpandedIsNeverWritten) {
    TempDir dir;
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof(here)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    for (const char* folder : {"{userAppData}Q", "{notes}"}) ASSERT_EQ(mkdir(folder, 0755), 0);
    PlatformErrorCode error = 0;
    uint64_t size = 0;
    EXPECT_EQ(Platform_OpenOutputFile("{userAppData}Q", "f.bin", 1, 1, &size, &error), -1);
    EXPECT_EQ(error, PLATFORM_ERROR_ERRNO_BASE + EINVAL);
    EXPECT_EQ(Platform_OpenOutputFile(".", "{UserHome}", 1, 1, &size, &error), -1);
    EXPECT_EQ(error, PLATFORM_ERROR_ERRNO_BASE + EINVAL);
    char partial[256] = "?";
    uint32_t own = 9;
    PlatformErrorCode refused = 0;
    EXPECT_EQ(Platform_TakePartialFile("{userAppData}Q/f.bin", ".partial", 1, partial, sizeof(partial), &own, &refused,
                                       &error),
              0);
    EXPECT_EQ(error, PLATFORM_ERROR_ERRNO_BASE + EINVAL);
    EXPECT_STREQ(partial, "");
    EXPECT_EQ(rmdir("{userAppData}Q"), 0) << "nothing was made in the folder";
    const int32_t fd = Platform_OpenOutputFile("{notes}", "f.bin", 1, 1, &size, &error);
    EXPECT_GE(fd, 0) << error;
    if (fd >= 0) close(fd);
    EXPECT_EQ(Platform_TakePartialFile("{notes}/g.bin", ".partial", 1, partial, sizeof(partial), &own, &refused, &error),
              1);
    EXPECT_STREQ(partial, "{notes}/g.bin.partial");
    ASSERT_EQ(chdir(here), 0);
}

TEST(PlatformOutputFile, RenameTakesOnlyARegularFileOfOurOwn) {
    struct Case {
        const char* Name;
        const char* Partial; // what is at the partial name: file, link, their-link, their-file, folder, fifo, none
        int32_t Error;
    } const cases[] = {
        {"our file", "file", 0},
        // A link there, even to a file of ours, would become the target itself.
        {"our link to our file", "link", ELOOP},
        {"their link to our file", "their-link", ELOOP},
        {"their file", "their-file", EPERM},
        {"a folder", "folder", EISDIR},
        {"a FIFO", "fifo", EINVAL},
        {"nothing", "none", ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string kind = c.Partial;
        if ((kind == "their-link" || kind == "their-file") && geteuid() != 0) continue;
        TempDir dir;
        const std::string target = dir.file("target.bin"), partial = target + ".partial", ours = dir.file("ours");
        ASSERT_TRUE(WriteText(target, "old", 0600));
        ASSERT_TRUE(WriteText(ours, "ours", 0600));
        bool made = true;
        if (kind == "file" || kind == "their-file") made = WriteText(partial, "new", 0600);
        if (kind == "link" || kind == "their-link") made = symlink(ours.c_str(), partial.c_str()) == 0;
        if (kind == "their-link" || kind == "their-file")
            made = made && lchown(partial.c_str(), kOtherUser, kOtherUser) == 0;
        if (kind == "folder") made = mkdir(partial.c_str(), 0700) == 0;
        if (kind == "fifo") made = mkfifo(partial.c_str(), 0600) == 0;
        ASSERT_TRUE(made);
        PlatformErrorCode error = -1;
        EXPECT_EQ(Platform_RenameOwnFile(partial.c_str(), target.c_str(), &error), c.Error == 0 ? 1 : 0);
        EXPECT_EQ(error, c.Error ? PLATFORM_ERROR_ERRNO_BASE + c.Error : 0);
        struct stat info = {};
        ASSERT_EQ(lstat(target.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode)) << std::oct << info.st_mode;
        EXPECT_EQ(ReadFile(target), c.Error == 0 ? "new" : "old");
        EXPECT_EQ(ReadFile(ours), "ours");
        // What was refused is still where it was.
        EXPECT_EQ(lstat(partial.c_str(), &info) == 0, c.Error != 0 && c.Error != ENOENT);
    }
}

} // namespace
