// The web client's named regex URL rewrite rules, the redirect macros they and URLs may name in
// braces, and the host whitelist that decides which URLs may be fetched at all.
#pragma once

#include <cstdint>

struct Dictionary;

// Rule and call flags.
enum : uint32_t {
    WEBGET_REDIRECT_EXPAND = 0x1,   // expand macros in the URL before and after the rules
    WEBGET_REDIRECT_RESOURCE = 0x2, // browser resource loads; rules apply only to calls alike
};

enum : int32_t {
    WEBGET_REDIRECT_NAME_SIZE = 320,
    WEBGET_REDIRECT_TEXT_SIZE = 8192, // pattern, replacement and the rewritten URL
};

// ---- Rules -----------------------------------------------------------------------------------
// Adds or replaces (in place, when mutable) one rule; fires "WebGet"/"RedirectChanged" on
// success. 0 for an immutable rule of the same name, a pattern that does not compile, texts that
// do not fit, compile options outside 32 bits, or without state.
int64_t WebGet_RedirectAdd(const char* name, uint32_t flags, uint32_t mutableRule, const char* pattern,
                           const char* replacement, int64_t compileOptions, int64_t substituteOptions);
// Adds every rule of a rule set (name -> {pattern, replacement, flags, compileOptions,
// substituteOptions, mutable}), skipping those that fail, then fires; 0 only for an empty set.
int64_t WebGet_RedirectAddFromDictionary(Dictionary* rules);
// Removes a mutable rule; 0 when absent or immutable. Fires nothing.
int64_t WebGet_RedirectRemove(const char* name);
int64_t WebGet_RedirectAddMacro(const char* name, const char* text);
int64_t WebGet_RedirectAddMacrosFromDictionary(Dictionary* macros);
int64_t WebGet_RedirectRemoveMacro(const char* name);
// Frees every rule, immutable ones too, and empties the macro table. Fires nothing.
int64_t WebGet_RedirectClearAll();
// Fires "WebGet"/"RedirectChanged" with the current rules and macros.
int64_t WebGet_RaiseRedirectConfig();

// Rewrites the URL in place (capacity includes the terminator); 1 when a rule changed it.
int64_t WebGet_Redirect(uint32_t flags, char* url, int32_t capacity);
int64_t WebGet_RedirectInterop(uint32_t flags, const char* source, char* destination, int32_t capacity);
// Copies (when they differ) and expands macros as the rules' URLs are expanded.
int64_t WebGet_ExpandString(const char* source, char* destination, int32_t capacity);

// ---- Whitelist -------------------------------------------------------------------------------
// 1 when a pattern ('*' any run, '?' one character, without case) matches the host.
int64_t WebGet_IsWhitelisted(const char* host);
// Adds a host pattern unless the whitelist is frozen; 1 when the pattern is (now) listed, 0 when
// frozen, too long or without state.
int64_t WebGet_WhitelistAdd(const char* pattern);
// Freezes the whitelist for good; returns 0.
int64_t WebGet_WhitelistMakeImmutable();

// ---- Option sets as texts --------------------------------------------------------------------
// ", "-separated names, compared without case; unknown names are ignored.
uint32_t WebGet_RedirectFlagsFromStringList(const char* text);
uint32_t WebGet_RedirectCompileOptionsFromStringList(const char* text);
uint32_t WebGet_RedirectSubstituteOptionsFromStringList(const char* text);
// The names of the set bits joined by ", ", in table order; 1.
int64_t WebGet_GetRedirectFlagsFlagString(uint32_t bits, char* buffer, int32_t capacity);
int64_t WebGet_GetRedirectCompileOptionsFlagString(uint32_t bits, char* buffer, int32_t capacity);
int64_t WebGet_GetRedirectSubstituteOptionsFlagString(uint32_t bits, char* buffer, int32_t capacity);
