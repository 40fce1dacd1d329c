// Macro expander: replaces braced tokens such as {UserHome} or {Upper:{UserName}} in a text, innermost
// first, from the platform's values, the built-in functions, the module key providers and a callback.
#pragma once

#include <cstdint>

struct Dictionary;

// The signature of every key provider and of the callbacks callers of String_Expand pass: answers 1
// when `name` was handled and its value written (an empty value is an answer and removes the token).
// `argument` is null when the token had no ':'; `capacity` is STRING_EXPAND_VALUE_SIZE. A value is
// inserted once, as text: what a status, a file or entry name, a URL, the environment or the
// platform gives is never scanned for tokens again. A source that hands out a template its author
// wrote (a macro whose definition holds other macros) answers STRING_EXPAND_TEMPLATE instead: its
// tokens are then expanded with the same sources, one nesting level deeper, and what they give is
// text in turn.
typedef int64_t (*ExpandKeyCallback)(void* user, const char* name, char* argument, char* value,
                                     int32_t capacity);

enum : int32_t {
    STRING_EXPAND_WORK_SIZE = 8192,  // the text is expanded in a buffer of this size
    STRING_EXPAND_VALUE_SIZE = 8140, // the capacity every provider writes its value into
    STRING_EXPAND_TOKEN_SIZE = 8139, // bytes of a token's text kept between its braces
    STRING_EXPAND_DEPTH = 32,        // tokens nested in tokens (and templates in templates)
    STRING_EXPAND_TEMPLATE = 2,      // a source's answer: the value is a template, see above
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
// nobody could name, since the expander replaces every one it can. A text naming a file or folder
// that still holds one is never used as a path: taken as it is, it would be a relative name in
// whatever the current folder is. Braces that name no location ("{notes}.txt") are text. The
// location's name goes to `name` (may be null). Judged by the text alone, at no cost: every file
// operation asks it (Path_Resolve).
int64_t String_ExpandFindLocation(const char* text, char* name, int32_t capacity);
// The judgement of a text about to be used as a path, as said to a user: 1 when `text` may not be
// used, with `said` holding why and `shown` the text as given:
//  - it still holds a location ("names a location without its folder ({Env:NAME})"), or
//  - the place it reaches lies in or passes through a folder the program refused, whatever name
//    led there (a location's, a link another account made): compared by identity, the device and
//    inode of each folder and link on the way, reached through descriptors, never by spelling
//    ("names the refused folder FOLDER (reason)"). A location refused whole (left unexpanded) is
//    said the same way.
int64_t String_ExpandJudgeLocation(const char* text, char* said, int32_t saidCapacity, char* shown,
                                   int32_t shownCapacity);
// THE PATH JUDGEMENT of every surface that acts on a path or hands one to a program: 1 when the
// text may not be used, with `line` holding the one line the surface says,
// "\"ARGUMENT\" argument WHY: EXPANDED". `written` is the text as its author wrote it (null when
// not known) and `expanded` what the expander made of it. Refused:
//  - whatever String_ExpandJudgeLocation refuses in `expanded`;
//  - a text written with any token, changed by its expansion, that expanded to nothing or to a
//    relative text (a location
//    that vanished inside a function, an empty {Env:}, an absent {CommandLine:...}, an address
//    taken as a path): "names no full path once its macros are expanded (WRITTEN)". A text written
//    without tokens, or whose braces nothing took ("{notes}/x"), is the author's own choice and
//    passes as written.
// 0 when the path may be used. Safe on any thread.
int64_t String_ExpandJudgePath(const char* argument, const char* written, const char* expanded, char* line,
                               int32_t capacity);
// String_ExpandJudgePath when the written text is not known.
int64_t String_ExpandRefuseArgument(const char* argument, const char* text, char* line, int32_t capacity);
// A folder the program refused for its location `name` (its own checks failed it for `reason`; the
// refusal just made on this thread, Platform_GetLastRefusedIdentity, names what failed): from then
// on a path that reaches it, or the folder `folder` itself, or that still holds the location, is
// refused by the judgements above, named by `folder`. The location itself is left without a value
// by its owner, so nothing that skips the judgement can be handed a stand-in. 0 when it cannot be
// kept (too long, or too many).
int64_t String_ExpandRefuseFolder(const char* name, const char* folder, const char* reason);
int64_t String_ExpandForgetRefusedFolders();
// The platform's values by name (without case); 1 when handled. `value` holds
// STRING_EXPAND_VALUE_SIZE bytes.
int64_t String_ExpandPlatform(const char* name, char* argument, char* value);
