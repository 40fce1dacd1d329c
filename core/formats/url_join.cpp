// URL normalisation (separators, spaces, dot segments, a missing scheme), resolving a reference
// against a base, and the query helpers: splitting, parameter look-up, merging and appending.
#include <cstring>
#include <string_view>

#include "core/formats/url.h"
#include "core/formats/url_internal.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

using namespace url_detail;

namespace {

// count work buffers of kWorkSize bytes on the heap, each starting empty. The rebuilding
// functions nest (URL_Join calls URL_Fix and URL_JoinQuery), which would put several dozen
// kilobytes on the stack of whatever thread calls them.
class WorkBuffers {
  public:
    explicit WorkBuffers(int32_t count) : count_(count) {
        block_ = static_cast<char*>(Memory_Alloc(count * kWorkSize));
        for (int32_t i = 0; i < count; i++) block_[i * kWorkSize] = 0;
    }
    ~WorkBuffers() { Memory_Free(block_, count_ * kWorkSize); }
    WorkBuffers(const WorkBuffers&) = delete;
    WorkBuffers& operator=(const WorkBuffers&) = delete;
    char* operator[](int32_t i) const { return block_ + i * kWorkSize; }

  private:
    char* block_;
    int32_t count_;
};

// Writes pieces into a caller buffer, cutting at capacity - 1 and keeping it terminated.
struct Appender {
    char* Out;
    int32_t Capacity;
    int32_t Used = 0;
    Appender(char* out, int32_t capacity) : Out(out), Capacity(capacity) {
        if (Capacity >= 1) Out[0] = 0;
    }
    void Append(std::string_view text) {
        if (Capacity < 1) return;
        size_t room = (size_t)(Capacity - 1 - Used);
        size_t n = text.size() < room ? text.size() : room;
        if (n > 0) memcpy(Out + Used, text.data(), n);
        Used += (int32_t)n;
        Out[Used] = 0;
    }
};

void CutAtLast(char* text, char c) {
    char* p = strrchr(text, c);
    if (p) *p = 0;
}

bool IsDriveComponent(const char* s, size_t length) {
    return length == 2 && IsAsciiLetter(s[0]) && s[1] == ':';
}

// Folds "." and ".." segments of s[0, n) in place, writing "/" for every run of separators;
// answers the new length. Never longer than the input, so it works on the text itself.
// A leading separator or drive ("C:") is a root that ".." never climbs above. In a relative text,
// ".." with nothing left to remove stays, and so does a leading ".".
size_t FoldDotSegments(char* s, size_t n) {
    size_t in = 0, out = 0;
    bool absolute = n > 0 && IsSeparator(s[0]);
    if (absolute) {
        s[out++] = '/';
        while (in < n && IsSeparator(s[in])) in++;
    }
    size_t floor = out; // output before this is never removed
    bool rooted = absolute;
    bool first = true;
    while (in < n) {
        size_t start = in;
        while (in < n && !IsSeparator(s[in])) in++;
        size_t length = in - start;
        bool separatorAfter = in < n;
        while (in < n && IsSeparator(s[in])) in++;
        bool leading = first && !absolute;
        first = false;
        bool fixed = false;
        if (length == 1 && s[start] == '.') {
            if (!leading) continue;
            fixed = true;
        } else if (length == 2 && s[start] == '.' && s[start + 1] == '.') {
            if (out > floor) {
                // The output ends with "component/": go back to just after the separator before it.
                size_t k = out - 1;
                while (k > floor && s[k - 1] != '/') k--;
                out = k;
                continue;
            }
            if (rooted) continue;
            fixed = true;
        } else if (leading && IsDriveComponent(s + start, length)) {
            fixed = true;
            rooted = true; // "C:/.." stays "C:/"
        }
        memmove(s + out, s + start, length);
        out += length;
        if (separatorAfter) s[out++] = '/';
        if (fixed) floor = out;
    }
    return out;
}

// Dot folding of URL_FixRelativePath, shared with the internal variant of URL_FixPath.
int64_t FixPathInternal(const char* url, int32_t spacesAsPlus, char* out, int32_t capacity, bool foldDots) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    if (capacity < 1) return 0;
    out[0] = 0;
    if (url[0] == 0 || capacity == 1) return 1;
    FixSeparators(url, spacesAsPlus, out, capacity);
    return foldDots ? URL_FixRelativePath(out, capacity) : 1;
}

// ---- Query list ----------------------------------------------------------------------------

constexpr int32_t kBucketCount = 256;

