// Placeholder bodies until the reader lands.
#include "skin/localisation.h"

#include "core/runtime/dictionary.h"
int64_t L10N_Init() { return 0; }
int64_t L10N_Remove() { return 0; }
int64_t L10N_SetLoadCallback(void* /*user*/, L10NLoadCallback /*fn*/) { return 0; }
int64_t L10N_FileLoadCallback(void* /*user*/, const char* /*path*/, Dictionary* /*target*/) { return 0; }
int64_t L10N_GetLanguage(char* /*text*/, int32_t /*capacity*/) { return 0; }
int64_t L10N_GetCountry(char* /*text*/, int32_t /*capacity*/) { return 0; }
int64_t L10N_SetLanguage(const char* /*text*/) { return 0; }
int64_t L10N_SetCountry(const char* /*text*/) { return 0; }
int64_t L10N_LocalizeString(char* /*text*/, int32_t /*capacity*/) { return 0; }
int64_t L10N_MessageBoxOverride(void* /*window*/, const char* /*text*/, const char* /*caption*/, uint32_t /*type*/) { return 0; }
