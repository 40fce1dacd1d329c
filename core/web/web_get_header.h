// Text operations on HTTP header blocks (lines of "Name: value" separated by CR LF after a request
// or status line) and on header values, the Dictionary form of a block, and proxy and bypass lists.
#pragma once

#include <cstdint>

struct Dictionary;

// ---- Lines of a block -----------------------------------------------------------------------
// A line ends at its first CR or LF; any run of CR and LF separates two lines. All operations
// work in caller buffers; copies are cut to the capacity and always terminated.

// 1 and the start of the next line (past the CR/LF run ending this one); 0 (null) when the line
// has no line end.
int64_t WebGet_HeaderEnum(const char* line, const char** next);
// 1 and the first line that begins with name (ASCII case ignored) followed at once by ":".
int64_t WebGet_HeaderFind(const char* block, const char* name, const char** line);
// Splits one line into name and value (either buffer may be null); 0 when it has no ":".
int64_t WebGet_HeaderGet(const char* line, char* name, int32_t nameCapacity, char* value, int32_t valueCapacity);
int64_t WebGet_HeaderGetByName(const char* block, const char* name, char* value, int32_t capacity);
// Appends "name: value\r\n". An existing header answers 0 unless replace is set, which removes its
// line first. 0 and the block unchanged when the line would not fit whole or when name or value
// holds CR or LF (it would add lines of its own).
int64_t WebGet_HeaderSet(char* block, int32_t capacity, const char* name, const char* value, int32_t replace);
// Removes the line and the CR/LF run after it; 0 when the line has no line end.
int64_t WebGet_HeaderRemove(char* line);

// ---- The first line -------------------------------------------------------------------------
// These read at most length bytes of the block, which need not be terminated.
// The number after the first blank of the first line; 1 when it is 100 or more.
int64_t WebGet_HeaderGetHTTPCode(const char* block, int32_t length, int32_t* code);
// The number after the first "HTTP/"; 1 when it is 1.0 or more.
int64_t WebGet_HeaderGetHTTPVersion(const char* block, int32_t length, double* version);
// The reason phrase of the status line, blanks trimmed; 0 for a header line or a missing part.
int64_t WebGet_HeaderGetHTTPStatus(const char* block, int32_t length, char* buffer, int32_t capacity);

// ---- Header values --------------------------------------------------------------------------
// The value of the parameter name (ASCII case ignored) of a "a=1; b; c=3" list; 0 and an empty
// buffer when absent.
int64_t WebGet_HeaderValueFindParameter(const char* value, const char* name, char* buffer, int32_t capacity);
// The next parameter at *cursor, which moves past it; 0 at the end of the list.
int64_t WebGet_HeaderValueExtractNextParameter(const char** cursor, char* name, int32_t MaxName, char* value,
                                               int32_t MaxValue);
// The value of name=value or name: value in the text, quoted (quotes dropped) or bare; 1 when the
// name stands as a word of its own followed by its separator.
int64_t WebGet_HeaderValueExtractParameter(const char* text, const char* name, char* value, int32_t MaxValue);
// "bytes=first-last": first -N is a suffix range and an open range has last -1.
int64_t WebGet_HeaderValueDecodeRange(const char* value, int64_t* first, int64_t* last);
// The block's "Content-Range" header, decoded as below.
int64_t WebGet_HeaderDecodeContentRange(const char* block, int64_t* first, int64_t* last);
// "bytes first-last/total" (total "*" gives -1); 1 when well formed and last is not below first.
int64_t WebGet_HeaderValueDecodeContentRange(const char* value, int64_t* first, int64_t* last, int64_t* total);

// ---- Dictionary form ------------------------------------------------------------------------
// One item per header line (a Dictionary of name=value pairs for cookie headers); with firstLine
// 1 the first line becomes a keyless List of its words. Text after the last CR LF is ignored.
int64_t WebGet_HeaderToDictionary(const char* block, Dictionary* dict, int32_t firstLine);
// One header line's item, added as above: the name cut to the key length, a cookie header's
// value as its Dictionary of pairs.
int64_t WebGet_HeaderAddField(Dictionary* dict, const char* name, int32_t nameLength, const char* value,
                              int32_t valueLength);
// The block written back, ending with an empty line. 0 when the capacity is below 1, when the
// block was cut to the capacity, or (buffer emptied) when a key or value holds CR or LF.
int64_t WebGet_HeaderFromDictionary(Dictionary* dict, char* buffer, int32_t capacity);

// ---- Proxy lists ----------------------------------------------------------------------------
// The proxy of item index of a ";"-separated list as "scheme://host:port/"; empty for "DIRECT".
// 0 past the end, for an empty item, for a form not supported (logged) or an answer that does
// not fit.
int64_t WebGet_GetNextProxy(const char* list, int32_t index, char* buffer, int32_t capacity);
// 1 when the URL's host is to be reached without a proxy under the ";"-separated bypass list.
int64_t WebGet_BypassProxy(const char* url, const char* list);
// The value of the "scheme=value" item for the URL's scheme, or the whole settings text; 1.
int64_t WebGet_GetProxyByProtocol(const char* url, const char* settings, char* buffer, int32_t capacity);
