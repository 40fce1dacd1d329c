// Shared by the core script classes: reading a method's arguments in order (the first missing or
// mistyped one stops the reading) and writing its "returnValue".
#pragma once

#include <cstdint>

struct Dictionary;

enum : int32_t {
    // Texts handed back to scripts are produced into a buffer of this size (cut at one less).
    CORE_INTEROP_TEXT_SIZE = 8192,
};

class CoreInteropArgs {
  public:
    CoreInteropArgs(Dictionary* request, const char* className, const char* method)
        : request_(request), className_(className), method_(method) {}
    // Each getter answers the argument, or an empty value once an argument has failed.
    const char* String(const char* name);
    // Copies the text into a buffer of CORE_INTEROP_TEXT_SIZE bytes.
    void CopyString(const char* name, char* buffer);
    // A text naming a file or folder: one that names a location without its folder (or a refused
    // folder) is refused with one ERROR line naming the argument, and Go() is false from then on;
    // the method then does nothing and answers its failure. Only the first refusal is said.
    const char* Path(const char* name);
    // A command line handed to a program: each word, split as the launch splits it, is judged as
    // Path judges a text, so that a location left in it, or a word beginning in a refused folder,
    // refuses it the same way; other words pass as written.
    const char* Arguments(const char* name);
    uint32_t Boolean(const char* name);
    int32_t Int32(const char* name);
    int64_t Int64(const char* name);
    double Float64(const char* name);
    Dictionary* Object(const char* name);
    bool Ok() const { return ok_; }
    // Every argument read and no path refused: the operation may run.
    bool Go() const { return ok_ && !refused_; }
    bool Refused() const { return refused_; }
    const char* ClassName() const { return className_; }
    const char* Method() const { return method_; }

  private:
    Dictionary* request_;
    const char* className_;
    const char* method_;
    bool ok_ = true;
    bool refused_ = false;
};

// A text buffer for string results, zeroed.
struct CoreInteropText {
    char Text[CORE_INTEROP_TEXT_SIZE] = {};
};

// Each writes "returnValue" (false, 0 or "" when an argument failed) and answers the invoke's
// result: 1 when every argument was read.
int64_t CoreInterop_ReturnBoolean(Dictionary* response, const CoreInteropArgs& args, int64_t value);
int64_t CoreInterop_ReturnInt32(Dictionary* response, const CoreInteropArgs& args, int64_t value);
int64_t CoreInterop_ReturnInt64(Dictionary* response, const CoreInteropArgs& args, int64_t value);
int64_t CoreInterop_ReturnFloat64(Dictionary* response, const CoreInteropArgs& args, double value);
int64_t CoreInterop_ReturnString(Dictionary* response, const CoreInteropArgs& args, const char* text);
// Base64 of the bytes, or null when there are none (an empty text when an argument failed).
int64_t CoreInterop_ReturnData(Dictionary* response, const CoreInteropArgs& args, const uint8_t* bytes,
                               uint32_t length);
// Decodes a Base64 argument into a new buffer (free with ApiGen_DeleteBase64DecodedBuffer); 0 with
// a logged line when the text is not Base64.
int64_t CoreInterop_DecodeData(const CoreInteropArgs& args, const char* name, const char* text,
                               uint8_t** bytes, uint32_t* length, uint32_t* size);
