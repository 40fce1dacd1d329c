// The host executable judging the paths a workflow names by the place they reach: one table of
// attack inputs (values from outside that hold tokens, locations that vanish or give a relative
// text, folders the program refused reached by another name) run through the surfaces that write,
// read, remove and run. Whatever the input, nothing outside the test's targets is changed: the
// victim beside the shared folder, the current folder the run starts in, another account's folder,
// /dev; where the input is refused, the run fails and says why.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/host/host_child.h"

namespace {

std::string Read(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// Every name under the folder (links not followed), with each file's text.
std::string Listing(const std::string& folder) {
    const std::string listed = folder + ".listing";
    std::system(("cd '" + folder + "' && find . -printf '%p %y\\n' | sort > '" + listed + "' 2>/dev/null").c_str());
    std::string text = Read(listed);
    unlink(listed.c_str());
    return text;
}

// The program under test: the build's, or another build's to see what an earlier version did.
std::string Program() {
    const char* other = getenv("QVR_HOST_PROGRAM");
    return other && other[0] ? other : HOST_PROGRAM;
}

// An environment with `name` set to `value` in place of the folder's own.
std::vector<std::string> With(std::vector<std::string> env, const std::string& name, const std::string& value) {
    for (std::string& entry : env)
        if (entry.rfind(name + "=", 0) == 0) {
            entry = name + "=" + value;
            return env;
        }
    env.push_back(name + "=" + value);
    return env;
}

class HostPathJudgement : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_.Write("app.yaml", "name: \"judgement-test\"\nselfUpdateWorkflow: \"wf.yaml\"\n");
        for (const std::string& made : {Current(), Shared(), Theirs(), Open(), folder_.Dir() + "/data"})
            ASSERT_EQ(mkdir(made.c_str(), 0700), 0) << made;
        // Shared by every account, and open to every writer: what other accounts leave there.
        ASSERT_EQ(chmod(Shared().c_str(), 01777), 0);
        ASSERT_EQ(chmod(Open().c_str(), 0777), 0);
        ASSERT_EQ(mkdir((Shared() + "/dir").c_str(), 0700), 0);
        ASSERT_EQ(chmod((Shared() + "/dir").c_str(), 0777), 0);
        std::ofstream(Theirs() + "/settings.json") << "{\"server\": \"https://attacker.example/\"}";
        ASSERT_EQ(symlink(Theirs().c_str(), (Open() + "/Quarvelon").c_str()), 0);
        // Programs a relative name would run, in the folder the run starts in.
        for (const char* name : {"a.json", "b", "c", "x"}) {
            std::ofstream(Current() + "/" + name) << "#!/bin/sh\ntouch '" + Marker() + "'\n";
            chmod((Current() + "/" + name).c_str(), 0755);
        }
        const std::string zip = folder_.Dir() + "/tool.zip";
        std::system(("/usr/bin/python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1],'w'); "
                     "z.writestr('dir/tool.sh','#!/bin/sh\\n'); z.close()\" '" + zip + "'").c_str());
        std::ofstream(folder_.Dir() + "/source.txt") << "source";
    }
    void TearDown() override { std::system((std::string("rm -rf ") + kDevName).c_str()); }

    std::string Current() const { return folder_.Dir() + "/current"; }
    std::string Shared() const { return folder_.Dir() + "/shared"; }
    std::string Theirs() const { return folder_.Dir() + "/theirs"; }
    std::string Open() const { return folder_.Dir() + "/open"; }
    std::string Victim() const { return folder_.Dir() + "/victim.conf"; }
    std::string Marker() const { return folder_.Dir() + "/ran"; }
    static constexpr const char* kDevName = "/dev/qvr-expand-judgement-never";

    HostFolder folder_;
};

// The surfaces, each a task that takes the input as its path.
struct Surface {
    const char* Argument;
    std::string (*Document)(const std::string& path, const std::string& dir);
};

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

const Surface kSurfaces[] = {
    {"path", [](const std::string& p, const std::string&) {
         return "apply: {type: JSONWrite, path: " + Quoted(p) + ", keyValuePairs: {token: stolen}}\n";
     }},
    {"path", [](const std::string& p, const std::string&) {
         return "apply: {type: JSONRead, path: " + Quoted(p) + ", key: server}\n";
     }},
    {"path", [](const std::string& p, const std::string&) {
         return "apply: {type: FileDelete, path: " + Quoted(p) + ", failIfMissing: false}\n";
     }},
    {"path", [](const std::string& p, const std::string&) {
         return "apply: {type: DirectoryCreate, path: " + Quoted(p + "/made") + "}\n";
     }},
    {"path", [](const std::string& p, const std::string&) { return "apply: {type: Launch, path: " + Quoted(p) + "}\n"; }},
    {"targetPath", [](const std::string& p, const std::string& dir) {
         return "apply: {type: FileCopy, sourcePath: " + Quoted(dir + "/source.txt") + ", targetPath: " + Quoted(p) + "}\n";
     }},
    {"outputDirectory", [](const std::string& p, const std::string& dir) {
         return "apply: {type: Unzip, path: " + Quoted(dir + "/tool.zip") + ", outputDirectory: " + Quoted(p + "/") + "}\n";
     }},
};

