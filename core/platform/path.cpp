// Path texts without file-system access: normalising, "~" expansion, splitting into directory,
// file name and extension, comparing, "file:" URL conversion and the path macro keys.
#include "core/platform/path.h"

#include <cerrno>
#include <cstring>

#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Separators and ':' (a volume prefix) end the directory part.
bool EndsDirectory(char c) {
    return c == '/' || c == '\\' || c == ':';
}

// Length of a text that must end within size bytes; size when it does not.
int32_t BoundedLength(const char* text, int32_t size) {
    const void* end = size > 0 ? memchr(text, 0, (size_t)size) : nullptr;
    return end ? (int32_t)(static_cast<const char*>(end) - text) : size;
}

// Copies length bytes and a terminator when they fit; else out is emptied and 0 answered, since
// a cut name or path would name something else.
int64_t CopyFitting(char* out, int32_t size, const char* text, int32_t length) {
    if (size < 1) return 0;
    if (length >= size) {
        out[0] = 0;
        return 0;
    }
    memmove(out, text, (size_t)length);
    out[length] = 0;
    return 1;
}

const char* FilenameStart(const char* path) {
    const char* start = path;
    for (const char* p = path; *p; p++)
        if (EndsDirectory(*p)) start = p + 1;
    return start;
}

bool IsDotDot(const char* text, int32_t length) {
    return length == 2 && text[0] == '.' && text[1] == '.';
}

} // namespace

int64_t Path_Fix(char* path, int32_t size, uint32_t flags) {
    ASSERT_POINTER(path);
    if (size < 2) return 0;
    int32_t length = BoundedLength(path, size);
    if (length >= size) length = size - 1;
    if (length == 0) return 1;
    const char separator = (flags & 0xFF) ? (char)(flags & 0xFF) : '/';

    int32_t read = 0;
    int32_t write = 0;
    int32_t floor = 0; // nothing below this output position is ever removed
    if (IsSeparator(path[0])) {
        path[write++] = separator;
        floor = 1;
        while (read < length && IsSeparator(path[read])) read++;
    }
    bool first = true;
    bool endsInSeparator = floor == 1;
    while (read < length) {
        const int32_t start = read;
        while (read < length && !IsSeparator(path[read])) read++;
        const int32_t componentLength = read - start;
        const bool followed = read < length; // separators follow this component
        while (read < length && IsSeparator(path[read])) read++;

        if (componentLength == 1 && path[start] == '.' && !(first && floor == 0)) {
            // A dropped "." leaves the text ending in the separator before it.
            endsInSeparator = write > 0 && path[write - 1] == separator;
        } else if (IsDotDot(path + start, componentLength)) {
            bool keep = false;
            if (write == floor) {
                keep = floor == 0; // ".." never climbs above the root
            } else {
                // The text written ends in the separator that followed the previous component.
                if (!IsSeparator(path[write - 1]))
                    Debug_AbortInt(
                        __FILE__, __LINE__,
                        "Assertion failed (Platform_IsPathSeparator(**PathEnd))\nUnexpected path end");
                int32_t previous = write - 1;
                while (previous > floor && path[previous - 1] != separator) previous--;
                const int32_t previousLength = write - 1 - previous;
                // A kept ".." and the kept leading "." are not names to remove: "./.." is the
                // parent, and folding it to "" would name the current directory instead.
                if (IsDotDot(path + previous, previousLength) || (previousLength == 1 && path[previous] == '.'))
                    keep = true;
                else
                    write = previous;
            }
            if (keep) {
                path[write++] = '.';
                path[write++] = '.';
                if (followed) path[write++] = separator;
                endsInSeparator = followed;
            } else {
                endsInSeparator = write > 0 && path[write - 1] == separator;
            }
        } else {
            memmove(path + write, path + start, (size_t)componentLength);
            write += componentLength;
            if (followed) path[write++] = separator;
            endsInSeparator = followed;
        }
        first = false;
    }
    path[write] = 0;

    if (write == 0) return 1; // a relative text that cancelled out stays empty
    if (endsInSeparator && (flags & PATH_FIX_NO_TRAILING) && write > floor) path[--write] = 0;
    if ((flags & PATH_FIX_TRAILING) && path[write - 1] != separator && write + 2 <= size) {
        path[write++] = separator;
        path[write] = 0;
    }
    return 1;
}

