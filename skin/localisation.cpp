// L10N: message keys looked up in the locale files of the user's language and country, then in
// the English ones; each locale is loaded once, on the first lookup that needs it, through a
// replaceable loader, and a key found nowhere stays as it is.
#include "skin/localisation.h"

#include <cstdio>
#include <cstring>

#include "core/formats/json.h"
#include "core/linux/gui/native_ui.h"
#include "core/linux/platform_system.h"
#include "core/platform/file.h"
#include "core/platform/stream.h"
#include "core/runtime/callback.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "core/runtime/unicode.h"

namespace {

constexpr int32_t kCodeSize = 4;   // up to 3 characters and the terminator
constexpr int32_t kSystemSize = 16;
constexpr double kSystemRereadSeconds = 5;
constexpr int32_t kPathSize = 320;
constexpr int32_t kDecodedSize = 1024;
constexpr int32_t kCaptionSize = 1024;
constexpr int32_t kTextSize = 4096;

struct SystemValue {
    char Text[kSystemSize];
    double NextRead;
    int64_t Result;
};

struct L10NModule {
    Dictionary* Locales;
    char Language[kCodeSize];
    char Country[kCodeSize];
    CallbackBase Load;
    SystemValue SystemLanguage;
    SystemValue SystemCountry;
};

L10NModule GlobalL10N;

int64_t CopyOut(const char* text, char* out, int32_t capacity) {
    if (capacity > 0) String_CopyLength(out, text, capacity);
    return 1;
}

int64_t GetValue(const char* override, SystemValue* value, int64_t (*read)(char*, int32_t), char* out,
                 int32_t capacity) {
    ASSERT_POINTER(out);
    if (capacity > 0) out[0] = 0;
    if (override[0]) return CopyOut(override, out, capacity);
    const double now = Time_GetCurrent();
    if (!value->NextRead || now >= value->NextRead) {
        value->Result = read(value->Text, kSystemSize);
        value->NextRead = now + kSystemRereadSeconds;
    }
    CopyOut(value->Text, out, capacity);
    return value->Result;
}

// At most 3 characters of [text, end).
void SetCode(char* code, const char* text, size_t length) {
    if (length > (size_t)kCodeSize - 1) length = kCodeSize - 1;
    memcpy(code, text, length);
    code[length] = 0;
}

void SetBoth(const char* text, const char* dash) {
    SetCode(GlobalL10N.Language, text, (size_t)(dash - text));
    SetCode(GlobalL10N.Country, dash + 1, strlen(dash + 1));
}

void Lower(char* text) {
    for (; *text; text++)
        if (*text >= 'A' && *text <= 'Z') *text = (char)(*text - 'A' + 'a');
}

// A locale name becomes part of a file name: only letters, digits, '-' and '_' may, and none is
// empty, so that a language set from script cannot name another file.
bool UsableName(const char* name) {
    if (!name[0]) return false;
    for (const char* at = name; *at; at++) {
        const char c = *at;
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
    }
    return true;
}

// The locale's dictionary, loaded on the first call for its name.
Dictionary* Locale(const char* name) {
    Dictionary* locale = nullptr;
    if (Dictionary_GetDictionaryByKey(GlobalL10N.Locales, name, &locale)) return locale;
    Dictionary_AddDictionary(GlobalL10N.Locales, name, &locale, nullptr);
    char path[kPathSize];
    snprintf(path, sizeof(path), "locale/%s.json", name);
    void* user = nullptr;
    L10NLoadCallback load = nullptr;
    if (CallbackBase_Get(&GlobalL10N.Load, &user, &load) && load) load(user, path, locale);
    return locale;
}

} // namespace

int64_t L10N_LoadLocaleStream(Stream* stream, Dictionary* target) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(target);
    Dictionary* parsed = nullptr;
    Dictionary_Create(&parsed);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, parsed);
    const int64_t loaded = JSON_LoadStream(json, stream);
    JSON_Delete(&json);
    // Only an object whose members are all texts is taken, so that a wrong file leaves the
    // locale as it was.
    DictionaryItem* rootItem = nullptr;
    uint32_t count = 0, type = 0;
    Dictionary* members = nullptr;
    bool good = loaded && Dictionary_ItemGetCount(parsed, &count) && count == 1 &&
                Dictionary_ItemGetFirst(parsed, &rootItem) && Dictionary_ItemGetType(parsed, rootItem, &type) &&
                type == DICTIONARY_TYPE_DICTIONARY && Dictionary_GetDictionaryByIndex(parsed, 0, &members);
    DictionaryItem* item = nullptr;
    for (bool more = good && Dictionary_ItemGetFirst(members, &item); good && more;
         more = Dictionary_ItemGetNext(members, item, &item)) {
        good = Dictionary_ItemGetType(members, item, &type) && type == DICTIONARY_TYPE_STRING;
    }
    if (good) {
        for (bool more = Dictionary_ItemGetFirst(members, &item); more;
             more = Dictionary_ItemGetNext(members, item, &item)) {
            const char* key = nullptr;
            const char* text = nullptr;
            Dictionary_ItemGetKeyPtr(members, item, &key);
            Dictionary_ItemGetStringPtr(members, item, &text);
            Dictionary_SetStringByKey(target, key ? key : "", text ? text : "");
        }
    }
    Dictionary_Release(&parsed);
    return good ? 1 : 0;
}

