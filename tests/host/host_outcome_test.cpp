// The host executable running a workflow without a window (the self-update role): a workflow that
// fails ends the process non-zero, soon, with an ERROR line naming the file or the task and why;
// an End task's exit code still decides.
#include <gtest/gtest.h>

#include <cctype>

#include "tests/host/host_child.h"

namespace {

class HostOutcome : public ::testing::Test {
  protected:
    void SetUp() override { folder_.Write("app.yaml", "name: \"outcome-test\"\nselfUpdateWorkflow: \"wf.yaml\"\n"); }

    HostRun Run() const {
        return RunHost({HOST_PROGRAM, "--skin=" + folder_.Skin(), "--wfselfupdate"}, folder_.Env());
    }

    HostFolder folder_;
};

TEST_F(HostOutcome, FailedWorkflowsEndNonZeroWithTheirPlace) {
    const std::string wf = folder_.Skin() + "/wf.yaml";
    struct Case {
        const char* name;
        const char* document; // null: no document at all
        bool folder;          // a folder stands where the document should be
        std::string expected; // the output holds this; for a parse error a line number follows it
    } const cases[] = {
        {"syntax", "apply:\n  type: Log\n  message: [unclosed\n", false, "ERROR - " + wf + ":"},
        {"unknown type", "apply:\n  type: NoSuchType\n", false,
         "ERROR - " + wf + ": task \"apply\": unknown task type \"NoSuchType\""},
        {"missing argument", "apply:\n  type: Download\n  path: x\n", false,
         "ERROR - Workflow " + wf + " failed in \"apply\": task \"apply\" (Download): Task_Error_MissingArg - "
                                    "\"url\" argument not defined"},
        {"missing file", nullptr, false, "ERROR - " + wf + ": No such file or directory"},
        {"unreadable file", nullptr, true, "ERROR - " + wf + ": Is a directory"},
        {"failing task", "apply:\n  type: FileCopy\n  sourcePath: /nonexistent/a\n  targetPath: /nonexistent/b\n", false,
         "ERROR - Workflow " + wf + " failed in \"apply\": task \"apply\" (FileCopy): "},
    };
    for (const Case& c : cases) {
        std::system(("rm -rf '" + wf + "'").c_str());
        if (c.document) folder_.Write("wf.yaml", c.document);
        if (c.folder) mkdir(wf.c_str(), 0700);
        const HostRun run = Run();
        EXPECT_EQ(run.Code, 1) << c.name << "\n" << run.Text;
        EXPECT_LT(run.Seconds, 60) << c.name;
        const size_t at = run.Text.find(c.expected);
        ASSERT_NE(at, std::string::npos) << c.name << "\n" << run.Text;
        if (c.expected.back() == ':') {
            EXPECT_TRUE(isdigit((unsigned char)run.Text[at + c.expected.size()])) << run.Text;
        }
        EXPECT_EQ(run.Text.find("404"), std::string::npos) << c.name << "\n" << run.Text;
    }
}

TEST_F(HostOutcome, AnEndTaskChoosesTheExitCode) {
    struct Case {
        const char* document;
        int code;
    } const cases[] = {
        {"apply: {type: End, exitCode: 3}\n", 3},
        {"apply: {type: Error, message: Refused, exitCode: 0}\n", 0},
        {"apply: {type: Log, message: fine}\n", 0},
    };
    for (const Case& c : cases) {
        folder_.Write("wf.yaml", c.document);
        const HostRun run = Run();
        EXPECT_EQ(run.Code, c.code) << c.document << run.Text;
    }
}

} // namespace
