// The keys the program reads from a skin's app.yaml (the engine configuration) and from a window
// configuration such as main.json, in one list: the readers name them from here (a reader given a
// string literal fails the docs test), and the skin guide's tables are checked against the list both ways.
#pragma once

#include <cstdint>

enum AppConfigFile : uint32_t { APPCONFIG_FILE_APP = 1, APPCONFIG_FILE_WINDOW = 2 };

struct AppConfigKey {
    const char* Name; // the dotted path, as a reader passes it
    AppConfigFile File;
};

// ---- app.yaml ----

inline constexpr char kAppConfigName[] = "name";
inline constexpr char kAppConfigStartupWindowConfig[] = "startupWindowConfig";
inline constexpr char kAppConfigSelfUpdateWorkflow[] = "selfUpdateWorkflow";
inline constexpr char kAppConfigAllowMultipleInstances[] = "allowMultipleInstances";
inline constexpr char kAppConfigKillOtherInstances[] = "killOtherInstances";
inline constexpr char kAppConfigSingleInstanceTimeout[] = "singleInstanceTimeout";
inline constexpr char kAppConfigWebServerListenPort[] = "webServerListenPort";
inline constexpr char kAppConfigWebServerExternalPaths[] = "webServer.externalPaths";
inline constexpr char kAppConfigRequiresElevated[] = "requiresElevated";
inline constexpr char kAppConfigRequiresDataStore[] = "requiresDataStore";
inline constexpr char kAppConfigDataStorePublicKey[] = "dataStorePublicKey";
inline constexpr char kAppConfigMacros[] = "macros";
inline constexpr char kAppConfigLocalStorage[] = "localStorage";
inline constexpr char kAppConfigRegistryWhitelistReadOnly[] = "registryWhitelist.readOnly";
inline constexpr char kAppConfigRegistryWhitelistReadWrite[] = "registryWhitelist.readWrite";
inline constexpr char kAppConfigHostnameWhitelist[] = "hostnameWhitelist";
inline constexpr char kAppConfigAnalyticsEnabled[] = "analytics.enabled";
inline constexpr char kAppConfigAnalyticsCrashDump[] = "analytics.crashDump";
inline constexpr char kAppConfigAnalyticsKey[] = "analytics.key";
inline constexpr char kAppConfigAnalyticsEndPoint[] = "analytics.endPoint";
inline constexpr char kAppConfigAnalyticsSendInterval[] = "analytics.sendInterval";
inline constexpr char kAppConfigAnalyticsMaxEvents[] = "analytics.maxEvents";
inline constexpr char kAppConfigAnalyticsMaxSendEvents[] = "analytics.maxSendEvents";
inline constexpr char kAppConfigAnalyticsSendWebGetXCache[] = "analytics.sendWebGetXCache";
inline constexpr char kAppConfigKeyStores[] = "keyStores";
inline constexpr char kAppConfigThumbprintStores[] = "thumbprintStores";
inline constexpr char kAppConfigCertificateStoresApp[] = "certificateStores.app";
inline constexpr char kAppConfigCertificateStoresDataStore[] = "certificateStores.dataStore";
inline constexpr char kAppConfigCertificateStoresInterop[] = "certificateStores.interop";
inline constexpr char kAppConfigCertificateStoresWebGet[] = "certificateStores.webGet";
inline constexpr char kAppConfigWebGetTimeout[] = "webGet.timeout";
inline constexpr char kAppConfigWebGetRedirect[] = "webGet.redirect";
inline constexpr char kAppConfigWebGetUserAgent[] = "webGet.userAgent";
inline constexpr char kAppConfigWebGetMacros[] = "webGet.macros";
inline constexpr char kAppConfigWebGetPoolMaxHosts[] = "webGetPool.maxHosts";
inline constexpr char kAppConfigWebGetPoolMaxHostConnections[] = "webGetPool.maxHostConnections";
inline constexpr char kAppConfigTls1Cipher[] = "tls1.cipher";
inline constexpr char kAppConfigTls1VersionMin[] = "tls1.versionMin";
inline constexpr char kAppConfigTls1VersionMax[] = "tls1.versionMax";
inline constexpr char kAppConfigAliasUrl[] = "alias.url";
inline constexpr char kAppConfigAliasLimitSize[] = "alias.limitSize";
inline constexpr char kAppConfigAliasWebGetCacheMinAge[] = "alias.webGetCacheMinAge";
inline constexpr char kAppConfigCatalogUrl[] = "catalog.url";
inline constexpr char kAppConfigCatalogLimitSize[] = "catalog.limitSize";
inline constexpr char kAppConfigMetafileLimitSize[] = "metafile.limitSize";
inline constexpr char kAppConfigWorkflowWebGetCacheMinAge[] = "workflow.webGetCacheMinAge";
inline constexpr char kAppConfigStorageRequests[] = "storage.requests";
inline constexpr char kAppConfigStorageDeltaFormat[] = "storage.deltaFormat";
inline constexpr char kAppConfigStoragePieceFormat[] = "storage.pieceFormat";
inline constexpr char kAppConfigStoragePartialExtension[] = "storage.partialExtension";
inline constexpr char kAppConfigStorageFileCompletes[] = "storage.fileCompletes";
inline constexpr char kAppConfigStorageLockDirectory[] = "storage.lockDirectory";
inline constexpr char kAppConfigStorageDeltaCacheSize[] = "storage.deltaCacheSize";
inline constexpr char kAppConfigStorageSkipTimestamp[] = "storage.skipTimestamp";
inline constexpr char kAppConfigStorageSkipAttributes[] = "storage.skipAttributes";
inline constexpr char kAppConfigStorageSelfUpdate[] = "storage.selfUpdate";
inline constexpr char kAppConfigStorageSystemBuffer[] = "storage.systemBuffer";
inline constexpr char kAppConfigRepositoryCopyWeight[] = "repository.copyWeight";
inline constexpr char kAppConfigRepositoryApplyWeight[] = "repository.applyWeight";
inline constexpr char kAppConfigRepositoryCleanWeight[] = "repository.cleanWeight";
inline constexpr char kAppConfigCefEnabled[] = "cef.enabled";
inline constexpr char kAppConfigCefVersion[] = "cef.version";
inline constexpr char kAppConfigCefNativeFallback[] = "cef.nativeFallback";
inline constexpr char kAppConfigCefOffscreenRender[] = "cef.offscreenRender";
inline constexpr char kAppConfigCefPersistSessionCookies[] = "cef.persistSessionCookies";
inline constexpr char kAppConfigCefCachePath[] = "cef.cachePath";
inline constexpr char kAppConfigCefUserAgent[] = "cef.userAgent";
inline constexpr char kAppConfigCefExternalUrls[] = "cef.externalUrls";
// Written by the program at start from its own switch, read by the browser back ends.
inline constexpr char kAppConfigEnableDeveloperTools[] = "enableDeveloperTools";

