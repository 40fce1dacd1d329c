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