int64_t Path_FixSlash(char* path, int32_t size, uint32_t trailing) {
    return Path_Fix(path, size, trailing == 1 ? PATH_FIX_TRAILING : PATH_FIX_NO_TRAILING);
}

int64_t Path_Resolve(const char* path, char* out, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(out);
    if (size < 1) return 0;
    char home[PATH_LIST_SIZE] = {0};
    const char* rest = path;
    // A location whose folder had no value ("{userAppData}" left as it was, with an empty or
    // relative HOME) is not a name in the current folder: it is refused, never taken relative.
    // The expander judges which tokens name locations; other braces are part of a file's name.
    if (String_ExpandFindLocation(path, nullptr, 0)) {
        out[0] = 0;
        errno = EINVAL;
        return 0;
    }
    if (path[0] == '~') {
        // A home that cannot be named would leave the rest relative to the current folder.
        if (!Platform_GetSpecialPath(PLATFORM_PATH_USER_HOME, home, (int32_t)sizeof(home)) || home[0] != '/') {
            out[0] = 0;
            errno = ENOENT;
            return 0;
        }
        rest = path + 1;
        if (IsSeparator(*rest)) rest++;
    }
    const size_t homeLength = strlen(home);
    const size_t restLength = strlen(rest);
    // A trailing separator the caller wrote survives, "~/" included.
    const size_t pathLength = strlen(path);
    const bool trailing = pathLength > 0 && IsSeparator(path[pathLength - 1]);
    const uint32_t flags = trailing ? PATH_FIX_TRAILING : PATH_FIX_NO_TRAILING;
    if (homeLength + restLength + 1 > (size_t)size) {
        // Longer before it is normalised than the room: normalised apart, it may still fit
        // ("a/../b" names "b").
        char work[2 * PATH_LIST_SIZE];
        size_t fixedLength = sizeof(work);
        if (homeLength + restLength + 1 <= sizeof(work)) {
            memcpy(work, home, homeLength);
            memcpy(work + homeLength, rest, restLength + 1);
            Path_Fix(work, (int32_t)sizeof(work), flags);
            fixedLength = strlen(work);
        }
        if (fixedLength >= (size_t)size) {
            out[0] = 0;
            errno = ENAMETOOLONG;
            return 0;
        }
        memcpy(out, work, fixedLength + 1);
        return 1;
    }
    // out may be the caller's path buffer: move the rest first, then put the home before it.
    memmove(out + homeLength, rest, restLength + 1);
    memcpy(out, home, homeLength);
    Path_Fix(out, size, flags);
    return 1;
}

int64_t Path_ParseFilenamePtr(const char* path, const char** out) {
    ASSERT_POINTER(out);
    *out = nullptr;
    if (!path) return 0;
    *out = FilenameStart(path);
    return **out != 0;
}

int64_t Path_ParseFilename(const char* path, char* out, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(out);
    if (size > 0) out[0] = 0;
    const char* name = FilenameStart(path);
    if (!*name) return 0;
    return CopyFitting(out, size, name, (int32_t)strlen(name));
}

int64_t Path_ParseFilenameWithoutExtension(const char* path, char* out, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(out);
    if (size > 0) out[0] = 0;
    const char* name = FilenameStart(path);
    if (!*name) return 0;
    const char* extension = nullptr;
    int32_t length = (int32_t)strlen(name);
    if (Path_ParseExtensionPtr(name, 1, &extension)) length = (int32_t)(extension - name);
    return CopyFitting(out, size, name, length);
}

int64_t Path_ParseDirectory(const char* path, char* out, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(out);
    if (size > 0) out[0] = 0;
    return CopyFitting(out, size, path, (int32_t)(FilenameStart(path) - path));
}

int64_t Path_RemoveFilename(char* path) {
    ASSERT_POINTER(path);
    char* name = const_cast<char*>(FilenameStart(path));
    if (!*name) return 0;
    *name = 0;
    return 1;
}

