// The process-wide table from a file name's extension to its media type and subtype, used to
// label what the web server and the browser back end serve.
#pragma once

#include <cstdint>

enum : uint32_t { MIME_CLASS_ID = 0x81EEB448 };

// Builds the table once at start-up; a second call without MIME_Remove stops the process.
int64_t MIME_Init();
// 1 when the name's extension is in the table; type and subtype point into the table (valid
// until MIME_Remove) and are "application"/"octet-stream" when the answer is 0.
int64_t MIME_Find(const char* fileName, const char** type, const char** subtype);
int64_t MIME_Remove();
