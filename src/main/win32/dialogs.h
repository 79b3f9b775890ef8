// The modal windows over the main window, each built, run and destroyed by one call. Their fixed
// texts and geometry are in main/window_design.h; what changes comes with the models.
#pragma once

#include <windows.h>

#include <expected>
#include <optional>
#include <string>

#include "main/desktop.h"
#include "main/settings.h"

namespace dalvento::win32 {

// The source picker. Cancel, showing nothing, when it cannot be built.
PickerAnswer run_picker(HWND main, const PickerWindow& picker);

// The folder-removal chooser: the position of the folder chosen; none when cancelled, closed or
// when it cannot be built.
std::optional<size_t> run_folder_removal(HWND main, const FolderRemoval& removal);

// "Send this delivery?", centred on the main window. The system's description of the failure
// when it cannot be built.
std::expected<std::optional<DeliveryDialogAnswer>, std::string> run_delivery_dialog(
    HWND main, const DeliveryDialog& dialog);

// The "Office token" prompt; the text as entered, or none when cancelled or closed.
std::optional<std::string> run_token_prompt(HWND main);

// The "About to send" review; Copy puts the text on the clipboard and leaves it open.
ReviewAnswer run_review(HWND main, const std::string& text);

// The settings window over the model until the model is closing. False when it cannot be built.
bool run_settings_window(HWND main, SettingsWindow& settings);

}  // namespace dalvento::win32
