// The client of a window that a skin page opens (and of developer-tools windows): it forwards
// requests to the main client handler, places and titles the window, and reports its life.
#pragma once

#include <cstdint>

#include "host/cef/cef_engine_browser.h"

struct ClientHandler;
struct PopupClientHandler;

enum : uint32_t { POPUPCLIENTHANDLER_CLASS_ID = 0xc97af007 };
enum : int32_t { POPUPCLIENTHANDLER_FRAME_SIZE = 320, POPUPCLIENTHANDLER_TITLE_SIZE = 512 };

int64_t CEF5414PopupClientHandler_Create(PopupClientHandler** popup);
int64_t CEF5414PopupClientHandler_AddRef(PopupClientHandler* popup);
int64_t CEF5414PopupClientHandler_Release(PopupClientHandler** popup);
int64_t CEF5414PopupClientHandler_Delete(PopupClientHandler** popup);
// The client for the engine, with a reference.
CEFClient* CEF5414PopupClientHandler_GetClient(PopupClientHandler* popup);
int64_t CEF5414PopupClientHandler_SetFeatures(PopupClientHandler* popup, const CEFPopupFeatures& features);
// Keeps a reference to the main handler until the popup closes.
int64_t CEF5414PopupClientHandler_SetMainClientHandler(PopupClientHandler* popup, ClientHandler* handler);
int64_t CEF5414PopupClientHandler_GetShowDeveloperTools(PopupClientHandler* popup, uint32_t* show);
int64_t CEF5414PopupClientHandler_SetShowDeveloperTools(PopupClientHandler* popup, uint32_t show);
// Titles the popup's window with the skin window's title.
int64_t PopupClientHandler_SetTitle(PopupClientHandler* popup, CEFHostBrowser* browser);