struct URLQueryEntry {
    char* Name;
    int32_t NameCapacity;
    char* Value; // null for a name without "="
    int32_t ValueCapacity;
    URLQueryEntry* Next;
    URLQueryEntry* Previous;
    URLQueryEntry* BucketNext; // index by folded name, so long queries merge in linear time
};

struct URLQueryList {
    URLQueryEntry* First;
    URLQueryEntry* Last;
    int32_t Count;
    URLQueryEntry* Buckets[kBucketCount];
};

uint32_t FoldedHash(const char* text) {
    uint32_t h = 2166136261u;
    for (; *text; text++) h = (h ^ (uint8_t)FoldCase(*text)) * 16777619u;
    return h;
}

char* CopyText(const char* text, int32_t* capacity) {
    size_t n = strlen(text);
    *capacity = (int32_t)n + 1;
    char* copy = static_cast<char*>(Memory_Alloc(*capacity));
    memcpy(copy, text, n + 1);
    return copy;
}

int64_t URL_JoinQuerySplitCallback(void* context, const char* name, const char* value) {
    URLQueryList* list = static_cast<URLQueryList*>(context);
    URLQueryEntry** bucket = &list->Buckets[FoldedHash(name) % kBucketCount];
    URLQueryEntry* entry = *bucket;
    while (entry && !EqualNoCase(entry->Name, name)) entry = entry->BucketNext;
    if (entry) {
        if (entry->Value) Memory_Free(entry->Value, entry->ValueCapacity);
        entry->Value = nullptr;
        entry->ValueCapacity = 0;
    } else {
        entry = static_cast<URLQueryEntry*>(Memory_AllocZero(sizeof(URLQueryEntry)));
        entry->Name = CopyText(name, &entry->NameCapacity);
        entry->Previous = list->Last;
        if (list->Last)
            list->Last->Next = entry;
        else
            list->First = entry;
        list->Last = entry;
        entry->BucketNext = *bucket;
        *bucket = entry;
        list->Count++;
    }
    if (value) entry->Value = CopyText(value, &entry->ValueCapacity);
    return 1;
}

void FreeQueryList(URLQueryList* list) {
    for (URLQueryEntry* entry = list->First; entry;) {
        URLQueryEntry* next = entry->Next;
        Memory_Free(entry->Name, entry->NameCapacity);
        if (entry->Value) Memory_Free(entry->Value, entry->ValueCapacity);
        Memory_Free(entry, sizeof(URLQueryEntry));
        entry = next;
    }
    Memory_Free(list, sizeof(URLQueryList));
}

// ---- Query split ---------------------------------------------------------------------------

int64_t SplitQueryText(std::string_view text, void* context, URLSplitQueryCallback callback) {
    WorkBuffers buffers(2);
    char* name = buffers[0];
    char* value = buffers[1];
    size_t i = 0;
    while (true) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '&' || text[i] == '?')) i++;
        if (i >= text.size()) return 1;
        std::string_view rest = text.substr(i);
        // The name runs to the next "=" wherever it is, so "flag&x=1" is one name.
        size_t eq = rest.find('=');
        std::string_view nameText = rest.substr(0, eq);
        if (nameText.empty()) return 1;
        CopyCut(name, kWorkSize, nameText);
        const char* valueArgument = nullptr;
        if (eq != std::string_view::npos) {
            size_t j = eq;
            while (j < rest.size() && (rest[j] == '=' || rest[j] == ' ')) j++;
            size_t end = rest.find('&', j);
            if (end == std::string_view::npos) end = rest.size();
            CopyCut(value, kWorkSize, rest.substr(j, end - j));
            CutAtLast(value, '#');
            valueArgument = value;
            i += end;
        } else {
            i = text.size();
        }
        if (!callback(context, name, valueArgument)) return 0;
    }
}

struct QueryParamSearch {
    const char* Name;
    char* Out;
    int32_t Capacity;
    bool Found;
};

int64_t URL_ParseQueryParamCallback(void* context, const char* name, const char* value) {
    QueryParamSearch* search = static_cast<QueryParamSearch*>(context);
    if (!EqualNoCase(name, search->Name)) return 1;
    CopyCut(search->Out, search->Capacity, value ? value : "");
    search->Found = true;
    return 0;
}

void TrimBlanks(std::string_view* text) {
    auto blank = [](char c) { return c == ' ' || c == '\r' || c == '\n'; };
    while (!text->empty() && blank(text->front())) text->remove_prefix(1);
    while (!text->empty() && blank(text->back())) text->remove_suffix(1);
}

} // namespace

// ---- Normalising ---------------------------------------------------------------------------

