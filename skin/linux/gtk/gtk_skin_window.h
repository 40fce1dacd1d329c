// Skin windows as GTK windows: the native window table and the window controls that a skin window
// uses, over a GtkWindow whose content view is an event box holding the browser's widget (or
// drawing the frames of an off-screen browser and passing the user's input on to it).
#pragma once

#include <cstdint>

struct NativeSkinWindowInterface;
struct SkinWindowControlsInterface;
struct SkinWindowDialogNativeInterface;

// Opens the display once (1 when there is one). Every other operation needs it.
int64_t GtkSkinWindow_Init();
const NativeSkinWindowInterface* GtkSkinWindow_GetInterface();
const SkinWindowControlsInterface* GtkSkinWindow_GetControlsInterface();
// The page's message boxes and file and folder choosers over the platform layer's dialogs.
const SkinWindowDialogNativeInterface* GtkSkinWindow_GetDialogInterface();

// Runs the GTK main loop for the given time; for loops that drive windows themselves (tests, tools).
int64_t GtkSkinWindow_Pump(int32_t milliseconds);
