// Runs the header text operations, the range decoders and the proxy and bypass list readers over
// arbitrary text. The input is up to three parts separated by NUL bytes: a header block or value,
// a name or URL, and a list. Each part is an exact-size heap copy, so that the address sanitizer
// sees any read past its end; answers are checked against what each operation promises.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/web/web_get_header.h"

namespace {

std::vector<char> Terminated(const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back(0);
    copy.shrink_to_fit();
    return copy;
}

void Check(bool ok) {
    if (!ok) abort();
}

void FirstLine(const std::string& text) {
    // Counted, without terminator.
    std::vector<char> bytes(text.begin(), text.end());
    bytes.shrink_to_fit();
    const char* data = bytes.empty() ? "" : bytes.data();
    const int32_t length = (int32_t)bytes.size();
    int32_t code = 0;
    if (WebGet_HeaderGetHTTPCode(data, length, &code)) Check(code >= 100);
    double version = 0;
    if (WebGet_HeaderGetHTTPVersion(data, length, &version)) Check(version >= 1.0);
    char status[32];
    WebGet_HeaderGetHTTPStatus(data, length, status, sizeof(status));
    Check(strlen(status) < sizeof(status));
}

void Block(const char* block, const char* name) {
    const char* line = nullptr;
    if (WebGet_HeaderFind(block, name, &line)) Check(line >= block && line < block + strlen(block));
    char value[48], key[16];
    WebGet_HeaderGetByName(block, name, value, sizeof(value));
    WebGet_HeaderGet(block, key, sizeof(key), value, sizeof(value));
    for (const char* p = block; p && *p;) WebGet_HeaderEnum(p, &p);

    // Setting a header that was absent makes it findable; nothing grows past the capacity.
    for (int32_t replace = 0; replace < 2; replace++) {
        std::vector<char> edited(96, 0);
        strncpy(edited.data(), block, edited.size() - 1);
        if (WebGet_HeaderSet(edited.data(), (int32_t)edited.size(), name, "v", replace)) {
            const char* found = nullptr;
            Check(WebGet_HeaderFind(edited.data(), name, &found) == 1);
        }
        Check(strnlen(edited.data(), edited.size()) < edited.size());
    }

    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    WebGet_HeaderToDictionary(block, dict, 1);
    char text[256];
    WebGet_HeaderFromDictionary(dict, text, sizeof(text));
    Check(strlen(text) < sizeof(text));
    Dictionary_Release(&dict);

    int64_t first = 0, last = 0, total = 0;
    if (WebGet_HeaderValueDecodeRange(block, &first, &last)) Check(last == -1 || last >= first);
    if (WebGet_HeaderValueDecodeContentRange(block, &first, &last, &total)) Check(first >= 0 && last >= first);
    WebGet_HeaderDecodeContentRange(block, &first, &last);

    // The parameter walk always moves on, so it ends within the text's length.
    const char* cursor = block;
    char parameter[8], parameterValue[8];
    size_t steps = 0;
    while (WebGet_HeaderValueExtractNextParameter(&cursor, parameter, sizeof(parameter), parameterValue,
                                                  sizeof(parameterValue)))
        Check(++steps <= strlen(block) + 1);
    WebGet_HeaderValueFindParameter(block, name, value, sizeof(value));
    WebGet_HeaderValueExtractParameter(block, name, value, sizeof(value));
}

void Lists(const char* url, const char* list) {
    char proxy[64];
    for (int32_t index = 0; index < 64; index++) {
        const int64_t result = WebGet_GetNextProxy(list, index, proxy, sizeof(proxy));
        if (result && proxy[0]) {
            const size_t n = strlen(proxy);
            Check(strstr(proxy, "://") != nullptr && proxy[n - 1] == '/');
        }
        if (!result && !strchr(list, ';') && index > 0) break;
    }
    const int64_t bypass = WebGet_BypassProxy(url, list);
    Check(bypass == 0 || bypass == 1);
    WebGet_GetProxyByProtocol(url, list, proxy, sizeof(proxy));
    Check(strlen(proxy) < sizeof(proxy));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The warning for an unsupported proxy form would flood the output.
    Debug_Init(nullptr, nullptr, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string parts[3];
    size_t part = 0;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0 && part < 2)
            part++;
        else
            parts[part] += (char)data[i];
    }
    FirstLine(parts[0]);
    std::string text = parts[0];
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    std::vector<char> block = Terminated(text);
    std::vector<char> name = Terminated(parts[1]);
    std::string listText = parts[2];
    listText.erase(std::remove(listText.begin(), listText.end(), '\0'), listText.end());
    std::vector<char> list = Terminated(listText);
    Block(block.data(), name.data());
    Lists(name.data(), list.data());
    Lists(name.data(), block.data());
    return 0;
}