int64_t L10N_FileLoadCallback(void* user, const char* path, Dictionary* target) {
    (void)user;
    ASSERT_POINTER(path);
    ASSERT_POINTER(target);
    File* file = nullptr;
    File_Create(&file);
    // One attempt: a locale file that does not open now is left out, not waited for.
    File_SetRetries(file, 1);
    int64_t result = 0;
    if (File_Open(file, path, FILE_READ | FILE_QUIET)) {
        Stream* stream = nullptr;
        File_GetStreamHandle(file, &stream);
        result = L10N_LoadLocaleStream(stream, target);
    }
    File_Release(&file);
    return result;
}

int64_t L10N_Init() {
    if (!GlobalL10N.Locales) Dictionary_Create(&GlobalL10N.Locales);
    CallbackBase_Set(&GlobalL10N.Load, 0, nullptr, &L10N_FileLoadCallback);
    return 1;
}

int64_t L10N_Remove() {
    if (GlobalL10N.Locales) Dictionary_Release(&GlobalL10N.Locales);
    GlobalL10N.Locales = nullptr;
    CallbackBase_ResetReal(&GlobalL10N.Load);
    GlobalL10N.Language[0] = 0;
    GlobalL10N.Country[0] = 0;
    GlobalL10N.SystemLanguage = {};
    GlobalL10N.SystemCountry = {};
    return 1;
}

int64_t L10N_SetLoadCallback(void* user, L10NLoadCallback fn) {
    if (!fn) return CallbackBase_Set(&GlobalL10N.Load, 0, nullptr, &L10N_FileLoadCallback);
    return CallbackBase_Set(&GlobalL10N.Load, 0, user, fn);
}

int64_t L10N_GetLanguage(char* text, int32_t capacity) {
    return GetValue(GlobalL10N.Language, &GlobalL10N.SystemLanguage, Platform_GetUserLang, text, capacity);
}

int64_t L10N_GetCountry(char* text, int32_t capacity) {
    return GetValue(GlobalL10N.Country, &GlobalL10N.SystemCountry, Platform_GetUserCountry, text, capacity);
}

int64_t L10N_SetLanguage(const char* text) {
    ASSERT_POINTER(text);
    if (const char* dash = strchr(text, '-')) {
        SetBoth(text, dash);
    } else {
        SetCode(GlobalL10N.Language, text, strlen(text));
        GlobalL10N.Country[0] = 0;
    }
    return 1;
}

int64_t L10N_SetCountry(const char* text) {
    ASSERT_POINTER(text);
    if (const char* dash = strchr(text, '-')) SetBoth(text, dash);
    else SetCode(GlobalL10N.Country, text, strlen(text));
    return 1;
}

int64_t L10N_LocalizeString(char* text, int32_t capacity) {
    ASSERT_POINTER(text);
    if (!GlobalL10N.Locales || capacity < 1) return 0;
    char language[kSystemSize], country[kSystemSize], both[2 * kSystemSize + 1];
    L10N_GetLanguage(language, sizeof(language));
    L10N_GetCountry(country, sizeof(country));
    Lower(language);
    Lower(country);
    snprintf(both, sizeof(both), "%s-%s", language, country);
    const char* names[] = {language[0] && country[0] ? both : "", language, country, "en-us", "en", "us"};
    for (const char* name : names) {
        if (!UsableName(name)) continue;
        const char* found = nullptr;
        if (!Dictionary_GetStringPtrByKey(Locale(name), text, &found) || !found) continue;
        char decoded[kDecodedSize];
        StringUtf8_DecodeString(found, decoded, sizeof(decoded));
        StringUtf8_DecodeHtml(decoded, text, capacity);
        return 1;
    }
    Log_Debug("Failed to localize (%s)\n", text);
    return 0;
}

int64_t L10N_MessageBoxOverride(void* window, const char* text, const char* caption, uint32_t type) {
    char captionCopy[kCaptionSize] = "";
    char textCopy[kTextSize] = "";
    if (caption) {
        String_CopyLength(captionCopy, caption, sizeof(captionCopy));
        L10N_LocalizeString(captionCopy, sizeof(captionCopy));
    }
    if (text) {
        String_CopyLength(textCopy, text, sizeof(textCopy));
        L10N_LocalizeString(textCopy, sizeof(textCopy));
    }
    return NativeWindow_MessageBoxDefault(window, text ? textCopy : nullptr, caption ? captionCopy : nullptr, type);
}
