#include "core/platform/document_stream.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/formats/ini.h"
#include "core/formats/json.h"
#include "core/formats/plist.h"
#include "core/formats/xml.h"
#include "core/formats/yaml.h"
#include "core/runtime/dictionary.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

std::set<std::string> Entries(const std::string& directory) {
    std::set<std::string> names;
    if (DIR* d = opendir(directory.c_str())) {
        while (struct dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

template <typename Body> int InChild(Body body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Each format saving or loading a Dictionary through its file operations.
template <typename T, int64_t (*Create)(T**), int64_t (*Bind)(T*, Dictionary*), int64_t (*Work)(T*, const char*),
          int64_t (*Release)(T**)>
int64_t Through(Dictionary* dict, const char* path) {
    T* object = nullptr;
    Create(&object);
    Bind(object, dict);
    const int64_t result = Work(object, path);
    Bind(object, nullptr);
    Release(&object);
    return result;
}

struct Format {
    const char* Name;
    int64_t (*Save)(Dictionary*, const char*);
    int64_t (*Load)(Dictionary*, const char*);
};

const Format kFormats[] = {
    {"json", Through<JSON, JSON_Create, JSON_SetDictionaryHandle, JSON_SaveFile, JSON_Release>,
     Through<JSON, JSON_Create, JSON_SetDictionaryHandle, JSON_LoadFile, JSON_Release>},
    {"yaml", Through<YAML, YAML_Create, YAML_SetDictionaryHandle, YAML_SaveFile, YAML_Release>,
     Through<YAML, YAML_Create, YAML_SetDictionaryHandle, YAML_LoadFile, YAML_Release>},
    {"xml", Through<XML, XML_Create, XML_SetDictionaryHandle, XML_SaveFile, XML_Release>,
     Through<XML, XML_Create, XML_SetDictionaryHandle, XML_LoadFile, XML_Release>},
    {"plist", Through<Plist, Plist_Create, Plist_SetDictionaryHandle, Plist_Save, Plist_Release>,
     Through<Plist, Plist_Create, Plist_SetDictionaryHandle, Plist_Load, Plist_Release>},
    {"ini", Through<Ini, Ini_Create, Ini_SetDictionaryHandle, Ini_SaveFile, Ini_Release>,
     Through<Ini, Ini_Create, Ini_SetDictionaryHandle, Ini_LoadFile, Ini_Release>},
};

// A document of one section holding Strings of "v" (at most 100 bytes each) that make up the
// given size.
struct Document {
    Dictionary* Dict = nullptr;
    explicit Document(size_t size) {
        Dictionary_Create(&Dict);
        Dictionary* section = nullptr;
        Dictionary_AddDictionary(Dict, "s", &section, nullptr);
        for (size_t done = 0; done < size; done += 100)
            Dictionary_AddString(section, "k", std::string(size - done < 100 ? size - done : 100, 'v').c_str(),
                                 nullptr);
    }
    ~Document() { Dictionary_Release(&Dict); }
};

// What stands at the path before a save that cannot complete.
enum class Before { Nothing, Empty, Content, SecondLink };

const char* kOld = "the old content";

void Prepare(const std::string& dir, Before before) {
    if (before == Before::Nothing) return;
    ASSERT_TRUE(WriteText(dir + "/doc", before == Before::Empty ? "" : kOld));
    if (before == Before::SecondLink) {
        ASSERT_EQ(link((dir + "/doc").c_str(), (dir + "/alias").c_str()), 0);
    }
}

void ExpectUntouched(const std::string& dir, Before before, const char* format) {
    SCOPED_TRACE(format);
    std::set<std::string> names;
    if (before != Before::Nothing) names.insert("doc");
    if (before == Before::SecondLink) names.insert("alias");
    EXPECT_EQ(Entries(dir), names);
    if (before != Before::Nothing) {
        EXPECT_EQ(ReadFile(dir + "/doc"), before == Before::Empty ? "" : kOld);
    }
    if (before == Before::SecondLink) {
        EXPECT_EQ(ReadFile(dir + "/alias"), kOld);
    }
}

const Before kBefore[] = {Before::Nothing, Before::Empty, Before::Content, Before::SecondLink};

// The file-size limit fails a write as a full disk would: every format's save fails and leaves
// exactly what was there.
TEST(DocumentStream, ASaveOverTheFileSizeLimitLeavesTheOldFile) {
    for (Before before : kBefore)
        for (const Format& format : kFormats) {
            TempDir dir;
            Prepare(dir.path(), before);
            const std::string path = dir.file("doc");
            const int status = InChild([&] {
                signal(SIGXFSZ, SIG_IGN);
                struct rlimit limit = {1000, 1000};
                if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
                Document doc(5000);
                return format.Save(doc.Dict, path.c_str()) == 0 ? 0 : 3;
            });
            EXPECT_EQ(status, 0) << format.Name << " " << (int)before;
            ExpectUntouched(dir.path(), before, format.Name);
        }
}

TEST(DocumentStream, ASaveOntoAFullDiskLeavesTheOldFile) {
    TempDir dir;
    const std::string volume = dir.file("volume");
    mkdir(volume.c_str(), 0755);
    struct Mounted {
        const std::string& Where;
        bool Ok;
        ~Mounted() {
            if (Ok) umount2(Where.c_str(), MNT_DETACH);
        }
    } mounted{volume, mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=64k") == 0};
    if (!mounted.Ok) GTEST_SKIP() << "no tmpfs can be mounted here";
    for (Before before : kBefore)
        for (const Format& format : kFormats) {
            Prepare(volume, before);
            Document doc(100 * 1024);
            EXPECT_EQ(format.Save(doc.Dict, (volume + "/doc").c_str()), 0) << format.Name << " " << (int)before;
            ExpectUntouched(volume, before, format.Name);
            unlink((volume + "/doc").c_str());
            unlink((volume + "/alias").c_str());
        }
}

// A user who may write the file but not its directory cannot have a new file made beside it:
// the save fails before the file is touched.
TEST(DocumentStream, NoNewFileBesideItFailsTheSaveUntouched) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    for (const Format& format : kFormats) {
        TempDir dir;
        chmod(dir.path().c_str(), 0755);
        const std::string path = dir.file("doc");
        ASSERT_TRUE(WriteText(path, kOld, 0644));
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        const int status = InChild([&] {
            if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
            Document doc(10);
            return format.Save(doc.Dict, path.c_str()) == 0 ? 0 : 3;
        });
        EXPECT_EQ(status, 0) << format.Name;
        ExpectUntouched(dir.path(), Before::Content, format.Name);
    }
}

// A save replaces the name it was given: a second hard link keeps the old text, a symbolic link
// stays a link to the file that now has the new text, and the file keeps its mode. A new file is
// private.
TEST(DocumentStream, ASaveReplacesTheNameItWasGiven) {
    for (const Format& format : kFormats) {
        SCOPED_TRACE(format.Name);
        TempDir dir;
        const std::string path = dir.file("doc");
        Document doc(3);
        ASSERT_EQ(format.Save(doc.Dict, path.c_str()), 1);
        struct stat info;
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);

        ASSERT_TRUE(WriteText(path, kOld, 0644));
        ASSERT_EQ(link(path.c_str(), dir.file("alias").c_str()), 0);
        ASSERT_EQ(symlink("doc", dir.file("link").c_str()), 0);
        ASSERT_EQ(format.Save(doc.Dict, dir.file("link").c_str()), 1);
        EXPECT_EQ(Entries(dir.path()), (std::set<std::string>{"alias", "doc", "link"}));
        ASSERT_EQ(lstat(dir.file("link").c_str(), &info), 0);
        EXPECT_TRUE(S_ISLNK(info.st_mode));
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u);
        EXPECT_EQ(info.st_nlink, 1u);
        EXPECT_EQ(ReadFile(dir.file("alias")), kOld);
        EXPECT_NE(ReadFile(path).find("vvv"), std::string::npos);
        Document back(0);
        EXPECT_EQ(format.Load(back.Dict, path.c_str()), 1);
    }
}

// In a directory others can write, a link at the name may have been planted to make the save
// replace a file of someone else's choosing: only our own link in a sticky directory is followed,
// any other is refused and the file it names keeps its text.
TEST(DocumentStream, ALinkPlantedInASharedDirectoryIsNotSavedThrough) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    const struct {
        mode_t mode;
        bool othersLink;
        bool followed;
    } cases[] = {
        {01777, true, false}, // /tmp: another user's link
        {00777, false, false}, // no sticky bit: even our link could be swapped before it is resolved
        {01777, false, true},
        {00755, false, true}, // only we write here
    };
    for (const auto& c : cases)
        for (const Format& format : kFormats) {
            SCOPED_TRACE(std::string(format.Name) + " mode " + std::to_string(c.mode) + (c.othersLink ? " theirs" : " ours"));
            TempDir dir;
            chmod(dir.path().c_str(), 0755);
            const std::string shared = dir.file("shared"), victim = dir.file("victim"), link = shared + "/doc";
            ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
            ASSERT_EQ(chmod(shared.c_str(), c.mode), 0);
            ASSERT_TRUE(WriteText(victim, kOld, 0644));
            if (c.othersLink) {
                ASSERT_EQ(InChild([&] {
                              if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
                              return symlink(victim.c_str(), link.c_str()) == 0 ? 0 : 3;
                          }),
                          0);
            } else {
                ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
            }
            Document doc(3);
            EXPECT_EQ(format.Save(doc.Dict, link.c_str()) == 1, c.followed);
            EXPECT_EQ(ReadFile(victim) == kOld, !c.followed);
            struct stat info;
            ASSERT_EQ(lstat(link.c_str(), &info), 0);
            EXPECT_TRUE(S_ISLNK(info.st_mode));
            EXPECT_EQ(Entries(shared), std::set<std::string>{"doc"});
        }
}

// Our own link is followed only along a way no other user controls: a link of ours that leads
// into another user's folder, or on to their link in a shared one, does not let them choose the
// file that is replaced. Their folder is named with what would let it pass.
TEST(DocumentStream, OurLinkIsNotFollowedThroughAnotherUsersFolderOrLink) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    const struct {
        const char* what;
        mode_t mode;  // of the folder the link leads into
        bool theirs;  // the folder belongs to the other user
    } cases[] = {{"into another user's folder", 0755, true}, {"on to their link in a shared folder", 01777, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        chmod(dir.path().c_str(), 0755);
        const std::string between = dir.file("between"), victim = dir.file("victim"), mine = dir.file("mine");
        ASSERT_EQ(mkdir(between.c_str(), 0700), 0);
        ASSERT_EQ(chmod(between.c_str(), c.mode), 0);
        ASSERT_TRUE(!c.theirs || chown(between.c_str(), 65534, 65534) == 0);
        ASSERT_TRUE(WriteText(victim, kOld, 0600));
        ASSERT_EQ(InChild([&] {
                      if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
                      return symlink(victim.c_str(), (between + "/doc").c_str()) == 0 ? 0 : 3;
                  }),
                  0);
        ASSERT_EQ(symlink("between/doc", mine.c_str()), 0);
        Document doc(3);
        LogCapture log;
        EXPECT_NE(kFormats[0].Save(doc.Dict, mine.c_str()), 1);
        EXPECT_EQ(ReadFile(victim), kOld);
        EXPECT_EQ(Entries(between), std::set<std::string>{"doc"});
        const struct passwd* them = getpwuid(65534);
        const std::string said = log.Text(),
                          failed = "ERROR - Document " + mine + " leads through " + between +
                                   "/: a folder of another user\nERROR - The folder " + between +
                                   " is refused: it belongs to " + (them ? them->pw_name : "?") +
                                   " (uid 65534); it passes once it belongs to you or root\n";
        EXPECT_EQ(said.find(c.theirs ? failed : "The folder "), c.theirs ? 0u : std::string::npos) << said;
    }
}

// A FIFO at the path is refused at once rather than waited on; so is a directory, which a save
// leaves as it was.
TEST(DocumentStream, OnlyRegularFilesAreLoaded) {
    for (const Format& format : kFormats) {
        TempDir dir;
        const std::string fifo = dir.file("fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const int status = InChild([&] {
            alarm(20);
            Document doc(1);
            if (format.Load(doc.Dict, fifo.c_str()) != 0) return 2;
            if (format.Load(doc.Dict, dir.path().c_str()) != 0) return 3;
            if (format.Save(doc.Dict, dir.path().c_str()) != 0) return 4;
            if (format.Save(doc.Dict, fifo.c_str()) != 0) return 5;
            return 0;
        });
        EXPECT_EQ(status, 0) << format.Name;
        EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"fifo"});
    }
}

} // namespace
