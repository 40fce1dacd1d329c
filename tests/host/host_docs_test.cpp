// The documentation's examples, run as printed: every workflow on docs/workflows.md, docs/tasks.md
// and docs/tasks/*.md runs in the host executable without a window, saved and started the way
// docs/workflows.md says, and ends with the exit code it states (0 unless it says) and logs the
// lines it promises; every block of docs/skins.md is still a part of the example skin it is taken
// from; every command of README.md that starts the host runs from the source tree and ends as the
// README says (a window is closed by SIGTERM once it had time to show).
#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "core/runtime/app_config_keys.h"
#include "tests/core/linux/gui/desktop_peers.h"
#include "tests/host/host_child.h"

namespace {

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

// What docs/workflows.md tells a reader to do with an example: the app.yaml beside it and the
// command, with FOLDER for the folder.
constexpr const char* kDocsAppYaml = "```\nname: \"docs-test\"\nselfUpdateWorkflow: \"wf.yaml\"\n```\n";
constexpr const char* kDocsCommand = "build/release/quarvelon-host --skin FOLDER --wfselfupdate --window\n";

TEST(HostDocs, WorkflowExamplesRunAsPrintedWithTheRealHost) {
    const std::string howTo = ReadFile(HOST_SOURCE_DIR "/docs/workflows.md");
    ASSERT_NE(howTo.find(kDocsAppYaml), std::string::npos) << "docs/workflows.md no longer shows the app.yaml";
    ASSERT_NE(howTo.find(kDocsCommand), std::string::npos) << "docs/workflows.md no longer shows the command";
    size_t count = 0;
    for (const std::string& page : WorkflowPages()) {
        for (const std::string language : {"yaml", "json"}) {
            for (const std::string& block : Blocks(ReadFile(page), {language})) {
                count++;
                HostFolder folder;
                const std::string file = "wf." + language;
                std::string app = "name: \"docs-test\"\nselfUpdateWorkflow: \"" + file + "\"\n";
                for (const std::string& line : Marked(block, "app.yaml")) app += line + "\n";
                folder.Write("app.yaml", app);
                const std::vector<std::string> codes = Marked(block, "exit code");
                const int expected = codes.empty() ? 0 : atoi(codes[0].c_str());
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

// The guide's examples of settings are whole app.yaml files; the rest is taken from the demo.
constexpr const char* kSettingsExample = "# app.yaml of ";

bool IsSettingsExample(const std::string& block) { return block.rfind(kSettingsExample, 0) == 0; }

TEST(HostDocs, SkinExamplesAreTakenFromTheExampleSkin) {
    const std::vector<std::string> blocks =
        Blocks(ReadFile(HOST_SOURCE_DIR "/docs/skins.md"), {"yaml", "json", "js"});
    ASSERT_GE(blocks.size(), 3u);
    std::string skin;
    for (const char* name : {"app.yaml", "main.json", "demo.js"})
        skin += ReadFile(std::string(HOST_SOURCE_DIR "/examples/demo/") + name);
    for (const std::string& block : blocks) {
        if (!IsSettingsExample(block)) {
            EXPECT_NE(skin.find(block), std::string::npos) << block;
        }
    }
    // The window configuration is shown whole: copied as it stands it is a main.json that parses.
    const std::vector<std::string> windows = Blocks(ReadFile(HOST_SOURCE_DIR "/docs/skins.md"), {"json"});
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0], ReadFile(HOST_SOURCE_DIR "/examples/demo/main.json"));
}

// Each settings example, copied as printed into a skin's app.yaml, starts the host, which runs the
// skin's self-update workflow and ends cleanly: nothing in it is refused or logged as an error.
// A loopback port held bound but not listening, for as long as the object lives: whatever is sent
// there is refused at once, and no other user's listener can take the port meanwhile. Port 0
// takes any free one.
class HeldPort {
  public:
    explicit HeldPort(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        socklen_t length = sizeof(address);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
    }
    ~HeldPort() {
        if (fd_ >= 0) close(fd_);
    }
    uint16_t Port() const { return port_; }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

TEST(HostDocs, SkinSettingsExamplesRunAsPrinted) {
    // The crash report example posts to a loopback port at the end of the run: the test holds that
    // port, so the post (with its key and ids) reaches no one else's listener. Where the port is
    // taken already, the example runs with a port the test holds instead.
    HeldPort printed(8000);
    HeldPort spare(0);
    ASSERT_TRUE(printed.Port() || spare.Port());
    size_t count = 0;
    for (std::string block : Blocks(ReadFile(HOST_SOURCE_DIR "/docs/skins.md"), {"yaml"})) {
        if (!IsSettingsExample(block)) continue;
        count++;
        if (!printed.Port())
            for (size_t at; (at = block.find("127.0.0.1:8000")) != std::string::npos;)
                block.replace(at, 14, "127.0.0.1:" + std::to_string(spare.Port()));
        HostFolder folder;
        folder.Write("app.yaml", block);
        folder.Write("selfupdate.yaml", "apply:\n  type: Log\n  message: \"settings taken\"\n");
        const HostRun run = RunHost({HOST_PROGRAM, "--skin", folder.Skin(), "--wfselfupdate", "--window"}, folder.Env());
        EXPECT_EQ(run.Code, 0) << block << run.Text;
        EXPECT_NE(run.Text.find(" - settings taken"), std::string::npos) << block << run.Text;
        EXPECT_EQ(run.Text.find(" ERROR - "), std::string::npos) << block << run.Text;
        EXPECT_EQ(run.Text.find(" WARNING - "), std::string::npos) << block << run.Text;
        // A store that cannot use a value says so only in the debug log.
        EXPECT_EQ(run.Text.find(" - Unable to "), std::string::npos) << block << run.Text;
    }
    EXPECT_EQ(count, 2u) << "the crash report and trust store examples";
}

// The keys of a table of the guide: the first cells of its rows between the heading and the next
// heading of the same level.
std::set<std::string> TableKeys(const std::string& text, const std::string& heading) {
    std::set<std::string> keys;
    size_t at = text.find("\n" + heading + "\n");
    if (at == std::string::npos) return keys;
    const size_t end = text.find("\n## ", at + 1);
    std::istringstream lines(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("| `", 0) == 0) {
            const size_t close = line.find('`', 3);
            if (close != std::string::npos) keys.insert(line.substr(3, close - 3));
        }
    return keys;
}

// The guide's tables and the keys the readers name are one list: every key the program reads is
// documented, and every documented key is read.
TEST(HostDocs, SkinGuideTablesNameEveryConfigurationKey) {
    const std::string guide = ReadFile(HOST_SOURCE_DIR "/docs/skins.md");
    const std::pair<const char*, AppConfigFile> files[] = {{"## app.yaml", APPCONFIG_FILE_APP},
                                                            {"## main.json", APPCONFIG_FILE_WINDOW}};
    for (const auto& [heading, file] : files) {
        std::set<std::string> code;
        for (const AppConfigKey& key : kAppConfigKeys) {
            if (key.File == file) {
                EXPECT_TRUE(code.insert(key.Name).second) << "listed twice: " << key.Name;
            }
        }
        const std::set<std::string> documented = TableKeys(guide, heading);
        for (const std::string& key : code)
            EXPECT_TRUE(documented.count(key)) << heading << ": `" << key << "` is read but not documented";
        for (const std::string& key : documented)
            EXPECT_TRUE(code.count(key)) << heading << ": `" << key << "` is documented but not read";
    }
}

// ---- Readers of the configuration ---------------------------------------------------------------

// The functions that name a key of app.yaml or of a window configuration, and which of their
// arguments (bit n: argument n) is the key. A helper private to one file is listed with the file.
struct ConfigReader {
    const char* Name;
    uint32_t KeyArguments;
    const char* File; // nullptr: any file
};

constexpr ConfigReader kConfigReaders[] = {
    {"WorkflowApp_GetConfig", 1u << 0, nullptr},
    {"WorkflowApp_GetConfigBoolean", 1u << 0, nullptr},
    {"SkinWindow_GetConfig", 1u << 1, nullptr},
    {"WebKitPage_ConfigFlag", 1u << 1 | 1u << 2, nullptr},
    {"ExpandedConfig", 1u << 0, "host/cef/cef_app.cpp"},
    {"ConfigInt", 1u << 1, "host/cef/cef_client_handler.cpp"},
    {"ApplySetting", 1u << 1 | 1u << 2, "host/cef/cef_web_browser.cpp"},
    {"ConfigBoolean", 1u << 1, "skin/skin_app.cpp"},
    {"ConfigHas", 1u << 1, "skin/skin_app.cpp"},
    {"ReadText", 1u << 1, "skin/skin_window.cpp"},
    {"ReadInteger", 1u << 1, "skin/skin_window.cpp"},
    {"SetFloatText", 1u << 1, "workflow/workflow_app.cpp"},
    {"ContainerAt", 1u << 1, "workflow/workflow_app_config.cpp"},
    {"IntAt", 1u << 1, "workflow/workflow_app_config.cpp"},
    {"ForEachText", 1u << 1, "workflow/workflow_app_config.cpp"},
    {"AddPathMacro", 1u << 0, "workflow/workflow_app_config.cpp"},
    {"AppString", 1u << 1, "repository/repository.cpp"},
    {"GetCount", 1u << 3, "repository/repository.cpp"},
    {"ReadKey", 1u << 2, "repository/storage_http.cpp"},
};

// The handles the configurations are held by; a Dictionary_...ByPath or ...ByKey call on one of
// them names a key as its second argument.
const std::set<std::string> kConfigHandles = {
    "config",       "appConfig",   "engineConfig",   "windowConfig",
    "r->AppConfig", "app->Config", "window->Config", "GlobalSkinApp->Config"};

// Files whose readers still name keys on literals. The test fails on an entry that holds none, so an
// entry goes as soon as its file is switched to the key list.
const std::set<std::string> kReadersOnLiterals = {};

bool IsWordCharacter(char c) {
    return isalnum((unsigned char)c) || c == '_';
}

// The arguments of the call whose "(" is at `open`, as written, split at the commas of its own
// level; empty when the call does not close within a bound.
std::vector<std::string> CallArguments(const std::string& text, size_t open) {
    std::vector<std::string> arguments(1);
    int depth = 0;
    const size_t end = std::min(text.size(), open + 4096);
    for (size_t at = open; at < end; at++) {
        const char c = text[at];
        if (c == '"' || c == '\'') {
            const size_t start = at;
            for (at++; at < end && text[at] != c; at++)
                if (text[at] == '\\') at++;
            if (depth >= 1) arguments.back() += text.substr(start, at - start + 1);
            continue;
        }
        if (c == '(' || c == '[' || c == '{') {
            if (depth++ == 0) continue;
        } else if (c == ')' || c == ']' || c == '}') {
            if (--depth == 0) return arguments;
        } else if (c == ',' && depth == 1) {
            arguments.emplace_back();
            continue;
        }
        arguments.back() += c;
    }
    return {};
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// "file:line: call" for every key named by a string literal in a reader's call in `text`.
std::vector<std::string> LiteralKeys(const std::string& file, const std::string& text) {
    std::vector<std::string> found;
    auto check = [&](size_t at, size_t open, uint32_t keyArguments, const std::string& name) {
        const size_t lineStart = text.rfind('\n', at) + 1; // npos + 1 is 0
        if (text.substr(lineStart, at - lineStart).find("//") != std::string::npos) return;
        const std::vector<std::string> arguments = CallArguments(text, open);
        for (size_t i = 0; i < arguments.size() && i < 32; i++) {
            const std::string argument = Trimmed(arguments[i]);
            if (!(keyArguments >> i & 1u) || argument.empty() || argument[0] != '"') continue;
            const size_t line = (size_t)std::count(text.begin(), text.begin() + (ptrdiff_t)at, '\n') + 1;
            found.push_back(file + ":" + std::to_string(line) + ": " + name + "(... " + argument + " ...)");
        }
    };
    // The opening parenthesis after a call of `name` at `at`, or npos.
    auto callAt = [&](size_t at, size_t length) {
        if (at > 0 && IsWordCharacter(text[at - 1])) return std::string::npos;
        size_t open = at + length;
        while (open < text.size() && isspace((unsigned char)text[open])) open++;
        return open < text.size() && text[open] == '(' ? open : std::string::npos;
    };
    for (const ConfigReader& reader : kConfigReaders) {
        if (reader.File && file != reader.File) continue;
        const std::string name = reader.Name;
        for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
            const size_t open = callAt(at, name.size());
            if (open != std::string::npos) check(at, open, reader.KeyArguments, name);
        }
    }
    const std::string family = "Dictionary_";
    for (size_t at = text.find(family); at != std::string::npos; at = text.find(family, at + 1)) {
        size_t end = at + family.size();
        while (end < text.size() && IsWordCharacter(text[end])) end++;
        const std::string name = text.substr(at, end - at);
        const auto endsWith = [&name](const std::string& tail) {
            return name.size() > tail.size() &&
                   name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
        };
        if (!endsWith("ByPath") && !endsWith("ByKey")) continue;
        const size_t open = callAt(at, name.size());
        if (open == std::string::npos) continue;
        const std::vector<std::string> arguments = CallArguments(text, open);
        if (!arguments.empty() && kConfigHandles.count(Trimmed(arguments[0]))) check(at, open, 1u << 1, name);
    }
    return found;
}

// A key is named in one place, the key list, so that the guide's check above sees every key the
// program reads: a reader given a string literal would read a key the check cannot see.
TEST(HostDocs, ConfigurationReadersNameKeysFromTheKeyList) {
    namespace fs = std::filesystem;
    std::vector<std::string> literals;
    std::set<std::string> stillOnLiterals;
    size_t files = 0;
    for (const char* folder : {"core", "workflow", "repository", "tasks", "skin", "host"}) {
        const fs::path root = fs::path(HOST_SOURCE_DIR) / folder;
        ASSERT_TRUE(fs::is_directory(root)) << root;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
            const std::string extension = entry.path().extension().string();
            if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h")) continue;
            files++;
            const std::string file = fs::relative(entry.path(), HOST_SOURCE_DIR).generic_string();
            for (const std::string& found : LiteralKeys(file, ReadFile(entry.path().string()))) {
                if (kReadersOnLiterals.count(file))
                    stillOnLiterals.insert(file);
                else
                    literals.push_back(found);
            }
        }
    }
    EXPECT_GE(files, 300u);
    for (const std::string& found : literals)
        ADD_FAILURE() << found << ": name the key from core/runtime/app_config_keys.h (and document it)";
    for (const std::string& file : kReadersOnLiterals)
        EXPECT_TRUE(stillOnLiterals.count(file))
            << file << " names no key on a literal any more: drop it from the list";
}

// The scan finds a literal key wherever a reader is called with one, and nothing else.
TEST(HostDocs, ConfigurationReaderScanFindsLiteralKeys) {
    const std::string text = "void F(SkinWindow* w, Dictionary* config, Dictionary* other) {\n"
                             "    WorkflowApp_GetConfig(kAppConfigName, \"x, y\", buffer, size);\n"
                             "    WorkflowApp_GetConfigBoolean(\n"
                             "        \"cef.newKey\", 0, &flag);\n"
                             "    SkinWindow_GetConfig(w, \"newWindowKey\", \"\", text, sizeof(text));\n"
                             "    Dictionary_GetInt32ByPath(config, \"a.b\", &value);\n"
                             "    Dictionary_GetInt32ByPath(other, \"remote.id\", &value);\n"
                             "    MyWorkflowApp_GetConfig(\"not.a.reader\");\n"
                             "    // WorkflowApp_GetConfig(\"in.a.comment\", \"\", text, 1);\n"
                             "    ReadText(w, \"elsewhere\", \"\", text, 1);\n"
                             "}\n";
    const std::vector<std::string> expected = {
        "host/any.cpp:3: WorkflowApp_GetConfigBoolean(... \"cef.newKey\" ...)",
        "host/any.cpp:5: SkinWindow_GetConfig(... \"newWindowKey\" ...)",
        "host/any.cpp:6: Dictionary_GetInt32ByPath(... \"a.b\" ...)",
    };
    EXPECT_EQ(LiteralKeys("host/any.cpp", text), expected);
}

// ---- README.md ------------------------------------------------------------------------------------


std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// The shell commands README.md prints: the lines of its blocks without a language and its inline
// code that runs the host, without a trailing comment or "&".
std::vector<std::string> ReadmeCommands() {
    const std::string text = ReadFile(HOST_SOURCE_DIR "/README.md");
    std::vector<std::string> commands;
    auto add = [&commands](std::string line) {
        const size_t comment = line.find("  #");
        if (comment != std::string::npos) line.erase(comment);
        while (!line.empty() && (line.back() == ' ' || line.back() == '&')) line.pop_back();
        if (!line.empty()) commands.push_back(line);
    };
    for (const std::string& block : Blocks(text, {""})) {
        std::istringstream lines(block);
        for (std::string line; std::getline(lines, line);) add(line);
    }
    // Inline code outside the blocks.
    std::string prose;
    size_t at = 0;
    for (size_t open; (open = text.find("```", at)) != std::string::npos;) {
        prose += text.substr(at, open - at);
        const size_t close = text.find("\n```", open + 3);
        at = close == std::string::npos ? text.size() : close + 4;
    }
    prose += text.substr(std::min(at, text.size()));
    for (size_t open = 0; (open = prose.find('`', open)) != std::string::npos;) {
        const size_t close = prose.find('`', open + 1);
        if (close == std::string::npos) break;
        const std::string code = prose.substr(open + 1, close - open - 1);
        if (code.find("quarvelon-host ") != std::string::npos) add(code);
        open = close + 1;
    }
    return commands;
}

// A program of the README run from the source tree, its standard output and error in `out`.
pid_t StartInSource(const std::vector<std::string>& words, const std::vector<std::string>& env, int* out) {
    std::vector<std::string> command = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", HOST_SOURCE_DIR};
    command.insert(command.end(), words.begin(), words.end());
    return SpawnWithOutput(command, env, out);
}

// A server command of the README run from the source tree, its output thrown away, waited for
// until it accepts on the port; its pid.
pid_t StartServer(const std::vector<std::string>& words, const std::vector<std::string>& env, int port) {
    std::vector<std::string> command = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\" >/dev/null 2>&1", HOST_SOURCE_DIR};
    command.insert(command.end(), words.begin(), words.end());
    int out = -1;
    const pid_t pid = SpawnWithOutput(command, env, &out);
    if (out >= 0) close(out);
    for (int i = 0; pid > 0 && i < 200 && !Accepts(port); i++) usleep(50000);
    return pid;
}

// Reads until the child ends or `seconds` pass (it is killed then); its exit code or -1.
int Finish(pid_t pid, int out, std::string* text, double seconds) {
    int status = 0;
    return ReadUntilEnd(pid, out, text, seconds, &status) && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every README command that starts the host, and the server commands they need, run as printed
// from the source tree: "build/release/quarvelon-host" is the program under test, port 8000 a free
// port. The scripts (run.sh, test.sh, bench.sh, fuzz.sh) are run by their own tests and by CI.
TEST(HostDocs, ReadmeCommandsRunAsPrinted) {
    DesktopPeers peers;
    ASSERT_TRUE(peers.StartDisplay()) << "Xvfb did not come up";
    HostFolder home;
    // The zip the download example's README makes, for the commands that fetch example.zip.
    const std::string served = home.Dir() + "/served";
    mkdir(served.c_str(), 0700);
    ASSERT_EQ(std::system(("cd '" HOST_SOURCE_DIR "/examples/download-unzip-launch/payload' && python3 -m zipfile -c '" +
                           served + "/example.zip' hello.sh")
                              .c_str()),
              0);
    std::vector<pid_t> servers;
    std::string repositoryPort; // the port of the README's own server command, once it ran
    const std::string zipPort = std::to_string(FreePort());
    servers.push_back(StartServer({"python3", "-m", "http.server", zipPort, "--bind", "127.0.0.1", "--directory", served},
                                  home.Env(), atoi(zipPort.c_str())));
    ASSERT_GT(servers.back(), 0);
    size_t hosts = 0;
    for (const std::string& line : ReadmeCommands()) {
        std::vector<std::string> words = Words(line);
        if (words.size() >= 3 && words[0] == "python3" && words[2] == "http.server") {
            repositoryPort = std::to_string(FreePort());
            for (std::string& word : words)
                if (word == "8000") word = repositoryPort;
            servers.push_back(StartServer(words, home.Env(), atoi(repositoryPort.c_str())));
            ASSERT_GT(servers.back(), 0) << line;
            ASSERT_TRUE(Accepts(atoi(repositoryPort.c_str()))) << line;
            continue;
        }
        if (line.find("build/release/quarvelon-host") == std::string::npos) continue;
        hosts++;
        std::vector<std::string> env = home.Env();
        std::vector<std::string> args;
        for (std::string word : words) {
            const size_t port = word.find("127.0.0.1:8000");
            if (port != std::string::npos)
                word.replace(port + 10, 4, word.find("example.zip") != std::string::npos || repositoryPort.empty()
                                               ? zipPort
                                               : repositoryPort);
            if (args.empty() && word.find('=') != std::string::npos && word[0] != '-') env.push_back(word);
            else args.push_back(word == "build/release/quarvelon-host" ? HOST_PROGRAM : word);
        }
        ASSERT_FALSE(args.empty()) << line;
        ASSERT_EQ(args[0], HOST_PROGRAM) << line;
        const bool window = std::find(args.begin(), args.end(), "--wfselfupdate") == args.end() &&
                            std::find(args.begin(), args.end(), "--help") == args.end();
        std::string text;
        int out = -1;
        const pid_t pid = StartInSource(args, env, &out);
        ASSERT_GT(pid, 0) << line;
        int code = -1;
        if (window) {
            // The page has time to show and do its work; then the user ends it.
            const std::string outcome = "outcome - success";
            const bool logs = std::find(args.begin(), args.end(), "--window") != args.end();
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(logs ? 60 : 8);
            char buffer[4096];
            while (std::chrono::steady_clock::now() < until && !(logs && text.find(outcome) != std::string::npos)) {
                pollfd p = {out, POLLIN, 0};
                if (poll(&p, 1, 100) > 0) {
                    const ssize_t n = read(out, buffer, sizeof(buffer));
                    if (n <= 0) break;
                    text.append(buffer, (size_t)n);
                }
            }
            if (logs) {
                EXPECT_NE(text.find(outcome), std::string::npos) << line << "\n" << text;
            }
            kill(pid, SIGTERM);
            code = Finish(pid, out, &text, 15);
        } else {
            code = Finish(pid, out, &text, 120);
        }
        EXPECT_EQ(code, 0) << line << "\n" << text;
        EXPECT_EQ(text.find("ERROR - "), std::string::npos) << line << "\n" << text;
        EXPECT_EQ(text.find("quarvelon-host: ERROR"), std::string::npos) << line << "\n" << text;
        // The content repository the README serves reached the user's data folder.
        if (line.find("DEMO_REPOSITORY_URL=") != std::string::npos) {
            EXPECT_EQ(ReadFile(home.Dir() + "/data/Quarvelon/content/readme.txt"),
                      ReadFile(HOST_SOURCE_DIR "/examples/demo/repository/files/readme.txt"))
                << line << "\n" << text;
        }
    }
    for (const pid_t pid : servers) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_GE(hosts, 7u) << "README.md runs the host fewer times than it used to";
}

} // namespace
