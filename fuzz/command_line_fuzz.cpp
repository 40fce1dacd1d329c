// Fuzz target of the command-line readers: argument splitting and every field, name and value
// reader over arbitrary text, checking that results stay inside the text and the buffers.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/runtime/command_line.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

void FuzzSplit(const char* text) {
    int32_t counted = -1;
    Check(Arguments_BuildBySeparator(text, &counted, nullptr) == 1);
    int32_t count = -1;
    char** vector = nullptr;
    if (Arguments_Build(text, &count, &vector) == 1) {
        Check(count == counted && vector != nullptr && vector[count] == nullptr);
        for (int32_t i = 0; i < count; ++i) Check(strlen(vector[i]) <= ARGUMENT_MAX_LENGTH);
        // Joining and splitting again must stay in bounds as well.
        char joined[COMMAND_LINE_SIZE];
        Check(CommandLine_Build(count, vector, joined, sizeof joined) == 1);
        Check(strlen(joined) < sizeof joined);
        Arguments_Free(&count, &vector);
        Check(count == 0 && vector == nullptr);
    }
}

void FuzzFields(const char* text, size_t length) {
    const char* limit = text + length;
    const bool whole = length < COMMAND_LINE_SIZE - 1;
    int32_t count = -1;
    const int64_t any = CommandLine_GetFieldCount(text, &count);
    Check(count >= 0 && any == (count > 0 ? 1 : 0));

    char buffer[64];
    char small[2];
    const char* previousEnd = text;
    for (int32_t i = 0; i <= count; ++i) {
        const char* start = nullptr;
        const char* end = nullptr;
        int32_t total = -1;
        const int64_t found = CommandLine_GetFieldBoundary(text, i, &total, &start, &end);
        Check(total == count);
        Check(found == (i < count ? 1 : 0));
        Check(CommandLine_GetField(text, i, buffer, sizeof buffer) == found);
        Check(strlen(buffer) < sizeof buffer);
        Check(CommandLine_GetField(text, i, small, sizeof small) == found);
        if (!found) {
            Check(start == nullptr && end == nullptr && buffer[0] == 0);
            continue;
        }
        Check(start >= previousEnd && start < end && end <= limit);
        previousEnd = end;
        const char* pointer = nullptr;
        Check(CommandLine_GetFieldPtr(text, i, &pointer) == 1 && pointer == start);
        Check(CommandLine_GetFieldCleanAndCopy(start, end, buffer, sizeof buffer) == 1);

        const int64_t named = CommandLine_GetFieldName(start, buffer, sizeof buffer);
        Check(strlen(buffer) < sizeof buffer);
        const size_t nameLength = strlen(buffer);
        const char* value = nullptr;
        const int64_t valued = CommandLine_GetFieldValuePtr(start, &value);
        char copy[64];
        Check(CommandLine_GetFieldValue(start, copy, sizeof copy) == valued);
        if (!valued) Check(value == nullptr);
        // A field pointer is read on its own, bounded from where it points; the checks against
        // the whole text hold when the text was not cut.
        if (!whole) continue;
        if (valued) Check(value > start && value <= end && value[-1] == '=');
        if (named && nameLength + 1 < sizeof buffer) {
            Check(CommandLine_IsFieldSet(text, buffer) == 1);
            // A switch written with '=' directly after its name is found by that name.
            if (valued && value == start + 3 + nameLength) {
                Check(CommandLine_GetFieldByName(text, buffer, copy, sizeof copy) == 1);
            }
        }
    }

    // Names taken from the text itself, with and without case.
    for (const char* name : {"debug", "", "a", "-", "=", "\"", "verbose"}) {
        char value[16];
        CommandLine_GetFieldByName(text, name, value, sizeof value);
        Check(strlen(value) < sizeof value);
        CommandLine_IsFieldSet(text, name);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The readers take NUL-terminated text; the copy has no slack after the terminator so that
    // any read past it is caught.
    char* text = static_cast<char*>(malloc(size + 1));
    if (text == nullptr) return 0;
    memcpy(text, data, size);
    text[size] = 0;
    const size_t length = strlen(text);

    FuzzSplit(text);
    FuzzFields(text, length);
    // The remainder after an embedded NUL is a second text.
    if (length < size) {
        FuzzSplit(text + length + 1);
        FuzzFields(text + length + 1, strlen(text + length + 1));
    }
    free(text);
    return 0;
}