TEST_F(HostPathJudgement, EveryAttackInputIsJudgedByThePlaceItReachesOnEverySurface) {
    const std::string dir = folder_.Dir();
    const std::vector<std::string> base = folder_.Env();
    const std::vector<std::string> open = With(base, "XDG_DATA_HOME", Open());
    // What a refusal says after the argument's name; empty: the input is text, not refused as such.
    const std::string refusedOpen = "names the refused folder " + Open() + "/Quarvelon/ (a folder other users can change)";
    const std::string noFullPath = "names no full path once its macros are expanded (";
    struct Input {
        const char* Name;
        std::string Path;
        std::vector<std::string> Env;
        std::string Says;
    } const inputs[] = {
        // A value from outside is text: a file name, the environment, the platform's folders.
        {"an outside value holding a function", "{Env:QVR_OUTSIDE}",
         With(base, "QVR_OUTSIDE", Shared() + "/{PathJoin:..,victim.conf}"), ""},
        {"a data folder holding braces", "{userAppData}victim.conf",
         With(base, "XDG_DATA_HOME", dir + "/data/{Copy:..}/"), ""},
        // A location that vanishes inside a function, or gives nothing or a relative text.
        {"a directory of a workflow path it has not", "{PathParse:dir,{workflowPath}}a.json", base, noFullPath},
        {"a workflow folder climbed out of", "{PathFix:{workflowDirectory}/../b,false}", base, noFullPath},
        {"a workflow folder joined away", "{PathJoin:{workflowDirectory},..,c}", base, noFullPath},
        {"a path from an address that is none", "{PathFromUrl:{workflowUrl}}x", base, noFullPath},
        {"an empty variable", "{Env:QVR_EMPTY}x", With(base, "QVR_EMPTY", ""), noFullPath},
        {"a relative variable", "{Env:QVR_RELATIVE}x", With(base, "QVR_RELATIVE", "rel/"), noFullPath},
        {"an absent switch", "{CommandLine:qvrnosuch}x", base, noFullPath},
        {"the content address as a path", "{contentUrl}x", base, noFullPath},
        {"an unset variable", "{Env:QVR_UNSET}x", base, "names a location without its folder ({Env:QVR_UNSET})"},
        // A folder the program refused, whatever name reaches it.
        {"the refused storage climbed out of", "{PathFix:{LocalStorage}../../../../../qvr-expand-judgement-never,false}",
         open, noFullPath},
        {"the refused data folder through another's link", "{userAppData}Quarvelon/settings.json", open, refusedOpen},
        {"the refused data folder from the home", "{UserHome}open/Quarvelon/settings.json", open, refusedOpen},
    };
    const std::string victimText = "victim";
    for (const Input& input : inputs) {
        for (const Surface& surface : kSurfaces) {
            const std::string document = surface.Document(input.Path, dir);
            SCOPED_TRACE(std::string(input.Name) + ": " + document);
            std::ofstream(Victim()) << victimText;
            unlink(Marker().c_str());
            const std::string current = Listing(Current()), theirs = Listing(Theirs()), shared = Listing(Shared());
            folder_.Write("wf.yaml", document);
            const HostRun run = RunHost({"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", Current(), Program(),
                                         "--skin=" + folder_.Skin(), "--wfselfupdate", "--disablesecurity"},
                                        input.Env);
            EXPECT_EQ(Read(Victim()), victimText);
            EXPECT_FALSE(Exists(Marker()));
            EXPECT_EQ(Listing(Current()), current);
            EXPECT_EQ(Listing(Theirs()), theirs);
            EXPECT_FALSE(Exists(kDevName));
            std::system((std::string("rm -rf ") + kDevName).c_str());
            if (input.Says.empty()) continue;
            // Outside values may name the shared folder; refusals leave it as it was too.
            EXPECT_EQ(Listing(Shared()), shared);
            EXPECT_NE(run.Code, 0) << run.Text;
            const std::string said = "\"" + std::string(surface.Argument) + "\" argument " + input.Says;
            EXPECT_NE(run.Text.find("ERROR - "), std::string::npos) << run.Text;
            EXPECT_NE(run.Text.find(said), std::string::npos) << said << "\n" << run.Text;
        }
    }
}

