// Reads arbitrary file contents through the text file reader with a chunk size from the first
// byte: every chunk must arrive as its bytes up to the first zero, in order, ending in one
// "Complete", and each notification's information must serialise as JSON for script.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "skin/text_file.h"
#include "tests/support/dictionary_text.h"
#include "workflow/workflow_app.h"

namespace {

void RequireAt(bool condition, int line) {
    if (condition) return;
    fprintf(stderr, "requirement at line %d failed\n", line);
    std::abort();
}
#define Require(condition) RequireAt((condition), __LINE__)

std::string Path;
std::vector<std::string> Texts;
int Completes = 0;
bool Successful = false;

int64_t OnEvent(void*, const char*, const char* name, const char*, Dictionary* info) {
    if (info) DictionaryAsJson(info);
    const std::string event = name;
    if (event == "Read") {
        const char* text = nullptr;
        Require(info && Dictionary_GetStringPtrByKey(info, "text", &text) && text);
        Texts.push_back(text);
    } else if (event == "Complete") {
        uint32_t flag = 0;
        Require(info && Dictionary_GetBooleanByKey(info, "successful", &flag) == 1);
        Successful = flag != 0;
        Completes++;
    }
    return 1;
}

bool Setup() {
    char pattern[] = "/tmp/text-file-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr);
    Path = std::string(pattern) + "/in.txt";
    Require(WorkflowApp_Init("text_file_fuzz.log", 0) == 1);
    for (const char* name : {"Start", "Read", "Complete"})
        NotificationCenter_AddObserver("TextFileReader", name, nullptr, OnEvent);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    if (size < 1 || size > 65536) return 0;
    const int32_t bufferSize = 1 + data[0] % 64;
    const std::string content(reinterpret_cast<const char*>(data) + 1, size - 1);
    FILE* file = fopen(Path.c_str(), "wb");
    Require(file != nullptr);
    Require(fwrite(content.data(), 1, content.size(), file) == content.size() || content.empty());
    fclose(file);

    Texts.clear();
    Completes = 0;
    TextFileReader* reader = nullptr;
    TextFileReader_Create(&reader);
    TextFileReader_SetFileName(reader, Path.c_str());
    TextFileReader_SetBufferSize(reader, bufferSize);
    TextFileReader_Start(reader);
    for (int pass = 0; pass < 200000 && Completes == 0; pass++) {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
    }
    Require(Completes == 1);

    std::vector<std::string> expected;
    const size_t chunk = (size_t)bufferSize - 1;
    for (size_t at = 0; chunk > 0 && at < content.size(); at += chunk) {
        std::string piece = content.substr(at, chunk);
        expected.push_back(piece.substr(0, piece.find('\0')));
    }
    Require(Texts == expected);
    Require(Successful == (chunk > 0));
    uint64_t left = 1;
    TextFileReader_GetBytesLeft(reader, &left);
    Require(left == (chunk > 0 ? 0u : content.size()));
    TextFileReader_Release(&reader);
    return 0;
}