int64_t Path_RemoveDirectory(char* path) {
    ASSERT_POINTER(path);
    const char* name = FilenameStart(path);
    if (!*name) return 0;
    memmove(path, name, strlen(name) + 1);
    return 1;
}

int64_t Path_ParseExtensionPtr(const char* path, int32_t withDot, const char** out) {
    if (!out) return 0;
    *out = nullptr;
    if (!path) return 0;
    const size_t length = strlen(path);
    for (size_t i = length; i > 0; i--) {
        const char c = path[i - 1];
        if (EndsDirectory(c)) return 0;
        if (c != '.') continue;
        if (i == length) return 0; // "file." has no extension
        *out = withDot ? path + i - 1 : path + i;
        return 1;
    }
    return 0;
}

int64_t Path_ParseExtension(const char* path, int32_t withDot, char* out, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(out);
    if (size > 0) out[0] = 0;
    const char* extension = nullptr;
    if (!Path_ParseExtensionPtr(path, withDot, &extension)) return size > 0 ? 1 : 0;
    return CopyFitting(out, size, extension, (int32_t)strlen(extension));
}

int64_t Path_RemoveExtension(char* path) {
    ASSERT_POINTER(path);
    const char* extension = nullptr;
    if (!Path_ParseExtensionPtr(path, 1, &extension)) return 0;
    path[extension - path] = 0;
    return 1;
}

int64_t Path_IsAbsolute(const char* path) {
    ASSERT_POINTER(path);
    return IsSeparator(path[0]) ? 1 : 0;
}

int64_t Path_Compare(const char* a, const char* b, int32_t flags) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    for (;; a++, b++) {
        char ca = *a;
        char cb = *b;
        if (IsSeparator(ca) && IsSeparator(cb)) continue;
        if (flags & 1) {
            if (ca >= 'A' && ca <= 'Z') ca = (char)(ca - 'A' + 'a');
            if (cb >= 'A' && cb <= 'Z') cb = (char)(cb - 'A' + 'a');
        }
        if (ca != cb) return 0;
        if (ca == 0) return 1;
    }
}

int64_t Path_ConvertToURL(const char* path, char* out, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(out);
    if (size < 1) return 0;
    out[0] = 0;
    const char* prefix = "file://";
    if (path[0] == '.')
        prefix = "file:";
    else if (!IsSeparator(path[0]))
        prefix = "file:./";
    else if (IsSeparator(path[1]) && path[0] == path[1])
        prefix = "file:"; // "//host/share": the host name follows
    const size_t prefixLength = strlen(prefix);
    const size_t pathLength = strlen(path);
    if (prefixLength + pathLength + 1 > (size_t)size) return 0;
    memcpy(out, prefix, prefixLength);
    memcpy(out + prefixLength, path, pathLength + 1);
    String_ReplaceChar('\\', '/', out);
    return 1;
}

int64_t Path_ConvertFromURL(const char* url, char* out, int32_t size) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    if (size > 0) out[0] = 0;
    if (!String_CompareBeginningWithoutCase(url, "file:")) return 0;
    const char* after = url + 5;
    if (after[0] == '/' && after[1] == '/') {
        if (after[2] == '/') {
            // "///" or more: one leading '/' before the rest.
            const char* rest = after;
            while (*rest == '/') rest++;
            if (size < 2) return 0;
            out[0] = '/';
            if (!CopyFitting(out + 1, size - 1, rest, (int32_t)strlen(rest))) {
                out[0] = 0;
                return 0;
            }
            return 1;
        }
        if (after[2] == 0) return 0;
        const char* path = after;
        if (String_CompareBeginningWithoutCase(after + 2, "localhost/")) path = after + 2 + 9;
        return CopyFitting(out, size, path, (int32_t)strlen(path));
    }
    if (after[0] == '.') return CopyFitting(out, size, after, (int32_t)strlen(after));
    return 0;
}

// ---- Macro keys ---------------------------------------------------------------------------------

