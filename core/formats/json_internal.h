// The JSON object's state, shared by the object, reader and writer sources of the module.
#pragma once

#include <cstdint>

#include "core/formats/json.h"

constexpr int32_t JSON_KEY_TEXT_SIZE = 320;
// The longest path text given to a value callback, its NUL included.
constexpr int32_t JSON_PATH_SIZE = 1024;

struct JSON {
    Class Header;
    ClassPrint Print;
    // Kind of value open at each depth (JsonValueType); 0 between values.
    uint32_t TypeStack[JSON_MAX_DEPTH];
    // One bit per depth: the key text of that depth is an object key waiting for its value.
    uint32_t KeyFlags;
    char KeyText[JSON_MAX_DEPTH][JSON_KEY_TEXT_SIZE];
    int32_t KeyLength[JSON_MAX_DEPTH];
    // The key's length as a C text, which a \u0000 escape cuts; this is what a path shows.
    int32_t KeyPathLength[JSON_MAX_DEPTH];
    // Index of the current element while the depth is an array (-1 before the first).
    int32_t ArrayIndex[JSON_MAX_DEPTH];
    // The path of the open containers as last built: the text of levels below PathDepth is
    // still right, and PathEnd[d] is its length through level d. A change of a level's key,
    // index or kind lowers PathDepth to that level.
    char PathText[JSON_PATH_SIZE];
    int32_t PathEnd[JSON_MAX_DEPTH];
    int32_t PathDepth;
    // The dictionary receiving the values of each depth; index 0 is the bound Dictionary.
    Dictionary* Containers[JSON_MAX_DEPTH + 1];
    int32_t Depth;
    // Text of the scalar being scanned, always NUL-terminated.
    char* Value;
    int32_t ValueLength;
    int32_t ValueCapacity;
    // A byte at or above 0x80 went into the value buffer as it was read (escapes give valid
    // UTF-8 of their own): only then is the string's UTF-8 checked at its end.
    uint32_t ValueHigh;
    // A \u0000 escape put a NUL into the value buffer.
    uint32_t ValueNul;
    int32_t Line;
    int32_t Column;
    uint32_t ValueComplete;
    uint32_t Comma;
    uint32_t Substate;
    uint32_t NumberFlags;
    char Hex[4];
    int32_t HexCount;
    // A high surrogate escape waiting for its low half.
    uint32_t PendingHigh;
    uint32_t Error;
    uint64_t StreamPosition;
    // The top-level value is complete (or the scan failed): nothing more is read.
    uint32_t Done;
    // At least one value was opened since the reset.
    uint32_t Started;
    // Each raised value is logged (verbosity 9), decided once per load.
    uint32_t TraceValues;
    Dictionary* Dict;
    void* CallbackUser;
    JsonValueCallback Callback;
    uint32_t Minify;
    uint32_t PrivateKeys;
};

// The key, index or kind of the container at depth `d` changed: its path text must be built again.
inline void JSON_PathChanged(JSON* json, int32_t d) {
    if (json->PathDepth > d) json->PathDepth = d < 0 ? 0 : d;
}

// 1 when text[0, length) is one number in JSON's own grammar (what the reader stores).
bool JSON_IsNumberText(const char* text, int32_t length);

// Scans a run of bytes; stops early once the document is complete or an error is recorded.
void JSON_ScanBytes(JSON* json, const uint8_t* bytes, uint32_t length);
// Called at the end of the input: completes a number, and records an error for an unfinished
// document. 1 when the document is complete and no error is recorded.
int64_t JSON_ScanFinish(JSON* json);
// Makes the key indexes of the containers a load left open (it failed, or its input ended early)
// and of the bound Dictionary; JSON_ScanFinish calls it.
void JSON_IndexOpenContainers(JSON* json);
