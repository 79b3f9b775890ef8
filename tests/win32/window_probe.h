// Reading back what a window shows, for the desktop's tests.
#pragma once

#include <windows.h>

#include <string>

#include "main/desktop.h"

namespace dalvento::win32::probe {

// A control's rectangle in its parent's client coordinates.
Rect rect_in_parent(HWND control);

// A window's client area, at 0, 0.
Rect client_size(HWND window);

// The clipboard's Unicode text as UTF-8; "(clipboard refused)" when it cannot be opened.
std::string clipboard_text();

}  // namespace dalvento::win32::probe
