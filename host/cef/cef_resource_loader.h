// Refetches foreign pages that the skin embeds (in its frames, or as a popup's own document) and
// hands them to the engine without the headers that would forbid that embedding. Only hosts on
// the HTTP client's whitelist are refetched.
#pragma once

#include <cstdint>

#include "host/cef/cef_engine.h"

enum : uint32_t { RESOURCELOADER_CLASS_ID = 0x78ab8fcc };
// Resource types of a request that the loader tells apart.
enum : int32_t { RT_MAIN_FRAME = 0, RT_SUB_FRAME = 1 };
// URL request flags the refetch adds.
enum : uint32_t { UR_FLAG_ALLOW_STORED_CREDENTIALS = 1u << 3, UR_FLAG_STOP_ON_REDIRECT = 1u << 7 };
// Longest host name that can be whitelisted; header values longer than the value limit are
// judged by their start.
enum : int32_t { RESOURCELOADER_HOST_SIZE = 120, RESOURCELOADER_HEADER_VALUE_SIZE = 8192 };

// The handler of a new loader with its refetch running (a reference for the engine), or null
// when the engine should fetch the request itself: not a sub-frame document nor a popup's own
// document, a host off the whitelist, or a refetch that cannot start.
CEFResourceHandler* ResourceLoader_Start(const char* url, CEFBrowser* browser, CEFFrame* frame,
                                         CEFRequest* request, uint32_t popup);

// The header map the engine gets: for a popup's document without a "Cross-Origin-Opener-Policy"
// of "same-origin..."; for a frame without "X-Frame-Options" and without a
// "Content-Security-Policy" that has a "frame-ancestors " directive. Order is kept. Answers how
// many headers were left out.
int32_t ResourceLoader_FilterHeaders(const CEFHeaderMap& headers, uint32_t popup, CEFHeaderMap* out);