// A file another account named like a macro, listed and removed entry by entry as the
// documentation shows: the name is the file's, nothing outside the listed folder is removed.
TEST_F(HostPathJudgement, AListedNameIsTextNeverAMacro) {
    std::ofstream(Victim()) << "victim";
    std::ofstream(Shared() + "/{PathJoin:..,victim.conf}") << "theirs";
    folder_.Write("wf.yaml", "apply: {type: DirectoryList, path: " + Quoted(Shared() + "/") +
                                 ", forEachFile: each}\neach: {type: FileDelete, path: '{this.parent.status.path}'}\n");
    const HostRun run =
        RunHost({Program(), "--skin=" + folder_.Skin(), "--wfselfupdate", "--disablesecurity"}, folder_.Env());
    EXPECT_EQ(run.Code, 0) << run.Text;
    EXPECT_EQ(Read(Victim()), "victim");
    EXPECT_FALSE(Exists(Shared() + "/{PathJoin:..,victim.conf}")) << run.Text;
}

// An archive extracted into a shared folder where another account made the entry's folder first:
// refused, with the line that says which folder and why, and nothing is written into it.
TEST_F(HostPathJudgement, AnArchiveIsNeverExtractedIntoAFolderAnotherAccountCanChange) {
    for (const std::string& output : {Shared(), Open()}) {
        SCOPED_TRACE(output);
        folder_.Write("wf.yaml", "apply: {type: Unzip, path: " + Quoted(folder_.Dir() + "/tool.zip") +
                                     ", outputDirectory: " + Quoted(output + "/") + "}\n");
        const std::string before = Listing(output);
        const HostRun run =
            RunHost({Program(), "--skin=" + folder_.Skin(), "--wfselfupdate", "--disablesecurity"}, folder_.Env());
        EXPECT_NE(run.Code, 0) << run.Text;
        EXPECT_EQ(Listing(output), before);
        EXPECT_NE(run.Text.find("The folder " + output + " is refused: every user may write into it"), std::string::npos)
            << run.Text;
    }
    // Its own folder takes the archive; a folder made there by another account first does not.
    const std::string own = folder_.Dir() + "/own";
    ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((own + "/dir").c_str(), 0700), 0);
    ASSERT_EQ(chmod((own + "/dir").c_str(), 0777), 0);
    folder_.Write("wf.yaml", "apply: {type: Unzip, path: " + Quoted(folder_.Dir() + "/tool.zip") +
                                 ", outputDirectory: " + Quoted(own + "/") + "}\n");
    HostRun run = RunHost({Program(), "--skin=" + folder_.Skin(), "--wfselfupdate", "--disablesecurity"}, folder_.Env());
    EXPECT_NE(run.Code, 0) << run.Text;
    EXPECT_FALSE(Exists(own + "/dir/tool.sh"));
    EXPECT_NE(run.Text.find("The folder " + own + "/dir is refused: every user may write into it"), std::string::npos)
        << run.Text;
    ASSERT_EQ(chmod((own + "/dir").c_str(), 0700), 0);
    run = RunHost({Program(), "--skin=" + folder_.Skin(), "--wfselfupdate", "--disablesecurity"}, folder_.Env());
    EXPECT_EQ(run.Code, 0) << run.Text;
    EXPECT_TRUE(Exists(own + "/dir/tool.sh"));
}

