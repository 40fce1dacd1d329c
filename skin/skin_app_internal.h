// What the skin application's own files share: the singleton's web server and its table of
// in-process requests (the route lives beside the application, in skin_app_route.cpp).
#pragma once

#include <cstdint>

struct HashTable;
struct SkinWebServer;

// Null without a singleton (or, for the table, before the application started).
SkinWebServer* SkinApp_GetWebServerHandle();
HashTable* SkinApp_GetRequestTable();
// The engine's asynchronous loader hands its requests here: the content URL's are answered from
// the skin, every other goes to the HTTP pool.
int64_t SkinApp_WebGetRequestQueueCallback(struct WebGetRequest* request);
int64_t SkinApp_WebGetRequestRemoveCallback(struct WebGetRequest* request);
