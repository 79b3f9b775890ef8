// The windows driven by the keyboard alone, as a person without a mouse would: real key presses
// (SendInput, through the system's input queue) to the real windows, the focus read back after
// each. Every window met is audited on arrival: access keys, labels, names, and no control whose
// text is larger than it. The same walk runs with a larger message font and in a high-contrast
// colour scheme (the win32_text_* and win32_high_contrast ctest entries), leaving screenshots.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>
#include <oleacc.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/platform/platform.h"
#include "dialog_script.h"
#include "main/access_keys.h"
#include "main/main_window.h"
#include "main/settings.h"
#include "main/summary.h"
#include "main/win32/accessibility.h"
#include "main/win32/dialogs.h"
#include "main_frame.h"
#include "window_probe.h"

namespace dalvento::win32 {
namespace {

std::string class_of(HWND control) {
    wchar_t name[32] = {};
    GetClassNameW(control, name, 32);
    return utf8(name);
}

bool is(HWND control, const char* window_class) {
    return lstrcmpiA(class_of(control).c_str(), window_class) == 0;
}

// A box or list: what a label names.
bool is_field(HWND control) {
    return is(control, "Edit") || is(control, WC_LISTVIEWA) || is(control, "ListBox");
}

// What a screen reader calls a control: the name given through the property service, else a
// button's text, else the text of the label right before it (the Win32 rule).
std::string spoken_name(HWND control) {
    if (!control) return "(nothing)";
    if (std::string given = accessible_name_given(control); !given.empty()) return given;
    if (is(control, "Button")) return probe::shown_text(control);
    HWND before = GetWindow(control, GW_HWNDPREV);
    if (before && is(before, "Static")) return probe::shown_text(before);
    return "(unnamed " + class_of(control) + ")";
}

// What is wrong with one window for a keyboard or screen-reader user, or with its text's room:
// each button, and each label of a box or list, has an access key, none used twice; each box and
// list has a name; no control's text is wider or taller than the control.
std::vector<std::string> audit(HWND window) {
    std::vector<std::string> found;
    std::map<char, std::string> keys;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child)) continue;
        const std::string text = probe::shown_text(child);
        HWND next = GetWindow(child, GW_HWNDNEXT);
        const bool labels_field = is(child, "Static") && next && is_field(next);
        if (is(child, "Button") || labels_field) {
            const char key = probe::access_key(child);
            if (key == 0) {
                found.push_back("no access key: " + text);
            } else if (const auto [at, fresh] = keys.emplace(key, text); !fresh) {
                found.push_back(std::string("Alt+") + key + " twice: " + at->second + " / " + text);
            }
        }
        if (is_field(child) && spoken_name(child).starts_with("(unnamed")) {
            found.push_back("no name: a " + class_of(child));
        }
        // Room for the text: buttons on one line with their edges, labels wrapped at their width.
        RECT room{};
        GetClientRect(child, &room);
        const auto style = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_STYLE));
        const bool multiline_edit = is(child, "Edit") && (style & ES_MULTILINE);
        if (text.empty() || multiline_edit || is(child, WC_LISTVIEWA) || is(child, "ListBox")) {
            continue;
        }
        const bool button = is(child, "Button");
        const SIZE need = probe::text_extent(child, !button && !is(child, "Edit"));
        int beside = 0;
        if (button) {
            const int type = static_cast<int>(style & BS_TYPEMASK);
            beside = type == BS_AUTOCHECKBOX || type == BS_CHECKBOX
                         ? GetSystemMetricsForDpi(SM_CXMENUCHECK, GetDpiForWindow(child)) + 4
                         : 2 * GetSystemMetricsForDpi(SM_CXEDGE, GetDpiForWindow(child)) + 2;
        }
        if (need.cx + beside > room.right || need.cy > room.bottom) {
            found.push_back("text larger than its control (" + std::to_string(need.cx + beside) +
                            "x" + std::to_string(need.cy) + " in " + std::to_string(room.right) +
                            "x" + std::to_string(room.bottom) + "): " + text);
        }
    }
    // List headers: each column at least as wide as its header's text.
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child) || !is(child, WC_LISTVIEWA)) continue;
        HWND header = reinterpret_cast<HWND>(SendMessageW(child, LVM_GETHEADER, 0, 0));
        const int columns = header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0))
                                   : 0;
        for (int c = 0; c < columns; ++c) {
            wchar_t text[64] = {};
            LVCOLUMNW column{};
            column.mask = LVCF_TEXT | LVCF_WIDTH;
            column.pszText = text;
            column.cchTextMax = 64;
            SendMessageW(child, LVM_GETCOLUMNW, static_cast<WPARAM>(c),
                         reinterpret_cast<LPARAM>(&column));
            const auto width = static_cast<int>(
                SendMessageW(child, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text)));
            // The header's own margins take 12 logical pixels at least.
            if (text[0] && width + MulDiv(12, GetDpiForWindow(child), 96) > column.cx) {
                found.push_back("header wider than its column: " + utf8(text));
            }
        }
    }
    return found;
}

