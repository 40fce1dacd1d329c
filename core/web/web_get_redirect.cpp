// Redirect rules (PCRE2 substitutions applied in list order), redirect macros, the notification
// that carries both to the other process, and the host whitelist behind WebGet_Authorize.
#include "core/web/web_get_redirect.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <atomic>
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/formats/url.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/web/web_get_internal.h"

struct WebGetRedirectRule {
    char Name[WEBGET_REDIRECT_NAME_SIZE];
    char Pattern[WEBGET_REDIRECT_TEXT_SIZE];
    char Replacement[WEBGET_REDIRECT_TEXT_SIZE];
    uint32_t Flags;
    uint32_t Mutable;
    pcre2_code* Code;
    uint32_t CompileOptions;
    uint32_t SubstituteOptions;
    WebGetRedirectRule* Next;
    WebGetRedirectRule* Prev;
};

namespace {

std::atomic<WebGetAuthorizeFunc> GlobalWebGetAuthorizeOverride{nullptr};

// Limits of one substitution. A URL is at most 8 KB, so honest patterns stay far below them; a
// pattern that backtracks without end fails with a PCRE2 limit error instead of hanging.
constexpr uint32_t kMatchLimit = 100000;
constexpr uint32_t kDepthLimit = 10000;
constexpr uint32_t kHeapLimitKiB = 16 * 1024;

// Option bits that would let PCRE2 skip its UTF validity check: on text from scripts and
// configuration that is undefined behaviour, so they never reach PCRE2.
constexpr uint32_t kUnsafeOptions = PCRE2_NO_UTF_CHECK;
// "DupNames" among substitute options is the compile option's bit, which at match time means a
// DFA restart that PCRE2 refuses for every substitution: it is kept in the rule (and carried in
// its text) but not passed on.
constexpr uint32_t kCompileOnlySubstituteBits = 0x40;

constexpr int32_t kMemberSize = 320;

struct FlagName {
    uint32_t Bit;
    const char* Name;
};

constexpr FlagName WebGet_RedirectFlagsFlagStringTable[] = {
    {0x1, "Expand"},
    {0x2, "Resource"},
};

constexpr FlagName WebGet_RedirectCompileOptionsFlagStringTable[] = {
    {0x1, "AllowEmptyClass"},   {0x2, "AltBSUX"},           {0x200000, "AltCircumflex"},
    {0x400000, "AltVerbNames"}, {0x80000000, "Anchored"},   {0x8, "Caseless"},
    {0x10, "DollarEndOnly"},    {0x20, "DotAll"},           {0x40, "DupNames"},
    {0x20000000, "EndAnchored"}, {0x100, "FirstLine"},      {0x2000000, "Literal"},
    {0x200, "MatchUnsetBackRef"}, {0x400, "MultiLine"},     {0x100000, "NeverBackslashC"},
    {0x2000, "NoAutoCapture"},  {0x4000, "NoAutoPossess"},  {0x8000, "NoDotStarAnchor"},
    {0x10000, "NoStartOptimize"}, {0x40000, "Ungreedy"},    {0x80, "Extended"},
};

constexpr FlagName WebGet_RedirectSubstituteOptionsFlagStringTable[] = {
    {0x80000000, "Anchored"}, {0x40, "DupNames"},  {0x20000000, "EndAnchored"},
    {0x1, "NotBol"},          {0x2, "NotEol"},     {0x4, "NotEmpty"},
    {0x8, "NotEmptyAtStart"}, {0x200, "Extended"}, {0x100, "Global"},
    {0x8000, "Literal"},      {0x20000, "ReplacementOnly"}, {0x800, "UnknownUnset"},
    {0x400, "UnsetEmpty"},
};

template <size_t N> uint32_t FromStringList(const FlagName (&table)[N], const char* text) {
    uint32_t bits = 0;
    if (!text) return 0;
    const char* p = text;
    while (*p) {
        const char* end = strchr(p, ',');
        const size_t length = end ? (size_t)(end - p) : strlen(p);
        char member[kMemberSize];
        const size_t kept = length < (size_t)kMemberSize - 1 ? length : (size_t)kMemberSize - 1;
        memcpy(member, p, kept);
        member[kept] = 0;
        for (const FlagName& row : table)
            if (String_CompareWithoutCase(member, row.Name)) bits |= row.Bit;
        if (!end) break;
        p = end + 1;
        while (*p == ' ' || *p == '\t') p++;
    }
    return bits;
}

template <size_t N> int64_t FlagString(const FlagName (&table)[N], uint32_t bits, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 1;
    buffer[0] = 0;
    bool first = true;
    for (const FlagName& row : table) {
        if (!(bits & row.Bit)) continue;
        if (!first) String_CatLength(buffer, ", ", capacity);
        String_CatLength(buffer, row.Name, capacity);
        first = false;
    }
    return 1;
}

WebGet* State() {
    WebGet* state = WebGet_State();
    if (state) WEBGET_CHECK(state);
    return state;
}

void Unlink(WebGet* state, WebGetRedirectRule* rule) {
    WebGetRuleList& list = state->Rules;
    if (rule->Prev)
        rule->Prev->Next = rule->Next;
    else
        list.First = rule->Next;
    if (rule->Next)
        rule->Next->Prev = rule->Prev;
    else
        list.Last = rule->Prev;
    list.Count--;
}

void FreeRule(WebGet* state, WebGetRedirectRule* rule) {
    if (rule->Code) pcre2_code_free(rule->Code);
    rule->Code = nullptr;
    Pool_Free(state->RulePool, &rule, sizeof(WebGetRedirectRule));
}

WebGetRedirectRule* FindRule(WebGet* state, const char* name) {
    for (WebGetRedirectRule* rule = state->Rules.First; rule; rule = rule->Next)
        if (String_CompareWithoutCase(rule->Name, name)) return rule;
    return nullptr;
}

bool Fits(const char* text, int32_t capacity) { return strnlen(text, (size_t)capacity) < (size_t)capacity; }

// Macro names are dictionary keys: a longer one would be cut and name another macro.
bool MacroNameFits(const char* name) { return name[0] && Fits(name, DICTIONARY_MAX_KEY_LENGTH + 1); }

int64_t SetMacro(WebGet* state, const char* name, const char* text) {
    if (!MacroNameFits(name)) {
        Log_Warning("Invalid redirect macro name (%s)\n", name);
        return 0;
    }
    CriticalSectionGuard guard(state->RuleLock);
    return Dictionary_SetStringByKey(state->Macros, name, text) ? 1 : 0;
}

const char* StringOf(Dictionary* dict, const char* key) {
    const char* text = nullptr;
    return Dictionary_GetStringPtrByKey(dict, key, &text) && text ? text : "";
}

// Adds the rules of a rule set; the count of rules added.
int32_t AddRules(Dictionary* rules) {
    int32_t added = 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(rules, &item); item; Dictionary_ItemGetNext(rules, item, &item)) {
        Dictionary* rule = nullptr;
        if (!Dictionary_ItemCompareType(rules, item, DICTIONARY_TYPE_DICTIONARY)) continue;
        if (!Dictionary_ItemGetDictionaryHandle(rules, item, &rule) || !rule) continue;
        const char* pattern = nullptr;
        const char* replacement = nullptr;
        if (!Dictionary_GetStringPtrByKey(rule, "pattern", &pattern) || !pattern) continue;
        if (!Dictionary_GetStringPtrByKey(rule, "replacement", &replacement) || !replacement) continue;
        const char* name = nullptr;
        if (!Dictionary_ItemGetKeyPtr(rules, item, &name) || !name) continue;
        uint32_t mutableRule = 0;
        Dictionary_GetBooleanByKey(rule, "mutable", &mutableRule);
        const uint32_t flags = WebGet_RedirectFlagsFromStringList(StringOf(rule, "flags"));
        const uint32_t compile = WebGet_RedirectCompileOptionsFromStringList(StringOf(rule, "compileOptions"));
        const uint32_t substitute =
            WebGet_RedirectSubstituteOptionsFromStringList(StringOf(rule, "substituteOptions"));
        if (!WebGet_RedirectAddInternal(name, flags, mutableRule ? 1 : 0, pattern, replacement, compile, substitute))
            continue;
        Log_Info("Add webget redirect (%s)", name);
        added++;
    }
    return added;
}

