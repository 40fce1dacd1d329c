// L10N: message keys turned into texts in the user's language, from the skin's locale files
// "locale/<name>.json", each loaded on first use.
#pragma once

#include <cstdint>

struct Dictionary;
struct Stream;

// Fills the locale's dictionary from the file at path (members merged, later ones replacing
// earlier ones); the answer says whether a source was there to ask.
typedef int64_t (*L10NLoadCallback)(void* user, const char* path, Dictionary* target);

// Creates the locale dictionary and installs L10N_FileLoadCallback. 1.
int64_t L10N_Init();
// Releases the dictionary. 1.
int64_t L10N_Remove();
// Replaces the loader (null restores L10N_FileLoadCallback). 1.
int64_t L10N_SetLoadCallback(void* user, L10NLoadCallback fn);
// Merges a locale file read from the stream into target: 1 when it is a JSON object whose
// members are all texts; otherwise 0 and target is left as it was. Shared by the loaders.
int64_t L10N_LoadLocaleStream(Stream* stream, Dictionary* target);
// The default loader: the path as a file on disk. 1 when it loaded.
int64_t L10N_FileLoadCallback(void* user, const char* path, Dictionary* target);

// The override when set (1); otherwise the system's value, re-read at most every 5 seconds, with
// the platform's result.
int64_t L10N_GetLanguage(char* text, int32_t capacity);
int64_t L10N_GetCountry(char* text, int32_t capacity);
// "xx-YY" sets language and country (at most 3 characters each); "xx" sets the language and
// clears the country override.
int64_t L10N_SetLanguage(const char* text);
// "xx-YY" sets both as above; "YY" sets only the country.
int64_t L10N_SetCountry(const char* text);

// Replaces the key in text by its localised text (escapes and HTML entities decoded); 1 when
// found. Otherwise 0 and the text still holds the key.
int64_t L10N_LocalizeString(char* text, int32_t capacity);
// Localises caption and text (each when given) and shows the default message box; its button id.
int64_t L10N_MessageBoxOverride(void* window, const char* text, const char* caption, uint32_t type);
