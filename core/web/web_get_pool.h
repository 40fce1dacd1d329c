// The process-wide scheduler of HTTP requests: requests are filed by host, each host keeps a few
// persistent connections, and the main loop drives them in short time slices.
#pragma once
#include <cstdint>

struct WebGetRequest;

enum : uint32_t { WEBGET_POOL_CLASS_ID = 0x32ace1b0 };

int64_t WebGetPool_Init();
int64_t WebGetPool_Remove();
// Files a prepared request (main thread only); 1.
int64_t WebGetPool_RequestAdd(WebGetRequest* request);
// Takes a request back (main thread only); 0 when its host is in neither table.
int64_t WebGetPool_RequestRemove(WebGetRequest* request);
// One pass over the active hosts; 1 when a connection did work or a request was filed again.
int64_t WebGetPool_Process();