int64_t AddMacros(WebGet* state, Dictionary* macros) {
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(macros, &item); item; Dictionary_ItemGetNext(macros, item, &item)) {
        const char* name = nullptr;
        const char* text = nullptr;
        if (!Dictionary_ItemGetKeyPtr(macros, item, &name) || !name) continue;
        if (!Dictionary_ItemGetStringPtr(macros, item, &text) || !text) continue;
        SetMacro(state, name, text);
    }
    return 1;
}

int64_t RaiseRedirectChanged(WebGet* state) {
    Dictionary* info = nullptr;
    Dictionary* macros = nullptr;
    Dictionary* redirect = nullptr;
    Dictionary_Create(&info);
    // Rule and macro names are carried as written: a leading "#" or "." is no private mark.
    Dictionary_SetPrivateKeys(info, 0);
    Dictionary_AddDictionary(info, "macros", &macros, nullptr);
    Dictionary_AddDictionary(info, "redirect", &redirect, nullptr);
    {
        CriticalSectionGuard guard(state->RuleLock);
        Dictionary_Merge(macros, state->Macros, 1);
        char options[WEBGET_REDIRECT_NAME_SIZE];
        for (WebGetRedirectRule* rule = state->Rules.First; rule; rule = rule->Next) {
            Dictionary* entry = nullptr;
            Dictionary_AddDictionary(redirect, rule->Name, &entry, nullptr);
            if (!entry) continue;
            Dictionary_SetStringByKey(entry, "pattern", rule->Pattern);
            Dictionary_SetStringByKey(entry, "replacement", rule->Replacement);
            WebGet_GetRedirectFlagsFlagString(rule->Flags, options, sizeof(options));
            Dictionary_SetStringByKey(entry, "flags", options);
            WebGet_GetRedirectCompileOptionsFlagString(rule->CompileOptions, options, sizeof(options));
            Dictionary_SetStringByKey(entry, "compileOptions", options);
            WebGet_GetRedirectSubstituteOptionsFlagString(rule->SubstituteOptions, options, sizeof(options));
            Dictionary_SetStringByKey(entry, "substituteOptions", options);
            Dictionary_SetBooleanByKey(entry, "mutable", rule->Mutable);
        }
    }
    NotificationCenter_Fire("WebGet", "RedirectChanged", nullptr, info);
    Dictionary_Release(&info);
    return 1;
}