void url_detail::FixSeparators(const char* url, int32_t spacesAsPlus, char* out, int32_t capacity) {
    // In "file" URLs the separators right after "file:" are the authority's and stay as written.
    bool file = URL_CompareProtocol(url, "file");
    bool active = !file;
    bool sawColon = false;
    bool ended = false; // query and fragment are copied unchanged
    int32_t o = 0;
    for (const char* s = url; *s && capacity - o >= 3; s++) {
        char c = *s;
        if (c == '#' || c == '?') ended = true;
        if (!active && sawColon && !IsSeparator(c)) active = true;
        if (c == ':') sawColon = true;
        if (c == ' ') {
            if (spacesAsPlus) {
                out[o++] = '+';
            } else {
                if (capacity - o < 4) break; // "%20" and the terminator
                memcpy(out + o, "%20", 3);
                o += 3;
            }
            continue;
        }
        if (active && !ended && IsSeparator(c)) {
            // A separator right after a written "/" is dropped, except behind ":" ("://").
            if (o > 0 && out[o - 1] == '/' && !(o >= 2 && out[o - 2] == ':')) continue;
            out[o++] = '/';
            continue;
        }
        out[o++] = c;
    }
    out[o] = 0;
}

int64_t URL_FixRelativePath(char* url, int32_t capacity) {
    ASSERT_POINTER(url);
    const char* pathPointer = nullptr;
    if (!URL_ParsePathPtr(url, &pathPointer)) return 1;
    size_t offset = (size_t)(pathPointer - url);
    if ((int64_t)capacity - (int64_t)offset < 2) return 0;
    char* path = url + offset;
    // Query and fragment are set aside at the first "?" or "#", so that a "/../" inside them is
    // never folded.
    size_t length = strcspn(path, "?#");
    size_t folded = FoldDotSegments(path, length);
    memmove(path + folded, path + length, strlen(path + length) + 1);
    return 1;
}

int64_t URL_FixPath(const char* url, int32_t spacesAsPlus, char* out, int32_t capacity) {
    return FixPathInternal(url, spacesAsPlus, out, capacity, true);
}

int64_t URL_Fix(const char* in, int32_t spacesAsPlus, char* out, int32_t capacity) {
    ASSERT_POINTER(in);
    ASSERT_POINTER(out);
    // Blanks and line ends around the text are dropped before anything else, so that they are
    // neither encoded as "%20" nor taken for part of the scheme or host.
    std::string_view text(in);
    TrimBlanks(&text);
    if (text.empty() || BeginsNoCase(text, "javascript:") || BeginsNoCase(text, "mailto:")) {
        if (capacity >= 1) out[0] = 0;
        return 0;
    }
    WorkBuffers buffers(2);
    char* source = buffers[0];
    char* work = buffers[1];
    CopyCut(source, kWorkSize, text); // read before out is touched: out may be in
    if (capacity >= 1) out[0] = 0;
    int32_t prefix = 0;
    if (!strstr(source, "://")) {
        uint32_t port = 0;
        URL_ParsePort(source, &port);
        if (port == 0) port = 80;
        CopyCut(work, kWorkSize, URL_TranslatePort(port));
        AppendCut(work, kWorkSize, "://");
        prefix = (int32_t)strlen(work);
    }
    URL_FixPath(source, spacesAsPlus, work + prefix, kWorkSize - prefix);
    std::string_view result(work);
    TrimBlanks(&result);
    if (result.empty()) return 0;
    CopyCut(out, capacity, result);
    return 1;
}

// ---- Joining -------------------------------------------------------------------------------

int64_t URL_Join(const char* base, const char* reference, char* out, int32_t capacity) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(reference);
    ASSERT_POINTER(out);
    WorkBuffers buffers(4);
    char* a = buffers[0];
    char* b = buffers[1];
    char* q = buffers[2];
    char* fragment = buffers[3];
    URL_Fix(base, 0, a, kWorkSize);
    bool absolute = strstr(reference, "://") != nullptr;
    // A relative reference is not dot-folded on its own: its first segment would be read as a
    // host, and "../../c" would lose a level. The joined URL is folded as a whole at the end.
    FixPathInternal(reference, 0, b, kWorkSize, absolute);
    if (capacity >= 1) out[0] = 0; // only now: out may be base or reference
    if (absolute) {
        CopyCut(out, capacity, b);
        return 1;
    }

    const char* p = nullptr;
    if (URL_ParseFragmentPtr(b, &p) || URL_ParseFragmentPtr(a, &p)) CopyCut(fragment, kWorkSize, p);

    if (URL_ParseQueryPtr(a, &p)) {
        while (*p == '?') p++;
        CopyCut(q, kWorkSize, p);
        CutAtLast(q, '#');
    }
    URL_RemoveQuery(a);
    CutAtLast(a, '#');

    if (URL_ParseQueryPtr(b, &p)) {
        while (*p == '?') p++;
        if (*p && *p != '#') {
            if (q[0]) AppendCut(q, kWorkSize, "&");
            AppendCut(q, kWorkSize, p);
        }
        CutAtLast(q, '#');
    }
    URL_RemoveQuery(b);
    CutAtLast(b, '#');

    if (b[0]) {
        bool hasPath = URL_ParsePathPtr(a, &p);
        if (IsSeparator(b[0])) {
            if (hasPath) a[p - a] = 0;
        } else if (hasPath) {
            URL_RemoveFilename(a);
        } else {
            AppendCut(a, kWorkSize, "/"); // "http://host" and "x.html"
        }
        AppendCut(a, kWorkSize, b);
    }
    if (q[0]) URL_JoinQuery(a, kWorkSize, q);
    AppendCut(a, kWorkSize, fragment);
    return URL_Fix(a, 0, out, capacity);
}