// ---- a window configuration (main.json, openWindow) ----

inline constexpr char kWindowConfigUrl[] = "url";
inline constexpr char kWindowConfigTitle[] = "title";
inline constexpr char kWindowConfigSpriteSheet[] = "spriteSheet";
inline constexpr char kWindowConfigMinWidth[] = "minWidth";
inline constexpr char kWindowConfigMinHeight[] = "minHeight";
inline constexpr char kWindowConfigLoadTimeout[] = "loadTimeout";
inline constexpr char kWindowConfigWindowFrame[] = "windowFrame";
inline constexpr char kWindowConfigPopupFrame[] = "popupFrame";
inline constexpr char kWindowConfigWindowsUseNotificationArea[] = "windows.useNotificationArea";
inline constexpr char kWindowConfigWindowsMinimizeToNotificationArea[] = "windows.minimizeToNotificationArea";
inline constexpr char kWindowConfigIeDebug[] = "ie.debug";
inline constexpr char kWindowConfigMacMinimizeAsAppIcon[] = "mac.minimizeAsAppIcon";
inline constexpr char kWindowConfigAwkEnablePlugins[] = "awk.enablePlugins";
inline constexpr char kWindowConfigAwkPlugins[] = "awk.plugins";
inline constexpr char kWindowConfigAwkEnableJava[] = "awk.enableJava";
inline constexpr char kWindowConfigAwkJava[] = "awk.java";
inline constexpr char kWindowConfigCefWebSecurity[] = "cef.webSecurity";
inline constexpr char kWindowConfigCefEnableWebGl[] = "cef.enableWebGl";
inline constexpr char kWindowConfigCefWebGl[] = "cef.webGl";
inline constexpr char kWindowConfigCefJava[] = "cef.java";
inline constexpr char kWindowConfigCefPlugins[] = "cef.plugins";
inline constexpr char kWindowConfigCefEnableLocalStorage[] = "cef.enableLocalStorage";
inline constexpr char kWindowConfigCefLocalStorage[] = "cef.localStorage";
inline constexpr char kWindowConfigCefPageCache[] = "cef.pageCache";
inline constexpr char kWindowConfigCefEnableDatabases[] = "cef.enableDatabases";
inline constexpr char kWindowConfigCefDatabases[] = "cef.databases";
inline constexpr char kWindowConfigCefDeveloperTools[] = "cef.developerTools";

