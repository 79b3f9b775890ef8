// What the tests of the modal windows share: a script that drives a window as a user would from
// inside its own message loop, ways to find and press its controls, and an owner window.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "main/desktop.h"
#include "main/win32/win32_ui.h"
#include "main/window_design.h"
#include "window_probe.h"

namespace dalvento {

using Step = std::function<void(HWND)>;

// The window of this thread with the given title: other programs under the same Wine server may
// have windows with the same titles open.
inline HWND own_window(std::string_view title) {
    struct Search {
        std::wstring title;
        HWND found = nullptr;
    } search{win32::wide(title)};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM l) -> BOOL {
            auto* s = reinterpret_cast<Search*>(l);
            wchar_t text[256] = {};
            GetWindowTextW(window, text, 256);
            if (s->title != text) return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Runs the steps one per timer tick, each with the visible top-level window titled `title`, from
// whatever message loop is running. Gives up (failing the test) if the window never appears, and
// closes it if it outlives the last step.
class Script {
  public:
    Script(std::string_view title, std::vector<Step> steps)
        : title_(title), steps_(std::move(steps)) {
        current_ = this;
        timer_ = SetTimer(nullptr, 0, 20, tick);
    }
    ~Script() {
        KillTimer(nullptr, timer_);
        current_ = nullptr;
        EXPECT_EQ(next_, steps_.size()) << "not every step ran";
    }
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

  private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        if (current_ && !current_->busy_) current_->advance();
    }

    void advance() {
        HWND window = own_window(title_);
        if (!window || !IsWindowVisible(window)) {
            if (next_ == 0 && ++waited_ > 250) {
                ADD_FAILURE() << "the window never appeared";
                KillTimer(nullptr, timer_);
            }
            return;
        }
        if (next_ < steps_.size()) {
            busy_ = true;
            steps_[next_++](window);
            busy_ = false;
            return;
        }
        if (++waited_ == 250) {
            ADD_FAILURE() << "the window stayed open after the last step";
            SendMessageW(window, WM_CLOSE, 0, 0);
        } else if (waited_ > 500) {
            PostMessageW(nullptr, WM_QUIT, 0, 0);
            KillTimer(nullptr, timer_);
        }
    }

    static inline Script* current_ = nullptr;
    std::string title_;
    std::vector<Step> steps_;
    size_t next_ = 0;
    int waited_ = 0;
    bool busy_ = false;
    UINT_PTR timer_ = 0;
};

inline std::vector<HWND> children(HWND window, const wchar_t* window_class) {
    std::vector<HWND> found;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[32] = {};
        GetClassNameW(child, name, 32);
        if (lstrcmpiW(name, window_class) == 0) found.push_back(child);
    }
    return found;
}

inline HWND button(HWND window, std::string_view caption) {
    for (HWND child : children(window, L"Button")) {
        if (win32::probe::shown_text(child) == caption) return child;
    }
    ADD_FAILURE() << "no button " << caption;
    return nullptr;
}

inline std::vector<HWND> check_boxes(HWND window) {
    std::vector<HWND> boxes;
    for (HWND child : children(window, L"Button")) {
        if ((GetWindowLongPtrW(child, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
            boxes.push_back(child);
        }
    }
    return boxes;
}

inline void click(HWND window, std::string_view caption) {
    SendMessageW(button(window, caption), BM_CLICK, 0, 0);
}

inline bool checked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// A key as the user types it: posted to the focused control, so that it goes through the loop's
// IsDialogMessageW.
inline void press(UINT key) {
    PostMessageW(GetFocus(), WM_KEYDOWN, key, 0);
}

inline void type(HWND edit, std::string_view text) {
    win32::set_window_text(edit, text);
}

inline std::string cue(HWND edit) {
    wchar_t text[128] = {};
    SendMessageW(edit, EM_GETCUEBANNER, reinterpret_cast<WPARAM>(text), 128);
    return win32::utf8(text);
}

// Lets the messages still in flight from the last window arrive (focus and activation come back
// from the X server late under Wine). A quit left behind would end an outer loop too early.
inline void settle() {
    const DWORD end = GetTickCount() + 300;
    while (GetTickCount() < end) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                ADD_FAILURE() << "a stray quit message was left in the queue";
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    }
}

class Dialogs : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(win32::register_window_classes());
        win32::make_default_font();
    }

    void SetUp() override {
        main_ = CreateWindowExW(0, win32::MAIN_WINDOW_CLASS, L"Dialogs test owner",
                                win32::TOP_LEVEL_STYLE, 100, 80, 600, 400, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(main_, nullptr);
        const Rect size = win32::scaled({0, 0, MAIN_WINDOW.width, MAIN_WINDOW.height});
        win32::set_client_size(main_, size.width, size.height);
        settle();
    }

    void TearDown() override { DestroyWindow(main_); }

    // The window is gone and the owner usable again.
    void expect_closed(std::string_view title) {
        settle();
        EXPECT_EQ(own_window(title), nullptr);
        EXPECT_TRUE(IsWindowEnabled(main_));
    }

    HWND main_ = nullptr;
};

}  // namespace dalvento
