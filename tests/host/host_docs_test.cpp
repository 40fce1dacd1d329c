// The documentation's examples, run: every workflow on docs/workflows.md runs in the host
// executable without a window and ends with the exit code it states (0 unless it says), and every
// block of docs/skins.md is still a part of the example skin it is taken from.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/host/host_child.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The fenced blocks of a Markdown text whose fence names one of the languages.
std::vector<std::string> Blocks(const std::string& text, const std::vector<std::string>& languages) {
    std::vector<std::string> blocks;
    size_t at = 0;
    while ((at = text.find("```", at)) != std::string::npos) {
        const size_t lineEnd = text.find('\n', at);
        if (lineEnd == std::string::npos) break;
        const std::string language = text.substr(at + 3, lineEnd - at - 3);
        const size_t end = text.find("\n```", lineEnd);
        if (end == std::string::npos) break;
        for (const std::string& wanted : languages)
            if (language == wanted) blocks.push_back(text.substr(lineEnd + 1, end - lineEnd));
        at = end + 4;
    }
    return blocks;
}

TEST(HostDocs, WorkflowExamplesRunWithTheirExitCode) {
    const std::vector<std::string> blocks = Blocks(ReadFile(HOST_SOURCE_DIR "/docs/workflows.md"), {"yaml"});
    ASSERT_GE(blocks.size(), 4u);
    for (std::string block : blocks) {
        HostFolder folder;
        folder.Write("app.yaml", "name: \"docs-test\"\nselfUpdateWorkflow: \"wf.yaml\"\n");
        int expected = 0;
        const size_t marker = block.find("# exit code: ");
        if (marker != std::string::npos) expected = atoi(block.c_str() + marker + 13);
        // Without a window the host runs "apply" where a page's run starts at "start".
        const size_t start = block.find("start:\n");
        if (start != std::string::npos && (start == 0 || block[start - 1] == '\n')) block.replace(start, 5, "apply");
        folder.Write("wf.yaml", block);
        const HostRun run = RunHost({HOST_PROGRAM, "--skin", folder.Skin(), "--wfselfupdate"}, folder.Env());
        EXPECT_EQ(run.Code, expected) << block << run.Text;
        if (expected == 0) {
            EXPECT_EQ(run.Text.find("ERROR"), std::string::npos) << block << run.Text;
        }
    }
}

TEST(HostDocs, SkinExamplesAreTakenFromTheExampleSkin) {
    const std::vector<std::string> blocks =
        Blocks(ReadFile(HOST_SOURCE_DIR "/docs/skins.md"), {"yaml", "json", "js"});
    ASSERT_GE(blocks.size(), 3u);
    std::string skin;
    for (const char* name : {"app.yaml", "main.json", "demo.js"})
        skin += ReadFile(std::string(HOST_SOURCE_DIR "/examples/demo/") + name);
    for (const std::string& block : blocks) EXPECT_NE(skin.find(block), std::string::npos) << block;
}

} // namespace