// Names the expander does not know itself: the system agent, then the macro table.
int64_t ExpandCallback(void* user, const char* name, char*, char* value, int32_t capacity) {
    WebGet* state = static_cast<WebGet*>(user);
    if (!state) return 0;
    if (String_CompareWithoutCase(name, "SystemAgent")) {
        String_CopyLength(value, state->SystemAgent, capacity);
        return 1;
    }
    CriticalSectionGuard guard(state->RuleLock);
    return Dictionary_GetStringByKey(state->Macros, name, value, capacity) ? 1 : 0;
}

struct SecondPass {
    WebGet* State;
    const char* Original;
};

int64_t ExpandWithUrl(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    const SecondPass* pass = static_cast<const SecondPass*>(user);
    if (String_CompareWithoutCase(name, "Url")) {
        String_CopyLength(value, pass->Original, capacity);
        return 1;
    }
    return ExpandCallback(pass->State, name, argument, value, capacity);
}

// '*' any run, '?' one byte, ASCII case folded. Backtracks only to the last star, so the work is
// bounded by the product of the two lengths.
bool WildcardMatch(const char* text, const char* pattern) {
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c; };
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*text) {
        if (*pattern == '*') {
            star = pattern++;
            resume = text;
        } else if (*pattern && (*pattern == '?' || fold(*pattern) == fold(*text))) {
            pattern++;
            text++;
        } else if (star) {
            pattern = star + 1;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') pattern++;
    return *pattern == 0;
}

} // namespace

