// Macro expander: replaces braced tokens such as {UserHome} or {Upper:{UserName}} in a text, innermost
// first, from the platform's values, the built-in functions, the module key providers and a callback.
#pragma once

#include <cstdint>

struct Dictionary;

// The signature of every key provider and of the callbacks callers of String_Expand pass: answers 1
// when `name` was handled and its value written (an empty value is an answer and removes the token).
// `argument` is null when the token had no ':'; `capacity` is STRING_EXPAND_VALUE_SIZE.
typedef int64_t (*ExpandKeyCallback)(void* user, const char* name, char* argument, char* value,
                                     int32_t capacity);

enum : int32_t {
    STRING_EXPAND_WORK_SIZE = 8192,  // the text is expanded in a buffer of this size
    STRING_EXPAND_VALUE_SIZE = 8140, // the capacity every provider writes its value into
    STRING_EXPAND_TOKEN_SIZE = 8139, // bytes of a token's text kept between its braces
    STRING_EXPAND_DEPTH = 32,        // tokens nested in tokens
};

// String_ExpandResult's answers.
enum : int32_t {
    STRING_EXPAND_OK = 0,
    STRING_EXPAND_FAILED = 1,    // too deep, or a value did not fit: the buffer is left unchanged
    STRING_EXPAND_TRUNCATED = 2, // the result was cut to the capacity (and terminated)
};

// 1 when every token was processed and the result fitted the capacity.
int64_t String_Expand(char* buffer, int32_t capacity, void* user, ExpandKeyCallback callback);
int32_t String_ExpandResult(char* buffer, int32_t capacity, void* user, ExpandKeyCallback callback);
// Expands every String value of a tree in place; returns 1.
int64_t String_ExpandDictionary(Dictionary* dict, void* user, ExpandKeyCallback callback);
// Expands the token whose '{' is at `position` of the work buffer (STRING_EXPAND_WORK_SIZE bytes),
// its inner tokens first. 1 when done or left alone, 0 on failure.
int64_t String_ExpandInternal(char* work, int32_t position, void* user, ExpandKeyCallback callback,
                              int32_t depth);
// 1 when `text` still holds a token naming a location of this machine or of the program
// ({UserAppData}, {Temp}, {Env:...}, {workflowDirectory}, {LocalStorage}, ...): a folder or file
// nobody could name, since the expander replaces every one it can; or when it begins with the
// stand-in of a refused folder (String_ExpandRefuseFolder). A text naming a file or folder that
// still holds one is never used as a path: taken as it is, it would be a relative name in
// whatever the current folder is. Braces that name no location ("{notes}.txt") are text. The
// location's name goes to `name` (may be null).
int64_t String_ExpandFindLocation(const char* text, char* name, int32_t capacity);
// The same judgement as said to a user: 1 when `text` may not be used as a path, with `said`
// holding why ("names a location without its folder ({name})", or "names the refused folder
// FOLDER (reason)") and `shown` the text as the user knows it (a stand-in replaced by its folder).
int64_t String_ExpandJudgeLocation(const char* text, char* said, int32_t saidCapacity, char* shown,
                                   int32_t shownCapacity);
// The same judgement said of a caller's argument, in the one line every surface that takes a path
// gives: 1 when `text` may not be used as a path, with `line` holding
// "\"ARGUMENT\" argument WHY: SHOWN" (the two texts of String_ExpandJudgeLocation).
int64_t String_ExpandRefuseArgument(const char* argument, const char* text, char* line, int32_t capacity);
// A folder the program refused for its location `name` (its own checks failed it for `reason`):
// the location's value from then on is `standIn`, a path nothing can be made in, and a text that
// begins with it is refused by the two judgements above, named by `folder`. 0 when it cannot be
// kept (too long, or too many).
int64_t String_ExpandRefuseFolder(const char* name, const char* standIn, const char* folder, const char* reason);
int64_t String_ExpandForgetRefusedFolders();
// The platform's values by name (without case); 1 when handled. `value` holds
// STRING_EXPAND_VALUE_SIZE bytes.
int64_t String_ExpandPlatform(const char* name, char* argument, char* value);