int64_t URL_JoinQuery(char* url, int32_t capacity, const char* query) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(query);
    WorkBuffers buffers(3);
    char* a = buffers[0];
    char* own = buffers[1];
    char* fragment = buffers[2];
    if (!URL_Fix(url, 0, a, kWorkSize)) return 0;
    URL_ParseQuery(a, own, kWorkSize);
    const char* p = nullptr;
    if (URL_ParseFragmentPtr(a, &p)) CopyCut(fragment, kWorkSize, p);
    URL_RemoveQuery(a);
    URL_RemoveFragment(a);
    // The merged query goes before the fragment; behind it, it would be fragment text.
    size_t used = strlen(a);
    URL_CombineQueries(own, query, a + used, kWorkSize - (int32_t)used);
    AppendCut(a, kWorkSize, fragment);
    CopyCut(url, capacity, a);
    return 1;
}

int64_t URL_CombineQueries(const char* first, const char* second, char* out, int32_t capacity) {
    ASSERT_POINTER(first);
    ASSERT_POINTER(second);
    ASSERT_POINTER(out);
    URLQueryList* list = static_cast<URLQueryList*>(Memory_AllocZero(sizeof(URLQueryList)));
    URL_SplitQuery(first, list, URL_JoinQuerySplitCallback);
    URL_SplitQuery(second, list, URL_JoinQuerySplitCallback);
    Appender text(out, capacity); // after the split: out may be one of the queries
    if (list->Count > 0) text.Append("?");
    for (URLQueryEntry* entry = list->First; entry; entry = entry->Next) {
        if (entry != list->First) text.Append("&");
        text.Append(entry->Name);
        if (entry->Value) {
            text.Append("=");
            text.Append(entry->Value);
        }
    }
    FreeQueryList(list);
    return 1;
}

int64_t URL_AppendQuery(char* url, int32_t capacity, const char* query) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(query);
    WorkBuffers buffers(2);
    char* a = buffers[0];
    char* fragment = buffers[1];
    if (!URL_Fix(url, 0, a, kWorkSize)) return 0;
    if (query[0]) {
        const char* p = nullptr;
        if (URL_ParseFragmentPtr(a, &p)) CopyCut(fragment, kWorkSize, p);
        URL_RemoveFragment(a);
        const char* text = query[0] == '&' ? query + 1 : query;
        if (URL_ParseQueryPtr(a, &p)) {
            // A second "?" would become part of the last value: join with "&" instead.
            if (text[0] == '?') text++;
            if (text[0]) {
                AppendCut(a, kWorkSize, "&");
                AppendCut(a, kWorkSize, text);
            }
        } else {
            if (text[0] != '?') AppendCut(a, kWorkSize, "?");
            AppendCut(a, kWorkSize, text);
        }
        AppendCut(a, kWorkSize, fragment);
    }
    CopyCut(url, capacity, a);
    return 1;
}

int64_t URL_SplitQuery(const char* query, void* context, URLSplitQueryCallback callback) {
    ASSERT_POINTER(query);
    ASSERT_POINTER(callback);
    return SplitQueryText(query, context, callback);
}

int64_t URL_ParseQueryParam(const char* url, const char* name, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(name);
    ASSERT_POINTER(out);
    if (capacity >= 1) out[0] = 0;
    const char* query = nullptr;
    if (!URL_ParseQueryPtr(url, &query)) return 0;
    const char* hash = strrchr(query, '#');
    QueryParamSearch search{name, out, capacity, false};
    SplitQueryText(std::string_view(query, hash ? (size_t)(hash - query) : strlen(query)), &search,
                   URL_ParseQueryParamCallback);
    return search.Found ? 1 : 0;
}