// ---- State ----------------------------------------------------------------------------------

int64_t WebGet_RedirectInitState(WebGet* state) {
    Pool_Create(&state->RulePool);
    Pool_SetMemorySize(state->RulePool, sizeof(WebGetRedirectRule));
    Pool_SetChunkSize(state->RulePool, 10);
    pcre2_match_context* context = pcre2_match_context_create(nullptr);
    if (context) {
        pcre2_set_match_limit(context, kMatchLimit);
        pcre2_set_depth_limit(context, kDepthLimit);
        pcre2_set_heap_limit(context, kHeapLimitKiB);
    }
    state->MatchContext = context;
    return 1;
}

int64_t WebGet_RedirectRemoveState(WebGet* state) {
    Pool_Delete(&state->RulePool);
    if (state->MatchContext) pcre2_match_context_free(static_cast<pcre2_match_context*>(state->MatchContext));
    state->MatchContext = nullptr;
    return 1;
}

// ---- Rules ----------------------------------------------------------------------------------

int64_t WebGet_RedirectAddInternal(const char* name, uint32_t flags, uint32_t mutableRule, const char* pattern,
                                   const char* replacement, int64_t CompileOptions, int64_t substituteOptions) {
    WebGet* state = State();
    if (!state) return 0;
    ASSERT_POINTER(name);
    ASSERT_POINTER(pattern);
    ASSERT_POINTER(replacement);
    // A cut text would be another rule: another name, a pattern that matches something else.
    if (!name[0] || !Fits(name, WEBGET_REDIRECT_NAME_SIZE) || !Fits(pattern, WEBGET_REDIRECT_TEXT_SIZE) ||
        !Fits(replacement, WEBGET_REDIRECT_TEXT_SIZE)) {
        Log_Warning("Redirect too long or unnamed (%.64s)\n", name);
        return 0;
    }
    CriticalSectionGuard guard(state->RuleLock);
    WebGetRedirectRule* rule = FindRule(state, name);
    if (rule && !rule->Mutable) {
        Log_Warning("Attempted to overwrite immutable redirect (%s)\n", name);
        return 0;
    }
    ASSERT_MSG(CompileOptions >= 0 && CompileOptions <= UINT32_MAX, "CompileOptions out of range");
    int error = 0;
    PCRE2_SIZE offset = 0;
    const uint32_t options = (uint32_t)CompileOptions & ~kUnsafeOptions;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED, options, &error,
                                     &offset, nullptr);
    if (!code) {
        Log_Debug("Failed to compile regex redirect (%s:%d) (%d)\n", name, (int32_t)offset, error);
        return 0;
    }
    const bool created = rule == nullptr;
    if (created) {
        rule = static_cast<WebGetRedirectRule*>(Pool_Alloc(state->RulePool, sizeof(WebGetRedirectRule)));
        memset(rule, 0, sizeof(*rule));
    } else if (rule->Code) {
        pcre2_code_free(rule->Code);
    }
    rule->Code = code;
    String_CopyLength(rule->Name, name, WEBGET_REDIRECT_NAME_SIZE);
    String_CopyLength(rule->Pattern, pattern, WEBGET_REDIRECT_TEXT_SIZE);
    String_CopyLength(rule->Replacement, replacement, WEBGET_REDIRECT_TEXT_SIZE);
    rule->Flags = flags;
    rule->Mutable = mutableRule;
    rule->CompileOptions = options;
    rule->SubstituteOptions = (uint32_t)substituteOptions;
    if (created) {
        WebGetRuleList& list = state->Rules;
        rule->Prev = list.Last;
        rule->Next = nullptr;
        if (list.Last)
            list.Last->Next = rule;
        else
            list.First = rule;
        list.Last = rule;
        list.Count++;
    }
    return 1;
}