// Presses keys together (modifiers first) and lets them go, through the system's input queue.
void press(const std::vector<WORD>& keys) {
    std::vector<INPUT> inputs;
    for (const WORD key : keys) {
        INPUT down{};
        down.type = INPUT_KEYBOARD;
        down.ki.wVk = key;
        inputs.push_back(down);
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
        INPUT up{};
        up.type = INPUT_KEYBOARD;
        up.ki.wVk = *key;
        up.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(up);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// One key press and where it must leave the keyboard: the active window's title and the focused
// control's spoken name (a part of it: captions carry counts). `check`, when given, says what
// else is wrong, or nothing.
struct Move {
    std::vector<WORD> keys;
    std::string window;
    std::string focus;
    std::function<std::string()> check = {};
};

std::string key_names(const std::vector<WORD>& keys) {
    std::string names;
    for (const WORD key : keys) {
        if (!names.empty()) names += "+";
        switch (key) {
            case VK_MENU: names += "Alt"; break;
            case VK_SHIFT: names += "Shift"; break;
            case VK_TAB: names += "Tab"; break;
            case VK_ESCAPE: names += "Esc"; break;
            case VK_RETURN: names += "Enter"; break;
            case VK_DOWN: names += "Down"; break;
            case VK_SPACE: names += "Space"; break;
            default: names += static_cast<char>(key);
        }
    }
    return names.empty() ? "(start)" : names;
}

// Runs the moves from the thread's message loop, one key press at a time, each waiting up to two
// seconds for the focus to arrive; every window met is audited, and its screenshot taken, once.
class KeyWalk {
  public:
    KeyWalk(std::vector<Move> moves, HWND main) : moves_(std::move(moves)), main_(main) {
        current_ = this;
        timer_ = SetTimer(nullptr, 0, 20, tick);
        run_message_loop();
        KillTimer(nullptr, timer_);
        current_ = nullptr;
    }

  private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        if (current_) current_->step();
    }

    void step() {
        HWND active = GetActiveWindow();
        if (next_ == moves_.size()) {
            // Whatever a failed move left open is closed first, so the walk ends where it began.
            if (active && active != main_ && ++cleaning_ < 200) {
                PostMessageW(active, WM_CLOSE, 0, 0);
            } else if (!ended_) {
                ended_ = true;
                end_message_loop();
            }
            return;
        }
        const Move& move = moves_[next_];
        if (!pressed_) {
            press(move.keys);
            pressed_ = true;
            waited_ = 0;
            return;
        }
        const std::string title = active ? window_text(active) : "(no window)";
        const std::string focus = spoken_name(GetFocus());
        std::string wrong;
        if (title != move.window || focus.find(move.focus) == std::string::npos) {
            wrong = "in \"" + title + "\" on \"" + focus + "\", not in \"" + move.window +
                    "\" on \"" + move.focus + "\"";
        } else if (move.check) {
            wrong = move.check();
        }
        if (!wrong.empty() && ++waited_ < 100) return;
        if (!wrong.empty()) {
            GUITHREADINFO gui{};
            gui.cbSize = sizeof gui;
            GetGUIThreadInfo(GetCurrentThreadId(), &gui);
            ADD_FAILURE() << "after " << key_names(move.keys) << ": " << wrong << " (flags "
                          << gui.flags << ", active " << gui.hwndActive << ", menu owner "
                          << gui.hwndMenuOwner << ")";
        }
        if (active && audited_.insert(title).second) {
            for (const std::string& finding : audit(active)) {
                ADD_FAILURE() << title << ": " << finding;
            }
            if (const auto folder = platform::get_env("DALVENTO_SCREENSHOTS")) {
                std::string file;
                for (const char c : title) file += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                std::filesystem::create_directories(*folder);
                probe::save_screenshot(std::filesystem::path(*folder) / ("keys_" + file + ".png"));
            }
        }
        ++next_;
        pressed_ = false;
    }

    static inline KeyWalk* current_ = nullptr;
    std::vector<Move> moves_;
    HWND main_;
    UINT_PTR timer_ = 0;
    size_t next_ = 0;
    bool pressed_ = false;
    bool ended_ = false;
    int waited_ = 0;
    int cleaning_ = 0;
    std::set<std::string> audited_;
};

constexpr WORD ALT = VK_MENU;
constexpr WORD SHIFT = VK_SHIFT;

// A list's focused row must be `row`.
std::function<std::string()> focused_row(HWND list, int row) {
    return [list, row] {
        const auto at = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                                      LVNI_FOCUSED));
        return at == row ? std::string() : "the focused row is " + std::to_string(at);
    };
}

