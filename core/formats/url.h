// URL text functions: take a URL apart, rebuild, normalise and join it, merge queries and
// percent-encode or decode text. No URL object: every call scans the caller's NUL-terminated text.
#pragma once

#include <cstdint>

// Reading rules shared by every function (scheme "://", user information up to "@", host with
// an optional ":port", path, query from "?", fragment from the last "#"):
// - The host starts after the "://" when that is the first of ":/?#" in the text, else at the
//   start; a text that begins with "/" has an empty host. User information ending in "@" before
//   the first of "/\?#" is skipped. The host ends at the first of "/\?#".
// - The path starts at the first of "/\" from the host start (at the letter of a "/C:" drive);
//   a "?" or "#" reached first, or no separator at all, means no path.
// - The query is the first "?" before the first "#"; the fragment is the last "#".
// - An explicit port is the decimal number after the host's first ":"; a number above 65535
//   makes the port invalid (the port queries answer 0 for it).
// Copy functions take (url, out, capacity), answer 1 when the part exists, else 0 with out
// empty, and always terminate out within capacity (a capacity below 1 writes nothing). Pointer
// functions point into the caller's text. A null url, output or name stops the process.

// One row of the scheme / default port table.
struct URLPortString {
    uint32_t Port;
    const char* Name;
};
// (0, ""), (443, "https"), (80, "http"), (21, "ftp"), (23, "telnet"), (8000, "shout"),
// (70, "gopher"): the first row is the fallback of both look-ups.
extern const URLPortString URL_PortStringTable[7];

// ---- Taking a URL apart --------------------------------------------------------------------
int64_t URL_ParseProtocol(const char* url, char* out, int32_t capacity);
int64_t URL_ParseUsername(const char* url, char* out, int32_t capacity);
int64_t URL_ParsePassword(const char* url, char* out, int32_t capacity);
// 1 when the host follows a "://".
int64_t URL_ParseHostPtr(const char* url, const char** host);
// Host with port / without port; both answer 1, also for an empty host.
int64_t URL_ParseHost(const char* url, char* out, int32_t capacity);
int64_t URL_ParseHostWithoutPort(const char* url, char* out, int32_t capacity);
// Host without port, then ":%d" with the explicit or default port when that is above 0.
// 0 (out empty) when the host is empty or its port is invalid.
int64_t URL_ParseHostWithPort(const char* url, char* out, int32_t capacity);
// Explicit port; 1 when it is above 0.
int64_t URL_ParseHostPort(const char* url, int32_t* port);
// Explicit port, else the scheme's default; 1 when above 0.
int64_t URL_ParsePort(const char* url, uint32_t* port);
// The host without port reduced to its last two dot-separated labels; 1 when not empty.
int64_t URL_ParseDomainPtr(const char* url, const char** domain);
int64_t URL_ParseDomain(const char* url, char* out, int32_t capacity);
// Pointer to the path with query and fragment, or to the constant text "/" (answer 0).
int64_t URL_ParsePathPtr(const char* url, const char** path);
// The path cut at its first "?" or "#".
int64_t URL_ParsePath(const char* url, char* out, int32_t capacity);
// The path cut after its last "/" or "\".
int64_t URL_ParsePathWithoutFilename(const char* url, char* out, int32_t capacity);
// The last path segment (an empty one is none); the pointer form keeps query and fragment.
int64_t URL_ParseFilenamePtr(const char* url, const char** filename);
int64_t URL_ParseFilename(const char* url, char* out, int32_t capacity);
// Pointer to the "?" (else to the empty text at the url's end, answer 0); the copy runs from the
// "?" to the last "#".
int64_t URL_ParseQueryPtr(const char* url, const char** query);
int64_t URL_ParseQuery(const char* url, char* out, int32_t capacity);
// Value of the first query parameter named name (ASCII case ignored); a parameter without "="
// gives the empty text and answers 1.
int64_t URL_ParseQueryParam(const char* url, const char* name, char* out, int32_t capacity);
// Pointer to the last "#" (else to the empty text at the url's end, answer 0).
int64_t URL_ParseFragmentPtr(const char* url, const char** fragment);

// ---- Editing in place ----------------------------------------------------------------------
// Drops everything up to and including "://"; 1.
int64_t URL_RemoveProtocol(char* url);
// Removes the query; a fragment after it moves up. 0 when there is no query.
int64_t URL_RemoveQuery(char* url);
// Cuts at the last "#"; 0 when there is none.
int64_t URL_RemoveFragment(char* url);
// Removes the last path segment, keeping query and fragment; 0 when there is no filename.
int64_t URL_RemoveFilename(char* url);