// Every writer makes its files only in a folder judged as the program's own folders are passed
// through: ours or root's, closed to other writers unless sticky. A folder every user may change, or
// one another account owns, is refused with the line that says which and why, and nothing is made
// there; a sticky shared folder (as the system's temporary folder is) takes the file, but never over
// a file another account made there first.
TEST_F(HostPathJudgement, EveryWriterMakesFilesOnlyInAFolderNoOtherAccountControls) {
    const std::string dir = folder_.Dir();
    const std::string foreign = dir + "/foreign", source = dir + "/tree";
    for (const std::string& made : {foreign, source}) ASSERT_EQ(mkdir(made.c_str(), 0755), 0) << made;
    std::ofstream(source + "/out.json") << "{\"copied\": true}";
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    const struct {
        const char* Name;
        std::string (*Document)(const std::string& folder, const std::string& dir);
    } writers[] = {
        {"JSONWrite", [](const std::string& f, const std::string&) {
             return "apply: {type: JSONWrite, path: " + Quoted(f + "/out.json") + ", keyValuePairs: {a: b}}\n";
         }},
        {"IniWrite", [](const std::string& f, const std::string&) {
             return "apply: {type: IniWrite, path: " + Quoted(f + "/out.json") + ", section: s, key: k, value: v}\n";
         }},
        {"FileCopy", [](const std::string& f, const std::string& d) {
             return "apply: {type: FileCopy, sourcePath: " + Quoted(d + "/source.txt") + ", targetPath: " +
                    Quoted(f + "/out.json") + "}\n";
         }},
        {"DirectoryCopy", [](const std::string& f, const std::string& d) {
             return "apply: {type: DirectoryCopy, sourcePath: " + Quoted(d + "/tree/") + ", targetPath: " +
                    Quoted(f + "/") + "}\n";
         }},
        {"Download", [](const std::string& f, const std::string& d) {
             return "apply: {type: Download, url: " + Quoted("file://" + d + "/source.txt") + ", outputPath: " +
                    Quoted(f + "/out.json") + ", maxRetries: 0}\n";
         }},
    };
    const struct {
        std::string Folder;
        std::string Says; // empty: the file is made
        bool Planted;     // another account's file stands at the name first
    } folders[] = {
        {Open(), "The folder " + Open() + " is refused: every user may write into it", false},
        {foreign, "The folder " + foreign + " is refused: it belongs to ", false},
        {Shared(), "", false},
        {Shared(), "The file " + Shared() + "/out.json is not replaced: ", true},
    };
    for (const auto& writer : writers) {
        for (const auto& f : folders) {
            SCOPED_TRACE(std::string(writer.Name) + " into " + f.Folder + (f.Planted ? " (planted)" : ""));
            unlink((f.Folder + "/out.json").c_str());
            if (f.Planted) {
                std::ofstream(f.Folder + "/out.json") << "";
                ASSERT_EQ(chown((f.Folder + "/out.json").c_str(), 65534, 65534), 0);
            }
            const std::string before = Listing(f.Folder);
            folder_.Write("wf.yaml", writer.Document(f.Folder, dir));
            const HostRun run =
                RunHost({Program(), "--skin=" + folder_.Skin(), "--wfselfupdate", "--disablesecurity"}, folder_.Env());
            if (f.Says.empty()) {
                EXPECT_EQ(run.Code, 0) << run.Text;
                EXPECT_TRUE(Exists(f.Folder + "/out.json")) << run.Text;
                std::string after = Listing(f.Folder);
                const size_t made = after.find("./out.json f\n");
                ASSERT_NE(made, std::string::npos) << after;
                EXPECT_EQ(after.erase(made, 13), before) << run.Text;
                continue;
            }
            EXPECT_NE(run.Code, 0) << run.Text;
            EXPECT_EQ(Listing(f.Folder), before) << run.Text;
            if (f.Planted) {
                EXPECT_EQ(Read(f.Folder + "/out.json"), "");
            }
            // A document writer reads what stands at the name first: another's empty file is refused
            // as no document before the folder is asked about.
            if (f.Planted && writer.Document(f.Folder, dir).find("Write,") != std::string::npos) continue;
            EXPECT_NE(run.Text.find("ERROR - " + f.Says), std::string::npos) << f.Says << "\n" << run.Text;
            // Refused before a byte is fetched: not only at the rename of a whole file.
            if (!f.Planted && strcmp(writer.Name, "Download") == 0) {
                EXPECT_NE(run.Text.find("Unable to create partial file " + f.Folder + "/out.json.partial"),
                          std::string::npos)
                    << run.Text;
            }
            unlink((f.Folder + "/out.json").c_str());
        }
    }
}

// A name the server chose that reads as a location is refused with that reason, not as a name too
// long; the file is never made under another name.
TEST_F(HostPathJudgement, ADownloadNamedLikeALocationIsRefusedForWhatItIs) {
    const std::string out = folder_.Dir() + "/out";
    ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
    std::ofstream(folder_.Dir() + "/{Temp}x.txt") << "payload";
    folder_.Write("wf.yaml", "apply: {type: Download, url: " + Quoted("file://" + folder_.Dir() + "/%7BTemp%7Dx.txt") +
                                 ", outputPath: " + Quoted(out + "/") + "}\n");
    const HostRun run =
        RunHost({Program(), "--skin=" + folder_.Skin(), "--wfselfupdate", "--disablesecurity"}, folder_.Env());
    EXPECT_NE(run.Code, 0) << run.Text;
    EXPECT_NE(run.Text.find("{Temp}x.txt: names a location without its folder ({Temp})"), std::string::npos) << run.Text;
    EXPECT_EQ(run.Text.find("too long"), std::string::npos) << run.Text;
    EXPECT_EQ(Listing(out), ". d\n");
}

} // namespace