inline constexpr AppConfigKey kAppConfigKeys[] = {
    {kAppConfigName, APPCONFIG_FILE_APP},
    {kAppConfigStartupWindowConfig, APPCONFIG_FILE_APP},
    {kAppConfigSelfUpdateWorkflow, APPCONFIG_FILE_APP},
    {kAppConfigAllowMultipleInstances, APPCONFIG_FILE_APP},
    {kAppConfigKillOtherInstances, APPCONFIG_FILE_APP},
    {kAppConfigSingleInstanceTimeout, APPCONFIG_FILE_APP},
    {kAppConfigWebServerListenPort, APPCONFIG_FILE_APP},
    {kAppConfigWebServerExternalPaths, APPCONFIG_FILE_APP},
    {kAppConfigRequiresElevated, APPCONFIG_FILE_APP},
    {kAppConfigRequiresDataStore, APPCONFIG_FILE_APP},
    {kAppConfigDataStorePublicKey, APPCONFIG_FILE_APP},
    {kAppConfigMacros, APPCONFIG_FILE_APP},
    {kAppConfigLocalStorage, APPCONFIG_FILE_APP},
    {kAppConfigRegistryWhitelistReadOnly, APPCONFIG_FILE_APP},
    {kAppConfigRegistryWhitelistReadWrite, APPCONFIG_FILE_APP},
    {kAppConfigHostnameWhitelist, APPCONFIG_FILE_APP},
    {kAppConfigAnalyticsEnabled, APPCONFIG_FILE_APP},
    {kAppConfigAnalyticsCrashDump, APPCONFIG_FILE_APP},
    {kAppConfigAnalyticsKey, APPCONFIG_FILE_APP},
    {kAppConfigAnalyticsEndPoint, APPCONFIG_FILE_APP},
    {kAppConfigAnalyticsSendInterval, APPCONFIG_FILE_APP},
    {kAppConfigAnalyticsMaxEvents, APPCONFIG_FILE_APP},
    {kAppConfigAnalyticsMaxSendEvents, APPCONFIG_FILE_APP},
    {kAppConfigAnalyticsSendWebGetXCache, APPCONFIG_FILE_APP},
    {kAppConfigKeyStores, APPCONFIG_FILE_APP},
    {kAppConfigThumbprintStores, APPCONFIG_FILE_APP},
    {kAppConfigCertificateStoresApp, APPCONFIG_FILE_APP},
    {kAppConfigCertificateStoresDataStore, APPCONFIG_FILE_APP},
    {kAppConfigCertificateStoresInterop, APPCONFIG_FILE_APP},
    {kAppConfigCertificateStoresWebGet, APPCONFIG_FILE_APP},
    {kAppConfigWebGetTimeout, APPCONFIG_FILE_APP},
    {kAppConfigWebGetRedirect, APPCONFIG_FILE_APP},
    {kAppConfigWebGetUserAgent, APPCONFIG_FILE_APP},
    {kAppConfigWebGetMacros, APPCONFIG_FILE_APP},
    {kAppConfigWebGetPoolMaxHosts, APPCONFIG_FILE_APP},
    {kAppConfigWebGetPoolMaxHostConnections, APPCONFIG_FILE_APP},
    {kAppConfigTls1Cipher, APPCONFIG_FILE_APP},
    {kAppConfigTls1VersionMin, APPCONFIG_FILE_APP},
    {kAppConfigTls1VersionMax, APPCONFIG_FILE_APP},
    {kAppConfigAliasUrl, APPCONFIG_FILE_APP},
    {kAppConfigAliasLimitSize, APPCONFIG_FILE_APP},
    {kAppConfigAliasWebGetCacheMinAge, APPCONFIG_FILE_APP},
    {kAppConfigCatalogUrl, APPCONFIG_FILE_APP},
    {kAppConfigCatalogLimitSize, APPCONFIG_FILE_APP},
    {kAppConfigMetafileLimitSize, APPCONFIG_FILE_APP},
    {kAppConfigWorkflowWebGetCacheMinAge, APPCONFIG_FILE_APP},
    {kAppConfigStorageRequests, APPCONFIG_FILE_APP},
    {kAppConfigStorageDeltaFormat, APPCONFIG_FILE_APP},
    {kAppConfigStoragePieceFormat, APPCONFIG_FILE_APP},
    {kAppConfigStoragePartialExtension, APPCONFIG_FILE_APP},
    {kAppConfigStorageFileCompletes, APPCONFIG_FILE_APP},
    {kAppConfigStorageLockDirectory, APPCONFIG_FILE_APP},
    {kAppConfigStorageDeltaCacheSize, APPCONFIG_FILE_APP},
    {kAppConfigStorageSkipTimestamp, APPCONFIG_FILE_APP},
    {kAppConfigStorageSkipAttributes, APPCONFIG_FILE_APP},
    {kAppConfigStorageSelfUpdate, APPCONFIG_FILE_APP},
    {kAppConfigStorageSystemBuffer, APPCONFIG_FILE_APP},
    {kAppConfigRepositoryCopyWeight, APPCONFIG_FILE_APP},
    {kAppConfigRepositoryApplyWeight, APPCONFIG_FILE_APP},
    {kAppConfigRepositoryCleanWeight, APPCONFIG_FILE_APP},
    {kAppConfigCefEnabled, APPCONFIG_FILE_APP},
    {kAppConfigCefVersion, APPCONFIG_FILE_APP},
    {kAppConfigCefNativeFallback, APPCONFIG_FILE_APP},
    {kAppConfigCefOffscreenRender, APPCONFIG_FILE_APP},
    {kAppConfigCefPersistSessionCookies, APPCONFIG_FILE_APP},
    {kAppConfigCefCachePath, APPCONFIG_FILE_APP},
    {kAppConfigCefUserAgent, APPCONFIG_FILE_APP},
    {kAppConfigCefExternalUrls, APPCONFIG_FILE_APP},
    {kAppConfigEnableDeveloperTools, APPCONFIG_FILE_APP},
    {kWindowConfigUrl, APPCONFIG_FILE_WINDOW},
    {kWindowConfigTitle, APPCONFIG_FILE_WINDOW},
    {kWindowConfigSpriteSheet, APPCONFIG_FILE_WINDOW},
    {kWindowConfigMinWidth, APPCONFIG_FILE_WINDOW},
    {kWindowConfigMinHeight, APPCONFIG_FILE_WINDOW},
    {kWindowConfigLoadTimeout, APPCONFIG_FILE_WINDOW},
    {kWindowConfigWindowFrame, APPCONFIG_FILE_WINDOW},
    {kWindowConfigPopupFrame, APPCONFIG_FILE_WINDOW},
    {kWindowConfigWindowsUseNotificationArea, APPCONFIG_FILE_WINDOW},
    {kWindowConfigWindowsMinimizeToNotificationArea, APPCONFIG_FILE_WINDOW},
    {kWindowConfigIeDebug, APPCONFIG_FILE_WINDOW},
    {kWindowConfigMacMinimizeAsAppIcon, APPCONFIG_FILE_WINDOW},
    {kWindowConfigAwkEnablePlugins, APPCONFIG_FILE_WINDOW},
    {kWindowConfigAwkPlugins, APPCONFIG_FILE_WINDOW},
    {kWindowConfigAwkEnableJava, APPCONFIG_FILE_WINDOW},
    {kWindowConfigAwkJava, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefWebSecurity, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefEnableWebGl, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefWebGl, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefJava, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefPlugins, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefEnableLocalStorage, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefLocalStorage, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefPageCache, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefEnableDatabases, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefDatabases, APPCONFIG_FILE_WINDOW},
    {kWindowConfigCefDeveloperTools, APPCONFIG_FILE_WINDOW},
};
