// The documentation's examples, run: every workflow on docs/workflows.md, docs/tasks.md and
// docs/tasks/*.md runs in the host executable without a window, ends with the exit code it states
// (0 unless it says) and logs the lines it promises; every block of docs/skins.md is still a part
// of the example skin it is taken from.
#include <gtest/gtest.h>

#include <dirent.h>

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

// The values of the example's "# NAME: value" comment lines, in order.
std::vector<std::string> Marked(const std::string& block, const std::string& name) {
    std::vector<std::string> values;
    const std::string marker = "# " + name + ": ";
    std::istringstream lines(block);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(marker, 0) == 0) values.push_back(line.substr(marker.size()));
    return values;
}

// The workflow pages: workflows.md, tasks.md and every page under docs/tasks/.
std::vector<std::string> WorkflowPages() {
    std::vector<std::string> pages = {HOST_SOURCE_DIR "/docs/workflows.md", HOST_SOURCE_DIR "/docs/tasks.md"};
    if (DIR* dir = opendir(HOST_SOURCE_DIR "/docs/tasks")) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".md") == 0)
                pages.push_back(HOST_SOURCE_DIR "/docs/tasks/" + name);
        }
        closedir(dir);
    }
    return pages;
}

TEST(HostDocs, WorkflowExamplesRunAsTheyStateWithTheRealHost) {
    size_t count = 0;
    for (const std::string& page : WorkflowPages()) {
        for (const std::string language : {"yaml", "json"}) {
            for (std::string block : Blocks(ReadFile(page), {language})) {
                count++;
                HostFolder folder;
                const std::string file = "wf." + language;
                std::string app = "name: \"docs-test\"\nselfUpdateWorkflow: \"" + file + "\"\n";
                for (const std::string& line : Marked(block, "app.yaml")) app += line + "\n";
                folder.Write("app.yaml", app);
                const std::vector<std::string> codes = Marked(block, "exit code");
                const int expected = codes.empty() ? 0 : atoi(codes[0].c_str());
                // Without a window the host runs "apply" where a page's run starts at "start".
                const std::string entry = language == "json" ? "\"start\":" : "\nstart:\n";
                const size_t start = ("\n" + block).find(entry);
                if (start != std::string::npos) block.replace(start, 5, "apply");
                folder.Write(file, block);
                const HostRun run = RunHost(
                    {HOST_PROGRAM, "--skin", folder.Skin(), "--wfselfupdate", "--window"}, folder.Env());
                EXPECT_EQ(run.Code, expected) << page << "\n" << block << run.Text;
                for (const std::string& text : Marked(block, "prints"))
                    EXPECT_NE(run.Text.find(" - " + text), std::string::npos) << page << "\n"
                                                                              << block << run.Text;
                if (expected == 0) {
                    EXPECT_EQ(run.Text.find(" ERROR - "), std::string::npos) << page << "\n"
                                                                             << block << run.Text;
                }
            }
        }
    }
    EXPECT_GE(count, 20u);
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