namespace {

// "PathJoin": members appended with one '/' between them, then normalised.
int64_t ExpandJoin(const char* argument, char* value, int32_t capacity) {
    const int32_t count = String_CountChar(argument, ',') + 1;
    char member[PATH_LIST_SIZE];
    int32_t length = 0;
    for (int32_t i = 0; i < count; i++) {
        const int64_t fitted = String_ListGetMember(argument, ',', 0, i, member, (int32_t)sizeof(member));
        if (!fitted) {
            value[0] = 0; // a member over the limit: no half-joined path
            return 1;
        }
        const int32_t memberLength = (int32_t)strlen(member);
        const bool slash = i > 0 && !(length > 0 && value[length - 1] == '/');
        if (length + (slash ? 1 : 0) + memberLength + 1 > capacity) {
            value[0] = 0;
            return 1;
        }
        if (slash) value[length++] = '/';
        memcpy(value + length, member, (size_t)memberLength);
        length += memberLength;
        value[length] = 0;
    }
    if (length == 0) return 1;
    const bool trailing = IsSeparator(value[length - 1]);
    Path_Fix(value, capacity, trailing ? PATH_FIX_TRAILING : PATH_FIX_NO_TRAILING);
    return 1;
}

// "PathParse": part,path.
int64_t ExpandParse(const char* argument, char* value, int32_t capacity) {
    const char* comma = nullptr;
    if (!String_FindChar(argument, ',', &comma)) return 1;
    char part[64];
    if (!CopyFitting(part, (int32_t)sizeof(part), argument, (int32_t)(comma - argument))) return 1;
    const char* path = comma + 1;
    auto is = [&part](const char* name) { return String_CompareWithoutCase(part, name) != 0; };
    if (is("dir") || is("directory"))
        Path_ParseDirectory(path, value, capacity);
    else if (is("name") || is("filename"))
        Path_ParseFilename(path, value, capacity);
    else if (is("nameWithoutExtension") || is("filenameWithoutExtension") || is("title"))
        Path_ParseFilenameWithoutExtension(path, value, capacity);
    else if (is("extension"))
        Path_ParseExtension(path, 0, value, capacity);
    else if (is("extensionWithDot"))
        Path_ParseExtension(path, 1, value, capacity);
    return 1;
}

// "PathFix": path[,trailing], trailing a boolean that defaults to true.
int64_t ExpandFix(const char* argument, char* value, int32_t capacity) {
    const char* comma = nullptr;
    int64_t trailing = 1;
    int32_t length = (int32_t)strlen(argument);
    if (String_FindChar(argument, ',', &comma)) {
        length = (int32_t)(comma - argument);
        char flag[32];
        String_ListGetMember(argument, ',', 1, 1, flag, (int32_t)sizeof(flag));
        String_DecodeBoolean(flag, &trailing, 1);
    }
    if (!CopyFitting(value, capacity, argument, length)) return 1;
    Path_Fix(value, capacity, trailing ? PATH_FIX_TRAILING : PATH_FIX_NO_TRAILING);
    return 1;
}

} // namespace

int64_t Path_ExpandKey(void*, const char* name, char* argument, char* value, int32_t capacity) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    if (capacity < 1) return 0;
    value[0] = 0;
    if (String_CompareWithoutCase(name, "PathSlash")) {
        CopyFitting(value, capacity, "/", 1);
        return 1;
    }
    const bool known =
        String_CompareWithoutCase(name, "PathParse") || String_CompareWithoutCase(name, "PathFix") ||
        String_CompareWithoutCase(name, "PathJoin") || String_CompareWithoutCase(name, "PathToUrl") ||
        String_CompareWithoutCase(name, "PathFromUrl");
    if (!known || !argument) return 0;
    if (String_CompareWithoutCase(name, "PathParse")) return ExpandParse(argument, value, capacity);
    if (String_CompareWithoutCase(name, "PathFix")) return ExpandFix(argument, value, capacity);
    if (String_CompareWithoutCase(name, "PathJoin")) return ExpandJoin(argument, value, capacity);
    if (String_CompareWithoutCase(name, "PathToUrl")) {
        Path_ConvertToURL(argument, value, capacity);
        return 1;
    }
    Path_ConvertFromURL(argument, value, capacity);
    return 1;
}