TEST(Keyboard, EveryRoadByKeysAlone) {
    Frame frame;
    HWND main = frame.desktop.window();
    SetForegroundWindow(main);
    // Activation comes back from the X server late under Wine: keys pressed before it go nowhere.
    ASSERT_TRUE(pump_until([main] { return GetActiveWindow() == main && GetFocus(); }, 15000));
    const std::string m(MAIN_WINDOW_TITLE);
    const std::string settings(SETTINGS_TITLE);
    const std::string picker = "Parcel source";
    const std::string removal = "Remove a folder";
    const std::string dialog(DELIVERY_DIALOG_TITLE);
    const std::string token(TOKEN_PROMPT_TITLE);
    const std::string checks = "Before you send";
    HWND tables = frame.desktop.list(SourceKind::tables);
    KeyWalk walk(
        {
            // A delivery is ready: the focus starts on Send. Tab goes round in reading order.
            {{}, m, "Send to Dalvento"},
            {{VK_TAB}, m, "Hide map layers"},
            {{VK_TAB}, m, "ArcGIS Source"},
            {{VK_TAB}, m, "Map layers"},
            {{VK_TAB}, m, "Hide parcel data"},
            {{VK_TAB}, m, "Parcel Source"},
            {{VK_TAB}, m, "Parcel data"},
            {{VK_TAB}, m, "Hide other data"},
            {{VK_TAB}, m, "Add Other Source"},
            {{VK_TAB}, m, "Other data"},
            {{VK_TAB}, m, "Status"},
            {{VK_TAB}, m, "Settings"},
            {{VK_TAB}, m, "Bundle"},
            {{SHIFT, VK_TAB}, m, "Settings"},
            // Access keys: a list's label puts the focus in the list, where arrows move the row.
            {{ALT, 'P'}, m, "Parcel data"},
            {{VK_DOWN}, m, "Parcel data", focused_row(tables, 0)},
            {{VK_DOWN}, m, "Parcel data", focused_row(tables, 1)},
            {{ALT, 'M'}, m, "Map layers"},
            {{ALT, 'D'}, m, "Other data"},
            // Hide and show each section: the button keeps the focus and says what it does now.
            {{ALT, 'H'}, m, "Show map layers"},
            {{ALT, 'H'}, m, "Hide map layers"},
            {{ALT, 'I'}, m, "Show parcel data"},
            {{ALT, 'W'}, m, "Hide parcel data"},
            {{ALT, 'E'}, m, "Show other data"},
            {{ALT, 'O'}, m, "Hide other data"},
            // Settings: Esc closes it and the focus comes back to its button.
            {{ALT, 'T'}, settings, "Office token"},
            {{VK_TAB}, settings, "Save"},
            {{ALT, 'O'}, settings, "Office token"},
            {{VK_ESCAPE}, m, "Settings"},
            // The parcel source picker, and the folder-removal chooser over it.
            {{ALT, 'R'}, picker, "Select what should go"},
            {{ALT, 'M'}, picker, "Remember for next time"},
            {{VK_SPACE}, picker, "Remember for next time"},
            {{VK_TAB}, picker, "OK"},
            {{VK_TAB}, picker, "Cancel"},
            {{ALT, 'R'}, removal, "Which folder"},
            {{VK_TAB}, removal, "Remove"},
            {{VK_TAB}, removal, "Cancel"},
            // The picker comes again after the chooser, its list first.
            {{VK_ESCAPE}, picker, "Select what should go"},
            {{VK_ESCAPE}, m, "Parcel Source"},
            // Bundle: the checks' question (Enter goes on), the delivery dialog, its boxes in
            // order, Esc backs out. The focus comes back to the button that opened each window.
            {{ALT, 'B'}, checks, "Yes"},
            {{VK_RETURN}, dialog, "Reason"},  // the sender is filled in already
            {{VK_TAB}, dialog, "Anything unusual"},
            {{VK_TAB}, dialog, "Bundle"},
            {{VK_TAB}, dialog, "Cancel"},
            {{ALT, 'S'}, dialog, "Sent by"},
            {{VK_ESCAPE}, m, "Bundle"},
            // Send without a token: the checks, the delivery dialog, then the token prompt; Esc leaves.
            {{ALT, 'S'}, checks, "Yes"},
            {{VK_RETURN}, dialog, "Reason"},
            {{ALT, 'N'}, token, "Paste the token"},
            {{VK_TAB}, token, "Cancel"},
            {{VK_ESCAPE}, m, "Send to Dalvento"},
        },
        main);
}