int64_t WebGet_RedirectAdd(const char* name, uint32_t flags, uint32_t mutableRule, const char* pattern,
                           const char* replacement, int64_t compileOptions, int64_t substituteOptions) {
    WebGet* state = State();
    if (!state) return 0;
    // Options come from scripts as plain numbers: out of range is bad input, not a broken program.
    if (compileOptions < 0 || compileOptions > UINT32_MAX || substituteOptions < 0 || substituteOptions > UINT32_MAX) {
        Log_Warning("Redirect options out of range (%s)\n", name ? name : "");
        return 0;
    }
    if (!WebGet_RedirectAddInternal(name, flags, mutableRule, pattern, replacement, compileOptions,
                                    substituteOptions))
        return 0;
    RaiseRedirectChanged(state);
    return 1;
}

int64_t WebGet_RedirectAddFromDictionary(Dictionary* rules) {
    WebGet* state = State();
    if (!state || !rules) return 0;
    uint32_t count = 0;
    Dictionary_ItemGetCount(rules, &count);
    if (count == 0) return 0;
    AddRules(rules);
    RaiseRedirectChanged(state);
    return 1;
}

int64_t WebGet_RedirectRemove(const char* name) {
    WebGet* state = State();
    if (!state || !name) return 0;
    CriticalSectionGuard guard(state->RuleLock);
    WebGetRedirectRule* rule = FindRule(state, name);
    if (!rule) return 0;
    if (!rule->Mutable) {
        Log_Warning("Attempted to remove immutable redirect (%s)\n", name);
        return 0;
    }
    Unlink(state, rule);
    FreeRule(state, rule);
    return 1;
}

int64_t WebGet_RedirectAddMacro(const char* name, const char* text) {
    WebGet* state = State();
    if (!state || !name || !text) return 0;
    if (!SetMacro(state, name, text)) return 0;
    RaiseRedirectChanged(state);
    return 1;
}

int64_t WebGet_RedirectAddMacrosFromDictionary(Dictionary* macros) {
    WebGet* state = State();
    if (!state || !macros) return 0;
    uint32_t count = 0;
    Dictionary_ItemGetCount(macros, &count);
    if (count == 0) return 0;
    AddMacros(state, macros);
    RaiseRedirectChanged(state);
    return 1;
}

int64_t WebGet_RedirectRemoveMacro(const char* name) {
    WebGet* state = State();
    if (!state || !name) return 0;
    CriticalSectionGuard guard(state->RuleLock);
    return Dictionary_RemoveByKey(state->Macros, name) ? 1 : 0;
}

int64_t WebGet_RedirectClearAll() {
    WebGet* state = State();
    if (!state) return 0;
    CriticalSectionGuard guard(state->RuleLock);
    while (WebGetRedirectRule* rule = state->Rules.First) {
        Unlink(state, rule);
        FreeRule(state, rule);
    }
    Dictionary_Reset(state->Macros);
    return 1;
}

int64_t WebGet_RaiseRedirectConfig() {
    WebGet* state = State();
    if (!state) return 0;
    return RaiseRedirectChanged(state);
}

int64_t Notification_OnWebGetRedirectChanged(void*, const char*, const char*, const char*, Dictionary* info) {
    WebGet* state = State();
    if (!state || !info) return 0;
    uint32_t remote = 0;
    if (!Dictionary_GetBooleanByKey(info, "isRemote", &remote) || !remote) return 0;
    CriticalSectionGuard guard(state->RuleLock);
    Dictionary* macros = nullptr;
    if (Dictionary_GetDictionaryByKey(info, "macros", &macros) && macros) AddMacros(state, macros);
    Dictionary* redirect = nullptr;
    if (Dictionary_GetDictionaryByKey(info, "redirect", &redirect) && redirect) AddRules(redirect);
    return 1;
}

