// What a screen reader needs beyond the controls' own texts: names given through the system's
// accessibility property service, the status box as a polite live region, and its announcements.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace dalvento::win32 {

// Gives a control the name a screen reader says for it (instead of its text).
void set_accessible_name(HWND control, std::string_view name);

// The name last given to a control; empty for none. The property service cannot be read back,
// and Wine ignores it, so this is what the window's tests compare.
std::string accessible_name_given(HWND control);

// Marks a control as a polite live region: its changes are read when the reader is idle.
void mark_polite_live_region(HWND control);

// Tells assistive technology that a live region changed to show `text`: the UI Automation
// notification where the system has it, EVENT_OBJECT_LIVEREGIONCHANGED otherwise.
void announce(HWND live_region, std::string_view text);

}  // namespace dalvento::win32
