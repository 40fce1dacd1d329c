// The repository task types through the engine, over a remote folder and manifest written by
// Python: check words and notifications, synchronisation and erase compared with diff, the final
// progress and byte figures, configuration errors, and the file check over what a synchronisation
// installed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>

#include "core/certs/authenticate.h"
#include "tests/repository/repository_test_support.h"
#include "tests/support/bounded_wait.h"
#include "tests/tasks/file_task_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest(240);

class RepositoryTaskTest : public FileTaskTest {
  protected:
    void SetUp() override {
        FileTaskTest::SetUp();
        // The manifests here are unsigned files.
        Authenticate_SetEnabled(0);
        Watch("Repository", "OutOfDate");
        Watch("Repository", "UpToDate");
        Watch("Repository", "Status");
    }
    // One figure of every status the last run fired, in order; the other notifications it fired.
    std::vector<double> Figures(const std::string& key) {
        std::vector<double> values;
        const std::string member = "\"" + key + "\":";
        for (const std::string& f : fired) {
            const size_t at = f.find(member);
            if (f.rfind("Repository/Status:", 0) == 0 && at != std::string::npos)
                values.push_back(std::stod(f.substr(at + member.size())));
        }
        return values;
    }
    std::vector<std::string> Events() {
        std::vector<std::string> events;
        for (const std::string& f : fired)
            if (f.rfind("Repository/Status:", 0) != 0) events.push_back(f);
        return events;
    }
    // The remote's id, which the refresh reads from the configuration as a catalogue would give it.
    std::string remoteId;
    void Version(const std::string& id, const std::map<std::string, std::string>& files, bool ownPad = false,
                 int pieceSize = 16) {
        remoteId = id;
        Shell("rm -rf " + P("remote") + " && mkdir -p " + P("remote"));
        for (const auto& [name, data] : files) Put(P("remote/" + name), data);
        WriteManifest(P("remote"), id, P("remote.json"), {}, pieceSize, "", ownPad);
    }
    // Runs a task of the type with the repository's configuration and extra members; the outcome
    // word that ran ("none" for a plain completion).
    std::string Go(const std::string& type, const std::string& extra = "", bool configured = true) {
        const std::string config =
            configured ? "\"repository\": \"game\", \"remote.id\": " + Q(remoteId) + ", \"remote.metafile\": " + Q(P("remote.json")) +
                             ", \"metafile\": " + Q(P("state/local.json")) + ", \"requests\": 4, \"fileCompletes\": 2"
                       : "\"remote.id\": \"v\"";
        last = "t" + std::to_string(++defined);
        std::string marks, chains;
        for (const char* word : {"install", "update", "upToDate", "valid", "notValid"}) {
            chains += std::string(", \"") + word + "\": \"m_" + word + "\"";
            marks += std::string(", \"m_") + word + "\": {\"type\": \"DirectoryExists\", \"path\": \"/\"}";
        }
        fired.clear();
        started.clear();
        Define("{\"" + last + "\": {\"type\": \"" + type + "\", " + config + ", \"local\": {\"type\": \"file\", \"path\": " +
               Q(P("local")) + "}, \"remote\": {\"type\": \"file\", \"path\": " + Q(P("remote")) + "}" + extra +
               chains + "}" + marks + "}");
        run = RunTask(last.c_str(), 60);
        EXPECT_TRUE(run.ended) << ::testing::PrintToString(lines);
        for (const char* word : {"install", "update", "upToDate", "valid", "notValid"})
            if (Started(std::string("m_") + word)) return word;
        return "none";
    }
    bool Same() { return Sh("diff -r " + P("remote") + " " + P("local") + " && echo same") == "same\n"; }
    Run run;
};

TEST_F(RepositoryTaskTest, CheckSyncAndEraseAnInstallation) {
    // Each file padded to a piece boundary by its own "pad".
    Version("v1", {{"a.txt", Content(40, 1)}, {"sub/b.bin", Content(100, 2)}}, true);
    EXPECT_EQ(Go("RepositoryCheck"), "install");
    EXPECT_EQ(Events(), (std::vector<std::string>{"Repository/OutOfDate:{\"check\":true}"}));

    EXPECT_EQ(Go("RepositorySync"), "none");
    EXPECT_TRUE(run.successful) << ::testing::PrintToString(run.errors);
    EXPECT_TRUE(Same());
    EXPECT_EQ(Events(), (std::vector<std::string>{"Repository/OutOfDate:{\"check\":false}",
                                                "Repository/UpToDate:{\"check\":false}"}));
    EXPECT_EQ(LastNumber("progress"), 1.0);
    // Below 1 until the final update, which is exactly 1.
    const std::vector<double> progress = Figures("progress");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 1.0);
    for (size_t i = 0; i + 1 < progress.size(); i++) EXPECT_LE(progress[i], (double)0.99f) << i;
    // The bytes are the files' own, padding left out: never more complete than there are, and all
    // of them at the end.
    EXPECT_EQ(LastNumber("totalBytes"), 140);
    EXPECT_EQ(LastNumber("completeBytes"), 140);
    EXPECT_EQ(LastNumber("remainingBytes"), 0);
    const std::vector<double> total = Figures("totalBytes"), complete = Figures("completeBytes");
    ASSERT_EQ(total.size(), complete.size());
    for (size_t i = 0; i < total.size(); i++) EXPECT_LE(complete[i], total[i]) << i;

    EXPECT_EQ(Go("RepositoryCheck"), "upToDate");
    EXPECT_EQ(Events(), (std::vector<std::string>{"Repository/UpToDate:{\"check\":true}"}));
    // Nothing to do: the sync ends after its refresh without an "UpToDate".
    EXPECT_EQ(Go("RepositorySync"), "none");
    EXPECT_TRUE(run.successful);
    EXPECT_TRUE(Events().empty()) << ::testing::PrintToString(fired);

    // What the sync installed passes the file check against the manifest it saved.
    EXPECT_EQ(Go("RepositoryFileCheck", ", \"path\": " + Q(P("local")) + ", \"timestamp\": false, \"authenticate\": false"),
              "valid")
        << ::testing::PrintToString(lines);

    Version("v2", {{"a.txt", Content(40, 3)}, {"c.txt", Content(20, 4)}});
    EXPECT_EQ(Go("RepositoryCheck"), "update");
    EXPECT_EQ(Go("RepositorySync"), "none");
    EXPECT_TRUE(run.successful) << ::testing::PrintToString(run.errors);
    EXPECT_TRUE(Same());

    EXPECT_EQ(Go("RepositoryErase"), "none");
    EXPECT_TRUE(run.successful) << ::testing::PrintToString(run.errors);
    EXPECT_EQ(Sh("find " + P("local") + " -type f | wc -l"), "0\n");
    EXPECT_FALSE(FileExists(P("state/local.json")));
}

