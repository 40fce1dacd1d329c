// The document loader's decode step on its own, for callers that already hold a body (the fuzzer):
// what the I/O worker runs for each fetched body.
#pragma once

#include <cstdint>

struct AsyncHTTP;

// Digest check, then the parse chosen by the parser kind (or, for the automatic kind, by the
// content type) into the loader's dictionary, then the worker-build callback. Runs on the calling
// thread; the result pair as a load would report it (the dictionary is left as the parse left it).
int64_t AsyncHTTP_DecodeBody(AsyncHTTP* loader, const uint8_t* body, uint32_t length, const char* contentType,
                             uint32_t signatureRequired, uint32_t* code, uint32_t* codeEx);
