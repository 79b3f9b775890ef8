// What the modal windows share: the first answer ends the window's loop and later ones are
// ignored, Enter and Esc arrive as IsDialogMessageW delivers them, and the close box never
// destroys the window itself (run_modal does, after the loop).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "main/win32/win32_ui.h"

namespace dalvento::win32 {

class ModalHandler : public WindowHandler {
  public:
    LRESULT handle(HWND window, UINT message, WPARAM w, LPARAM l) override;
    bool finished() const { return finished_; }

  protected:
    // A button click, or IDOK / IDCANCEL for Enter / Esc.
    virtual void command(HWND window, int id) = 0;
    // The close box (or anything else sending WM_CLOSE).
    virtual void closed(HWND window) = 0;
    // The text of an edit box changed.
    virtual void edited(HWND, int) {}
    // Ends the loop once; the answer recorded before the first call stands.
    void finish();

    // The button Enter presses, 0 for none. With a default button, Enter on a focused push
    // button presses that one instead, as in a dialog box.
    int default_button = 0;

  private:
    bool finished_ = false;
    HWND focus_ = nullptr;  // where the keyboard was when the window last went inactive
};

// Ampersands doubled, so a button or check box shows them instead of underlining what follows.
std::string without_mnemonics(std::string_view text);

}  // namespace dalvento::win32