TEST_F(RepositoryTaskTest, RepairSynchronisesAnUpToDateInstallation) {
    Version("v1", {{"a.txt", Content(40, 1)}});
    ASSERT_EQ(Go("RepositorySync"), "none");
    ASSERT_TRUE(Same());
    // A changed file is not seen by the ids, only by a repair.
    Put(P("local/a.txt"), Content(40, 9));
    EXPECT_EQ(Go("RepositorySync"), "none");
    EXPECT_FALSE(Same());
    EXPECT_EQ(Go("RepositorySync", ", \"repair\": true"), "none");
    EXPECT_TRUE(run.successful) << ::testing::PrintToString(run.errors);
    EXPECT_TRUE(Same());
}

TEST_F(RepositoryTaskTest, ConfigurationWithoutRepositoryFails) {
    Version("v1", {{"a.txt", Content(40, 1)}});
    EXPECT_EQ(Go("RepositorySync", "", false), "none");
    EXPECT_FALSE(run.successful);
    EXPECT_NE(std::find(run.errors.begin(), run.errors.end(), "Repository_ErrorSource_Config"), run.errors.end())
        << ::testing::PrintToString(run.errors);
}


TEST_F(RepositoryTaskTest, AnErrorNoRetryMendsFailsTheSyncAtOnce) {
    Version("v1", {{"a.txt", Content(40, 1)}});
    ASSERT_EQ(Go("RepositorySync"), "none");
    ASSERT_TRUE(Same());
    // Something that is not a file stands at the installed name: no retry makes it one.
    Version("v2", {{"a.txt", Content(40, 2)}});
    Sh("rm " + P("local/a.txt") + " && mkfifo " + P("local/a.txt"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Go("RepositorySync"), "none");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(run.successful);
    for (const char* error : {"Repository_ErrorSource_StorageLocal", "WebGet_Error_OS"})
        EXPECT_NE(std::find(run.errors.begin(), run.errors.end(), error), run.errors.end())
            << error << " " << ::testing::PrintToString(run.errors);
}

// A full disk ends an update at once with the error that stopped it, and nothing the installed
// version lists goes, the files the new version drops among them, nor its manifest.
TEST_F(RepositoryTaskTest, AFullDiskFailsTheSyncAtOnceAndErasesNothingInstalled) {
    Sh("mkdir -p " + P("local"));
    if (geteuid() != 0 || Sh("mount -t tmpfs -o size=1m tmpfs " + P("local") + " 2>/dev/null && echo mounted") != "mounted\n")
        GTEST_SKIP() << "needs root to mount a small file system";
    struct Unmount {
        std::string at;
        ~Unmount() { Sh("umount -l " + at); }
    } unmount{P("local")};
    std::map<std::string, std::string> v1 = {{"keep.bin", Content(3000, 1)}};
    for (int i = 1; i <= 5; i++) v1["old" + std::to_string(i) + ".bin"] = Content(2000, 1 + i);
    Version("v1", v1, false, 65536);
    ASSERT_EQ(Go("RepositorySync"), "none");
    ASSERT_TRUE(run.successful) << ::testing::PrintToString(run.errors);
    const std::string installed = Sh("cat " + P("state/local.json"));
    Version("v2", {{"keep.bin", Content(3000, 1)}, {"big.bin", Content(2 << 20, 9)}}, false, 65536);
    EXPECT_EQ(Go("RepositorySync"), "none");
    EXPECT_FALSE(run.successful);
    for (const char* error : {"Repository_ErrorSource_StorageLocal", "WebGet_Error_OS", "Platform_Error_NotEnoughSpace"})
        EXPECT_NE(std::find(run.errors.begin(), run.errors.end(), error), run.errors.end())
            << error << " " << ::testing::PrintToString(run.errors);
    EXPECT_TRUE(Printed("Synchronize failed (game): No space left on device (StorageLocal)"));
    for (const auto& [name, data] : v1) EXPECT_EQ(Sh("cat " + P("local/" + name)), data) << name;
    EXPECT_EQ(Sh("cat " + P("state/local.json")), installed);
}

} // namespace
