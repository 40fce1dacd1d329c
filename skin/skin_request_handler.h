// The skin request handler: answers one request for a skin file (status, headers, byte range,
// gzip of store entries, freshness) through a small sink record that each carrier supplies.
#pragma once

#include <cstdint>

struct SkinFile;

enum : int32_t {
    // The longest request path taken, its leading "/" and terminator included.
    SKIN_HANDLER_PATH_SIZE = 320,
    // The longest request header value read.
    SKIN_HANDLER_HEADER_SIZE = 8192,
};

// How a carrier (web-server connection, in-process route, browser resource loader, host) takes
// the handler's answer. The context is the carrier's own and is passed to every operation.
struct SkinHandler {
    // Copies the named request header into the buffer; 1 when present.
    int64_t (*GetRequestHeader)(void* context, const char* name, char* buffer, int32_t capacity);
    // Sets the status and the body's offset and length; its result is the handler's result for
    // every answer without a body.
    int64_t (*SetResponse)(void* context, const char* path, int32_t code, int64_t offset, int64_t length);
    int64_t (*SetResponseHeader)(void* context, const char* name, const char* value);
    // Takes over a data-store buffer (length + 1 bytes) to send as the body. May be null: such a
    // carrier cannot serve the data store.
    int64_t (*PutDataStore)(void* context, uint8_t* buffer);
};

// Answers the request for url (a URL or a path). 1 when a body follows: from *skinFile, or from
// the data store handed to PutDataStore. Otherwise the result of the SetResponse that answered.
// *skinFile may be set even without a body; the caller closes and frees it either way.
int64_t SkinHandler_GetResponse(const char* url, int32_t allowGzip, void* context, const SkinHandler* sink,
                                SkinFile** skinFile);