// ---- Questions and comparisons -------------------------------------------------------------
// 1 when there is no "://", or a "?" stands before it.
int64_t URL_IsRelative(const char* url);
// 1 when "?", "&" or "=" stands before the first "#".
int64_t URL_IsDynamic(const char* url);
// 1 when the host without port is "127.0.0.1" or "localhost" (ASCII case ignored).
int64_t URL_IsLocalhost(const char* url);
// Host and port texts alike (ASCII case ignored); the scheme is not looked at.
int64_t URL_CompareHosts(const char* a, const char* b);
int64_t URL_CompareHostsWithoutPort(const char* a, const char* b);
int64_t URL_CompareDomains(const char* a, const char* b);
// The url's origin as "scheme://host[:port]": scheme and host in lower case, the port only when
// given and not the scheme's default. 0 (and "") without "://", with user information, an empty
// host, a port that is not a number up to 65535, or an origin that does not fit.
int64_t URL_ParseOrigin(const char* url, char* out, int32_t capacity);
// 1 when both texts have an origin and the origins are the same: scheme, host and port.
int64_t URL_CompareOrigins(const char* a, const char* b);
// 1 when the url begins with scheme (ASCII case ignored) directly followed by "://".
int64_t URL_CompareProtocol(const char* url, const char* scheme);
// 1 when there is no explicit port, or the scheme is in the table and its port is the explicit one.
int64_t URL_IsDefaultPort(const char* url);
// Scheme name to default port (ASCII case ignored); 0 when not in the table.
uint32_t URL_TranslatePortString(const char* scheme);
// Port to scheme name; "" when not in the table.
const char* URL_TranslatePort(uint32_t port);

// ---- IPv4 addresses ------------------------------------------------------------------------
// The host (with its optional ":port") as dotted IPv4; address gets four bytes in network
// order. 0 when the url has no "://" or its host is no address.
int64_t URL_ConvertToIP(const char* url, uint32_t* address, uint16_t* port);
// With a scheme, out becomes "scheme://"; without one the text is appended to what out holds.
// Then the dotted address, ":port" when port is not 0, and "/". 1.
int64_t URL_ConvertFromIP(const uint32_t* address, int32_t port, const char* scheme, char* out,
                          int32_t capacity);

// ---- Normalising ---------------------------------------------------------------------------
// Folds "." and ".." segments of the path in place (separators collapsed, never above the root);
// query and fragment stay. 1 when there is no path.
int64_t URL_FixRelativePath(char* url, int32_t capacity);
// Normalised copy: spaces become "+" (spacesAsPlus) or "%20", "\" becomes "/" and repeated
// separators collapse before the query (in "file" URLs only after the "scheme:" part), then
// dot segments are folded. Output of at most capacity - 2 bytes; 0 when capacity is below 1.
int64_t URL_FixPath(const char* url, int32_t spacesAsPlus, char* out, int32_t capacity);
// URL_FixPath after trimming blanks and line ends, with a scheme put in front when there is
// none ("http://", or the scheme of the explicit port). 0 (out empty) for an empty text and for
// "javascript:" and "mailto:" texts.
int64_t URL_Fix(const char* in, int32_t spacesAsPlus, char* out, int32_t capacity);

// ---- Joining and queries -------------------------------------------------------------------
// Resolves reference against base; the queries of both merge (a name of the reference replaces
// the base's value in place) and the reference's fragment, else the base's, ends the result.
// 0 when the result is empty.
int64_t URL_Join(const char* base, const char* reference, char* out, int32_t capacity);
// Merges query into the url's own query (see URL_CombineQueries), in place; the fragment stays
// last. 0 (url unchanged) when the url does not normalise.
int64_t URL_JoinQuery(char* url, int32_t capacity, const char* query);
// "?" and the parameters of both queries, names unique ignoring ASCII case in first-seen order,
// a later value replacing an earlier one; empty when there are none. 1.
int64_t URL_CombineQueries(const char* first, const char* second, char* out, int32_t capacity);
// Appends query unchanged after "?" (or "&" when the url already has a query), before the
// fragment. 0 (url unchanged) when the url does not normalise.
int64_t URL_AppendQuery(char* url, int32_t capacity, const char* query);
// Called with each name and its value (null for a name without "="); answer 0 to stop.
typedef int64_t (*URLSplitQueryCallback)(void* context, const char* name, const char* value);
// 1 when the text ran out, 0 when the callback stopped the split.
int64_t URL_SplitQuery(const char* query, void* context, URLSplitQueryCallback callback);

// ---- Percent-encoding ----------------------------------------------------------------------
// "%" and two hexadecimal digits become that byte; everything else is copied. out may be text.
int64_t URL_Decode(const char* text, int32_t length, char* out, int32_t capacity);
int64_t URL_DecodeString(const char* text, char* out, int32_t capacity);
// Keeps ASCII letters, digits and the bytes of kept (default "@*-_./:\" when null); every other
// byte becomes "%XX". Output of at most capacity - 2 bytes.
int64_t URL_Encode(const char* text, int32_t length, char* out, int32_t capacity, const char* kept);
int64_t URL_EncodeString(const char* text, char* out, int32_t capacity, const char* kept);
// Keeps letters, digits and "-_.~".
int64_t URL_EncodeRFC3986(const char* text, int32_t length, char* out, int32_t capacity);

// Macro key provider: "UrlParse" (part,url), "UrlDecode", "UrlEncode", "UrlQueryEncode",
// "UrlFix" and "UrlJoin" (base,reference); 1 for these names with an argument, else 0.
int64_t URL_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);
