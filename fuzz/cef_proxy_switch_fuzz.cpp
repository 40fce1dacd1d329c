// Fuzz target of the engine's proxy switches: an arbitrary `proxy` switch value beside fixed
// platform proxies must give a list that fits, has no empty or comma-joined entries, and a
// bypass list that ends in the loopback hosts.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/linux/platform_system.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "host/cef/cef_app.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

uint32_t AuthenticationOff() { return 0; }

class RecordingCommandLine : public CEFCommandLine {
  public:
    void AddRef() override {}
    void Release() override {}
    bool HasSwitch(const char*) override { return false; }
    std::string GetSwitchValue(const char*) override { return ""; }
    int32_t GetSwitchCount() override { return 0; }
    std::string GetSwitchName(int32_t) override { return ""; }
    std::string GetSwitchValueAt(int32_t) override { return ""; }
    void Reset() override {}
    void AppendSwitch(const char* name) override { switches.emplace_back(name, ""); }
    void AppendSwitchWithValue(const char* name, const char* value) override { switches.emplace_back(name, value); }
    void AppendArgument(const char*) override {}
    std::vector<std::pair<std::string, std::string>> switches;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    Authenticate_EnabledOverride(AuthenticationOff);
    // The program reads its own copy of the environment, taken at its first use: the platform's
    // proxies go into that table (and the C library's, for anything that reads it directly).
    const char* const proxies[][2] = {
        {"http_proxy", "http://platform:3128"}, {"https_proxy", "socks5://none:1"}, {"no_proxy", "intranet.example"}};
    for (const auto& [name, value] : proxies) {
        setenv(name, value, 1);
        Platform_SetEnvironmentVariable(name, value);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 6000) return 0;
    std::string value(reinterpret_cast<const char*>(data), size);
    for (char& c : value)
        if (c == 0 || c == ' ' || c == '"' || c == '\t' || c == '\n' || c == '\r') c = '_';
    // Another switch inside the value would be read as one of ours.
    if (value.find("--") != std::string::npos) return 0;
    const std::string line = "prog --proxy=" + value;
    CommandLine_Init(line.c_str());
    CEFApp* app = CEF5414CEFApp_GetApp();
    RecordingCommandLine engineLine;
    CEFApp_OnBeforeCommandLineProcessing(app, "", &engineLine);
    CEFApp_AppRelease(&app);
    CommandLine_Remove();

    std::string server, bypass;
    for (const auto& [name, text] : engineLine.switches) {
        if (name == "proxy-server") server = text;
        if (name == "proxy-bypass-list") bypass = text;
    }
    // The platform's http proxy alone already makes the list.
    Check(!server.empty() && server.size() < 1024);
    Check(server.find(',') == std::string::npos);
    Check(server.find(";;") == std::string::npos && server.front() != ';' && server.back() != ';');
    // The platform's proxy is left out only when the switch's entries filled the list.
    Check(server.find("http=platform:3128") != std::string::npos || server.size() + 20 > 1024);
    Check(bypass.size() >= 19 && bypass.compare(bypass.size() - 19, 19, "localhost;127.0.0.1") == 0);
    return 0;
}
