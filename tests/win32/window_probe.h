// Reading back what a window shows, for the desktop's tests.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "main/desktop.h"

namespace dalvento::win32::probe {

// A control's text as a person reads it: without the ampersand that marks its access key.
std::string shown_text(HWND control);

// A control's access key, upper case; 0 for none (edit boxes and prefix-free labels have none).
char access_key(HWND control);

// The size a control's text needs in its own font, device pixels: one line, or wrapped at the
// control's width where `wrapped`. Access-key ampersands are taken as Windows draws them.
SIZE text_extent(HWND control, bool wrapped);

// A control's rectangle in its parent's client coordinates.
Rect rect_in_parent(HWND control);

// A window's client area, at 0, 0.
Rect client_size(HWND window);

// The clipboard's Unicode text as UTF-8; "(clipboard refused)" when it cannot be opened.
std::string clipboard_text();

// A window's outer rectangle on the screen.
Rect screen_rect(HWND window);

// Whether `inner` lies wholly inside `outer`.
bool lies_inside(const Rect& inner, const Rect& outer);

// The height of a font's character cell, measured on the screen.
int text_height(HFONT font);

// The whole screen as a PNG picture, for people to look at; false when it cannot be taken.
bool save_screenshot(const std::filesystem::path& file);

}  // namespace dalvento::win32::probe