// With no delivery ready the focus starts where the office starts: the first Source button.
TEST(Keyboard, FocusStartsOnTheFirstSourceWithoutADelivery) {
    Frame frame(false);
    HWND main = frame.desktop.window();
    SetForegroundWindow(main);
    EXPECT_TRUE(pump_until([main] { return GetActiveWindow() == main && GetFocus(); }, 15000));
    EXPECT_EQ(spoken_name(GetFocus()), "Add ArcGIS Source...");
}

// The review is reached only after a send has been prepared: driven on its own.
TEST(Keyboard, ReviewByKeys) {
    Frame frame;
    HWND main = frame.desktop.window();
    std::vector<std::string> findings;
    std::vector<std::string> focus;
    // From Back, Tab goes round to the text and on out of it; Alt+S sends.
    Script script(REVIEW_TITLE, {[&](HWND window) {
                                     findings = audit(window);
                                     focus.push_back(spoken_name(GetFocus()));
                                     press({VK_TAB});
                                 },
                                 [&](HWND) {
                                     focus.push_back(spoken_name(GetFocus()));
                                     press({VK_TAB});
                                 },
                                 [&](HWND) {
                                     focus.push_back(spoken_name(GetFocus()));
                                     press({ALT, 'S'});
                                 }});
    EXPECT_EQ(run_review(main, "Delivery: 2026-11-03\r\n"), ReviewAnswer::send);
    EXPECT_EQ(findings, std::vector<std::string>{});
    EXPECT_EQ(focus, (std::vector<std::string>{"Back", std::string(REVIEW_LINE), "Copy"}));
}

// Status changes reach a screen reader once each: an out-of-process reader's hook.
int g_live_region_changes = 0;

void CALLBACK heard(HWINEVENTHOOK, DWORD, HWND, LONG, LONG, DWORD, DWORD) {
    ++g_live_region_changes;
}

TEST(ScreenReader, HearsEachOutcomeOnceAndProgressByTenths) {
    Frame frame;
    HWINEVENTHOOK hook =
        SetWinEventHook(EVENT_OBJECT_LIVEREGIONCHANGED, EVENT_OBJECT_LIVEREGIONCHANGED, nullptr,
                        heard, 0, 0, WINEVENT_OUTOFCONTEXT);
    ASSERT_NE(hook, nullptr);
    const auto settle = [] {
        pump_until([] { return false; }, 300);
        return g_live_region_changes;
    };
    settle();
    g_live_region_changes = 0;

    Time now = std::chrono::system_clock::now();
    frame.model.now = [&] { return now; };
    periodic_check(frame.model);
    EXPECT_EQ(settle(), 1) << "a check's finding";
    now += std::chrono::minutes(5);
    periodic_check(frame.model);
    EXPECT_EQ(settle(), 1) << "the same finding later is not said again";
    render_summary(frame.model);
    EXPECT_EQ(settle(), 1) << "a refresh that changes nothing";

    frame.model.heard_tenth = -1;
    for (uint64_t done = 0; done <= 1000; done += 7)
        announce_progress(frame.model, done, 1000);
    EXPECT_EQ(settle(), 1 + 10) << "each tenth from 0 to 9 once, and 10 for the last";
    UnhookWinEvent(hook);
}

TEST(ScreenReader, ControlsHaveNamesThatTellThemApart) {
    Frame frame;
    EXPECT_EQ(accessible_name_given(frame.desktop.control(ID_TOGGLE_LAYERS)), "Hide map layers");
    EXPECT_EQ(accessible_name_given(frame.desktop.control(ID_TOGGLE_OTHER)), "Hide other data");
    SendMessageW(frame.desktop.control(ID_TOGGLE_TABLES), BM_CLICK, 0, 0);
    EXPECT_EQ(accessible_name_given(frame.desktop.control(ID_TOGGLE_TABLES)), "Show parcel data");
    EXPECT_EQ(accessible_name_given(frame.desktop.control(ID_STATUS_BOX)), "Status");
    for (size_t i = 0; i < 3; ++i) {
        const SourceSection& section = frame.desktop.section(static_cast<SourceKind>(i));
        EXPECT_EQ(GetWindow(section.list(), GW_HWNDPREV), section.label());
    }
    // Through the accessibility API itself, where Wine answers: a button by its text, the
    // access key's ampersand left out.
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    IAccessible* bundle = nullptr;
    ASSERT_TRUE(SUCCEEDED(AccessibleObjectFromWindow(frame.desktop.control(ID_BUNDLE),
                                                     static_cast<DWORD>(OBJID_CLIENT),
                                                     IID_IAccessible,
                                                     reinterpret_cast<void**>(&bundle))));
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    ASSERT_TRUE(SUCCEEDED(bundle->get_accName(self, &name)));
    EXPECT_EQ(utf8(name ? name : L""), "Bundle...");
    SysFreeString(name);
    bundle->Release();
    CoUninitialize();
}

}  // namespace
}  // namespace dalvento::win32