// ---- Rewriting ------------------------------------------------------------------------------

int64_t WebGet_Redirect(uint32_t flags, char* url, int32_t capacity) {
    WebGet* state = State();
    if (!state || !url || capacity < 2) return 0;
    char* original = static_cast<char*>(Memory_Alloc(WEBGET_REDIRECT_TEXT_SIZE));
    char* output = static_cast<char*>(Memory_Alloc(WEBGET_REDIRECT_TEXT_SIZE));
    const bool expand = (flags & WEBGET_REDIRECT_EXPAND) != 0;
    if (expand) String_Expand(url, capacity, state, ExpandCallback);
    // {Url} is the address before the rules as it was asked for, its macros expanded: a value is
    // inserted as text, never expanded again.
    String_CopyLength(original, url, WEBGET_REDIRECT_TEXT_SIZE);

    bool changed = false;
    {
        CriticalSectionGuard guard(state->RuleLock);
        auto* context = static_cast<pcre2_match_context*>(state->MatchContext);
        const int32_t room = capacity < WEBGET_REDIRECT_TEXT_SIZE ? capacity : WEBGET_REDIRECT_TEXT_SIZE;
        for (WebGetRedirectRule* rule = state->Rules.First; rule; rule = rule->Next) {
            if ((rule->Flags & WEBGET_REDIRECT_RESOURCE) != (flags & WEBGET_REDIRECT_RESOURCE)) continue;
            memset(output, 0, WEBGET_REDIRECT_TEXT_SIZE);
            PCRE2_SIZE length = (PCRE2_SIZE)room;
            const int rc = pcre2_substitute(rule->Code, reinterpret_cast<PCRE2_SPTR>(url), PCRE2_ZERO_TERMINATED, 0,
                                            rule->SubstituteOptions & ~(kUnsafeOptions | kCompileOnlySubstituteBits),
                                            nullptr, context,
                                            reinterpret_cast<PCRE2_SPTR>(rule->Replacement), PCRE2_ZERO_TERMINATED,
                                            reinterpret_cast<PCRE2_UCHAR*>(output), &length);
            if (rc > 0) {
                if (state->Verbose) Log_Debug("Regex substitution %s to %s\n", url, output);
                String_CopyLength(url, output, capacity);
                changed = true;
            } else if (rc < 0) {
                Log_Debug("Regex substitution failed (%s) (%d)\n", rule->Name, rc);
            }
        }
    }
    if (expand) {
        SecondPass pass{state, original};
        String_Expand(url, capacity, &pass, ExpandWithUrl);
    }
    Memory_Free(output, WEBGET_REDIRECT_TEXT_SIZE);
    Memory_Free(original, WEBGET_REDIRECT_TEXT_SIZE);
    return changed ? 1 : 0;
}

int64_t WebGet_RedirectInterop(uint32_t flags, const char* source, char* destination, int32_t capacity) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(destination);
    if (source != destination) String_CopyLength(destination, source, capacity);
    return WebGet_Redirect(flags, destination, capacity);
}

int64_t WebGet_ExpandString(const char* source, char* destination, int32_t capacity) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(destination);
    if (source != destination) String_CopyLength(destination, source, capacity);
    return String_Expand(destination, capacity, State(), ExpandCallback);
}

// ---- Whitelist ------------------------------------------------------------------------------

