// The content view of a GTK skin window: it holds the widget of a browser that has one, and for
// an off-screen browser draws the frames it delivers and passes the user's mouse, wheel, keyboard
// and focus on to it as simulated input.
#pragma once

#include <cstdint>

#include <gtk/gtk.h>

struct SkinWindow;

GtkWidget* GtkSkinWindowView_Create(SkinWindow* owner);
// Drops the browser's widget and the last frame.
void GtkSkinWindowView_Clear(GtkWidget* view);
// A point on the screen in view coordinates (y from the top), truncated.
void GtkSkinWindowView_ClickPoint(GtkWidget* view, double rootX, double rootY, int32_t* x, int32_t* y);

// The modifier word of the browser operations for mouse input: one keyboard modifier only
// (shift, else control, else command), from GDK's state bits.
uint32_t GtkSkinWindowView_ButtonModifiers(uint32_t state);
// The modifier word for key input from GDK's state bits and the key's value.
uint32_t GtkSkinWindowView_KeyModifiers(uint32_t state, uint32_t keyval);
