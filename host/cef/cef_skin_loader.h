// Serves the skin's own files to a CEF browser inside the browser process, without the loopback
// web server: the skin request handler decides status, headers and range, and the loader streams
// the body from the opened skin entry or from the data store.
#pragma once

#include <cstdint>

#include "host/cef/cef_engine_bridge.h"

struct CEFSkinLoader;

enum : uint32_t { CEFSKINLOADER_CLASS_ID = 0x1d796296 };

// For "GET", "POST" and "HEAD" a new loader's handler (a reference for the engine); null for
// any other method.
CEFResourceHandler* CEFSkinLoader_Start(const char* url, CEFRequest* request);
// The loader behind a handler of CEFSkinLoader_Start, or null for any other handler.
CEFSkinLoader* CEFSkinLoader_FromHandler(CEFResourceHandler* handler);

// The sink through which the skin request handler answers (context: the loader).
// The request's header of that name (any case), cut to the capacity; 0 with an empty buffer when
// absent.
int64_t CEFSkinLoader_GetRequestHeader(void* loader, const char* name, char* buffer, int32_t capacity);
// Status, the "Server" header and, for 100 to 399 without a type yet, the path's media type;
// keeps length as the body's length. 1 for a status from 200 to 299.
int64_t CEFSkinLoader_SetResponse(void* loader, const char* path, int32_t status, int64_t offset, int64_t length);
// "Content-Type..." (any case) sets the media type; any other name sets (replaces) that header.
int64_t CEFSkinLoader_SetResponseHeader(void* loader, const char* name, const char* value);
// Takes over the data store's buffer as the body (its length is the response length).
int64_t CEFSkinLoader_PutDataStore(void* loader, uint8_t* buffer);
