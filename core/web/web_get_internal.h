// The web client's state record and the pieces its two files (settings, redirect rules) share.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/runtime/debug.h"
#include "core/web/web_get.h"
#include "core/web/web_get_redirect.h"

struct CriticalSection;
struct Pool;
struct Dictionary;
struct CertStoreInterface;
struct WebGetRedirectRule;

struct WebGetErrorFilterEntry {
    uint32_t Address;
    uint32_t Port;
    double NextAllowed; // monotonic seconds before which no further report is allowed
    WebGetErrorFilterEntry* Next;
    WebGetErrorFilterEntry* Prev;
};

struct WebGetRuleList {
    WebGetRedirectRule* First;
    WebGetRedirectRule* Last;
    uint32_t Count;
};

struct WebGetErrorFilterList {
    WebGetErrorFilterEntry* First;
    WebGetErrorFilterEntry* Last;
    uint32_t Count;
};

struct WebGet {
    uint32_t ClassId;
    uint32_t Verbose;
    CriticalSection* RuleLock; // rule list, rule pool and macro table
    Pool* RulePool;
    WebGetRuleList Rules;
    Dictionary* Macros;
    CriticalSection* XCacheLock;
    Dictionary* XCache;
    Dictionary* Whitelist;
    CriticalSection* ErrorFilterLock;
    Pool* ErrorFilterPool;
    WebGetErrorFilterList ErrorFilter;
    CertStoreInterface* DefaultStore;
    char SystemAgent[WEBGET_AGENT_SIZE];
    char UserAgent[WEBGET_AGENT_SIZE];
    uint32_t AllowAuthentication;
    int32_t DefaultTimeout;
    std::atomic<uint32_t> WhitelistFrozen;
    // Bounds every substitution (steps, depth, heap), so a hostile pattern cannot hang a request.
    void* MatchContext;
};

// The state, or null outside WebGet_Init .. WebGet_Remove.
WebGet* WebGet_State();
// The state record starts with its class id alone (it has no object header): the same checks as
// CLASS_CHECK, on that first word.
#define WEBGET_CHECK(state)                                                                    \
    do {                                                                                       \
        const WebGet* webget_check_ = (state);                                                 \
        if (webget_check_ == nullptr) Debug_AbortInt(__FILE__, __LINE__, "Pointer is NULL\n");  \
        if (webget_check_->ClassId != WEBGET_CLASS_ID)                                          \
            Debug_AbortInt(__FILE__, __LINE__,                                                 \
                           "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",   \
                           webget_check_, (uint32_t)WEBGET_CLASS_ID, webget_check_->ClassId);   \
    } while (0)

// Redirect half of the life cycle: the rule pool's member size, the match limits, the frees.
int64_t WebGet_RedirectInitState(WebGet* state);
int64_t WebGet_RedirectRemoveState(WebGet* state);

// The observer of "WebGet"/"RedirectChanged" installed by WebGet_Init.
int64_t Notification_OnWebGetRedirectChanged(void* user, const char* type, const char* name,
                                             const char* instance, Dictionary* info);

// The rule addition behind WebGet_RedirectAdd, without the notification. Compile options above 32
// bits stop the process: callers check them first.
int64_t WebGet_RedirectAddInternal(const char* name, uint32_t flags, uint32_t mutableRule, const char* pattern,
                                   const char* replacement, int64_t CompileOptions, int64_t substituteOptions);

// WebGet_ErrorFilter at a given monotonic time.
int64_t WebGet_ErrorFilterAt(const uint32_t* address, uint32_t port, double now);
