// The fixed content of the windows the desktop builds: titles, static texts, cue texts, button
// captions and logical geometry (96 DPI; scale with layout.h). What changes at run time comes from
// the models instead: the summary, the layout, the picker, the delivery dialog and the settings
// view.
#pragma once

#include <array>
#include <string_view>

#include "main/desktop.h"

namespace dalvento {

// One control: its initial text, its place in its window, the grey cue of an empty text box,
// and the letters its access key is chosen from (see access_keys.h), unique within its window.
struct ControlSpec {
    std::string_view text;
    Rect rect;
    std::string_view cue = {};
    std::string_view keys = {};
};

// The font the geometry below was drawn for, at 9 points at the window's DPI. Windows take the
// system's message font instead (Windows' own is this one); where that is larger, as with "Make
// text bigger", every window grows with it.
inline constexpr std::string_view DEFAULT_FONT_FACE = "Segoe UI";
inline constexpr int DEFAULT_FONT_POINTS = 9;

// The fatal start-up messages.
inline constexpr std::string_view UI_START_FAILED = "could not start the Windows UI";
inline constexpr std::string_view WINDOW_BUILD_FAILED = "could not build the window";

// The main window: client size and initial place (the re-layout moves the controls).
inline constexpr Rect MAIN_WINDOW = {200, 120, 940, 700};
inline constexpr ControlSpec MAIN_INTRO = {
    "Dalvento needs two things: the OWNER layer from ArcGIS, and your parcel export, whatever your "
    "assessment system produces. The first time, use the two Source buttons to show us where "
    "those are (or drag them in); after that it remembers, and a delivery is one press of Bundle.",
    {14, 10, 910, 36}};
// By SourceKind: section label, source button, toggle button, list.
inline constexpr std::array<ControlSpec, 3> MAIN_SECTION_LABELS = {{
    {"Map layers: the ArcGIS export folder (OWNER.shp and whatever sits beside it)",
     {14, 56, 610, 22}},
    {"Parcel data: the assessment system's export folder (the tblRE... tables and any others)",
     {14, 242, 610, 22}},
    {"Other data: anything else to include (PDFs, spreadsheets, extra tables)", {14, 398, 610, 22}},
}};
// A hidden section's height: its label row and the gap below it.
inline constexpr int MAIN_HIDDEN_SECTION_HEIGHT = 34;
// The narrowest the main window's client area gets to fit a small screen.
inline constexpr int MAIN_NARROWEST_WIDTH = 600;
// Their texts change with every refresh; each keeps its key in every text it can have: labels
// "Map layers …", "Parcel data …", "Other data …"; source buttons "… ArcGIS Source…", "… Parcel
// Source…", "… Other Source…"; toggles "Hide" and "Show".
inline constexpr std::array<std::string_view, 3> MAIN_SECTION_LABEL_KEYS = {"M", "P", "D"};
inline constexpr std::array<std::string_view, 3> MAIN_SOURCE_BUTTON_KEYS = {"A", "R", "U"};
inline constexpr std::array<std::string_view, 3> MAIN_TOGGLE_BUTTON_KEYS = {"H", "IW", "EO"};
// What a screen reader calls each section, after the toggle's "Hide" or "Show".
inline constexpr std::array<std::string_view, 3> MAIN_SECTION_NAMES = {"map layers", "parcel data",
                                                                       "other data"};
inline constexpr std::string_view MAIN_STATUS_BOX_NAME = "Status";
inline constexpr std::array<ControlSpec, 3> MAIN_SOURCE_BUTTONS = {{
    {"Add ArcGIS Source...", {724, 50, 200, 30}},
    {"Add Parcel Source...", {724, 236, 200, 30}},
    {"Add Other Source...", {724, 392, 200, 30}},
}};
inline constexpr std::array<ControlSpec, 3> MAIN_TOGGLE_BUTTONS = {{
    {"Hide", {630, 52, 88, 28}},
    {"Hide", {630, 238, 88, 28}},
    {"Hide", {630, 394, 88, 28}},
}};
inline constexpr std::array<Rect, 3> MAIN_LISTS = {{
    {14, 84, 910, 150},
    {14, 270, 910, 120},
    {14, 426, 910, 110},
}};
// The status box sits where a fourth section's label would.
inline constexpr ControlSpec MAIN_STATUS_BOX = {"", {14, 544, 910, 70}};
inline constexpr ControlSpec MAIN_SETTINGS_BUTTON = {"Settings...", {14, 626, 200, 40}, {}, "T"};
inline constexpr ControlSpec MAIN_BUNDLE_BUTTON = {"Bundle...", {564, 626, 170, 40}, {}, "B"};
inline constexpr ControlSpec MAIN_SEND_BUTTON = {"Send to Dalvento...", {744, 626, 180, 40}, {}, "S"};
// The send button's caption while a send runs (the same key).
inline constexpr std::string_view STOP_SENDING_CAPTION = "Stop sending";

// The four folder dialogs' titles.
constexpr std::string_view folder_dialog_title(FolderDialog which) {
    switch (which) {
        case FolderDialog::layers:
            return "Which folder does ArcGIS Pro export to? (the one holding OWNER.shp)";
        case FolderDialog::tables:
            return "Which folder are the parcel tables exported to? (the one holding "
                   "tblREProperty.txt)";
        case FolderDialog::other:
            return "Which folder holds the extra files to include?";
        case FolderDialog::zip_destination:
            break;
    }
    return "Where should the zip be saved? (a folder or a USB stick)";
}

// The source picker's fixed texts (its geometry comes with the model).
inline constexpr std::string_view PICKER_ADD_FOLDER = "Add folder...";
inline constexpr std::string_view PICKER_REMOVE_FOLDER = "Remove folder...";
// The picker's keys: its buttons, the hint that labels the list ("Select what …" or "Nothing in
// this folder …"), the remember box.
inline constexpr std::string_view PICKER_ADD_FOLDER_KEYS = "A";
inline constexpr std::string_view PICKER_REMOVE_FOLDER_KEYS = "R";
inline constexpr std::string_view PICKER_HINT_KEYS = "SN";
inline constexpr std::string_view PICKER_REMEMBER_KEYS = "M";
inline constexpr std::string_view PICKER_OK_KEYS = "O";
inline constexpr std::string_view PICKER_CANCEL_KEYS = "C";

// The folder-removal chooser (placed by the model, client 560 x 260): its text, the list of
// folders and two buttons.
inline constexpr Rect REMOVAL_TEXT = {16, 12, 528, 40};
inline constexpr std::string_view REMOVAL_TEXT_KEYS = "W";  // "Which folder …"
inline constexpr Rect REMOVAL_LIST = {16, 58, 528, 140};
inline constexpr ControlSpec REMOVAL_REMOVE = {"Remove", {354, 212, 90, 34}, {}, "R"};
inline constexpr ControlSpec REMOVAL_CANCEL = {"Cancel", {454, 212, 90, 34}, {}, "C"};
inline constexpr std::string_view PICKER_REMEMBER =
    "Remember for next time (clear to apply to the next bundle only)";
inline constexpr std::string_view PICKER_OK = "OK";
inline constexpr std::string_view PICKER_CANCEL = "Cancel";

// "Send this delivery?", centred on the main window. The summary and the pre-filled texts come
// from the DeliveryDialog model; the confirm caption too.
inline constexpr std::string_view DELIVERY_DIALOG_TITLE = "Send this delivery?";
inline constexpr Rect DELIVERY_DIALOG_CLIENT = {0, 0, 560, 236};
inline constexpr Rect DELIVERY_SUMMARY = {16, 12, 528, 40};
inline constexpr ControlSpec DELIVERY_SENDER_LABEL = {"Sent by:", {16, 66, 130, 22}, {}, "S"};
inline constexpr ControlSpec DELIVERY_SENDER_BOX = {"", {150, 63, 394, 25}};
inline constexpr ControlSpec DELIVERY_REASON_LABEL = {"Reason:", {16, 100, 130, 22}, {}, "R"};
inline constexpr ControlSpec DELIVERY_REASON_BOX = {
    "", {150, 97, 394, 25}, "e.g. periodic update, 2026 roll"};
inline constexpr ControlSpec DELIVERY_UNUSUAL_LABEL = {
    "Anything unusual:", {16, 134, 130, 22}, {}, "A"};
inline constexpr ControlSpec DELIVERY_UNUSUAL_BOX = {
    "", {150, 131, 394, 25}, "optional, e.g. renumbered some accounts"};
inline constexpr Rect DELIVERY_CONFIRM_BUTTON = {324, 178, 130, 40};  // the default button
inline constexpr std::string_view DELIVERY_CONFIRM_KEYS = "BN";  // "Bundle..." or "Next..."
inline constexpr ControlSpec DELIVERY_CANCEL_BUTTON = {"Cancel", {464, 178, 80, 40}, {}, "C"};

// The "Office token" prompt, centred on the main window.
inline constexpr std::string_view TOKEN_PROMPT_TITLE = "Office token";
inline constexpr Rect TOKEN_PROMPT_CLIENT = {0, 0, 560, 190};
inline constexpr std::string_view TOKEN_PROMPT_TEXT =
    "Paste the token you were given for your office. It's kept on this computer, readable only by "
    "your Windows account, and used only to send deliveries.";
inline constexpr std::string_view TOKEN_PROMPT_CUE = "dlvt_\xE2\x80\xA6";
inline constexpr std::string_view TOKEN_PROMPT_SAVE = "Save";
inline constexpr std::string_view TOKEN_PROMPT_CANCEL = "Cancel";
inline constexpr std::string_view TOKEN_PROMPT_TEXT_KEYS = "P";
inline constexpr std::string_view TOKEN_PROMPT_SAVE_KEYS = "S";
inline constexpr std::string_view TOKEN_PROMPT_CANCEL_KEYS = "C";

// The "About to send" review. Closing it counts as Back. Text box and buttons: sizes only, the
// desktop places them.
inline constexpr std::string_view REVIEW_TITLE = "About to send";
inline constexpr Rect REVIEW_CLIENT = {0, 0, 620, 440};
inline constexpr std::string_view REVIEW_LINE =
    "One more look. This is exactly what leaves this computer when you press Send.";
inline constexpr std::string_view REVIEW_LINE_KEYS = "O";
inline constexpr Rect REVIEW_TEXT_BOX = {0, 0, 588, 330};
inline constexpr ControlSpec REVIEW_COPY = {"Copy", {0, 0, 80, 40}, {}, "C"};
inline constexpr ControlSpec REVIEW_SEND = {"Send", {0, 0, 130, 40}, {}, "S"};
inline constexpr ControlSpec REVIEW_BACK = {"Back", {0, 0, 80, 40}, {}, "B"};

// The settings window (placed by SettingsWindow::placement); the status line and the show
// button's caption come from its view.
inline constexpr ControlSpec SETTINGS_HEADING = {"Office token", {16, 14, 300, 20}};
inline constexpr Rect SETTINGS_STATUS_LINE = {16, 38, 488, 22};
// The status line labels the entry below it: "Office token: …".
inline constexpr std::string_view SETTINGS_STATUS_LINE_KEYS = "O";
inline constexpr ControlSpec SETTINGS_ENTRY = {
    "", {16, 66, 380, 26}, "Paste a new token (dlvt_\xE2\x80\xA6)"};
inline constexpr ControlSpec SETTINGS_SAVE = {"Save", {404, 64, 100, 30}, {}, "S"};
inline constexpr Rect SETTINGS_SHOW = {16, 102, 84, 28};
inline constexpr std::string_view SETTINGS_SHOW_KEYS = "H";  // "Show" or "Hide"
inline constexpr ControlSpec SETTINGS_REMOVE = {"Remove", {108, 102, 96, 28}, {}, "R"};
inline constexpr ControlSpec SETTINGS_RESET = {
    "Reset Dalvento settings", {16, 158, 240, 34}, {}, "E"};
inline constexpr ControlSpec SETTINGS_CLOSE = {"Close", {404, 206, 100, 34}, {}, "C"};
inline constexpr Rect SETTINGS_ABOUT_LINE = {16, 215, 380, 20};

}  // namespace dalvento