int64_t WebGet_IsWhitelisted(const char* host) {
    WebGet* state = State();
    if (!state || !host) return 0;
    CriticalSectionGuard guard(state->RuleLock);
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(state->Whitelist, &item); item;
         Dictionary_ItemGetNext(state->Whitelist, item, &item)) {
        const char* pattern = nullptr;
        if (Dictionary_ItemGetKeyPtr(state->Whitelist, item, &pattern) && pattern && WildcardMatch(host, pattern))
            return 1;
    }
    return 0;
}

int64_t WebGet_WhitelistAdd(const char* pattern) {
    WebGet* state = State();
    if (!state || !pattern) return 0;
    if (state->WhitelistFrozen.load()) {
        Log_Warning("Whitelist is immutable, host not added (%s)\n", pattern);
        return 0;
    }
    // Patterns are dictionary keys: a longer one would be cut into a wider pattern.
    if (!pattern[0] || !Fits(pattern, DICTIONARY_MAX_KEY_LENGTH + 1)) {
        Log_Warning("Invalid whitelist host (%.64s)\n", pattern);
        return 0;
    }
    CriticalSectionGuard guard(state->RuleLock);
    if (Dictionary_ContainsKey(state->Whitelist, pattern)) return 1;
    if (!Dictionary_Add(state->Whitelist, pattern, nullptr)) return 0;
    Log_Debug("Added host to whitelist (%s)\n", pattern);
    return 1;
}

int64_t WebGet_WhitelistMakeImmutable() {
    if (WebGet* state = State()) {
        uint32_t expected = 0;
        state->WhitelistFrozen.compare_exchange_strong(expected, 1);
    }
    return 0;
}

int64_t WebGet_Authorize(const char* url) {
    if (WebGetAuthorizeFunc fn = GlobalWebGetAuthorizeOverride.load()) return fn(url) ? 1 : 0;
    if (!url || !strstr(url, "//")) {
        Log_Debug("Malformed url (%s)\n", url ? url : "");
        return 0;
    }
    const int32_t capacity = WEBGET_REDIRECT_TEXT_SIZE;
    char* host = static_cast<char*>(Memory_Alloc(capacity));
    URL_ParseHostWithoutPort(url, host, capacity);
    // A host cut to the buffer could match a pattern the whole host does not.
    const bool whole = Fits(host, capacity - 1);
    int64_t answer = 0;
    if (whole && WebGet_IsWhitelisted(host)) {
        answer = 1;
    } else {
        Log_Warning("Hostname not found in whitelist (%s)\n", host);
        answer = Authenticate_Enabled() ? 0 : 1;
    }
    Memory_Free(host, capacity);
    return answer;
}

int64_t WebGet_AuthorizeOverride(WebGetAuthorizeFunc fn) {
    GlobalWebGetAuthorizeOverride.store(fn);
    return 1;
}

// ---- Option sets ----------------------------------------------------------------------------

uint32_t WebGet_RedirectFlagsFromStringList(const char* text) {
    return FromStringList(WebGet_RedirectFlagsFlagStringTable, text);
}

uint32_t WebGet_RedirectCompileOptionsFromStringList(const char* text) {
    return FromStringList(WebGet_RedirectCompileOptionsFlagStringTable, text);
}

uint32_t WebGet_RedirectSubstituteOptionsFromStringList(const char* text) {
    return FromStringList(WebGet_RedirectSubstituteOptionsFlagStringTable, text);
}

int64_t WebGet_GetRedirectFlagsFlagString(uint32_t bits, char* buffer, int32_t capacity) {
    return FlagString(WebGet_RedirectFlagsFlagStringTable, bits, buffer, capacity);
}

int64_t WebGet_GetRedirectCompileOptionsFlagString(uint32_t bits, char* buffer, int32_t capacity) {
    return FlagString(WebGet_RedirectCompileOptionsFlagStringTable, bits, buffer, capacity);
}

int64_t WebGet_GetRedirectSubstituteOptionsFlagString(uint32_t bits, char* buffer, int32_t capacity) {
    return FlagString(WebGet_RedirectSubstituteOptionsFlagStringTable, bits, buffer, capacity);
}
