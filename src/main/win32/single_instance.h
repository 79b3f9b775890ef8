// One copy of the program per user and state file. Two copies would each save their own State on
// every refresh, and a delivery recorded by one would be wiped by the other's next save. The first
// copy holds a named mutex and marks its main window; a later start finds the window, brings it
// to the front and ends.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace dalvento::win32 {

// The name shared by the copies of one user on one state file.
std::wstring instance_name(const std::filesystem::path& state_file);

class InstanceClaim {
  public:
    // Takes the name's mutex; a copy already holding it makes this one not the first. When no
    // mutex can be had at all the program runs as before, unguarded.
    explicit InstanceClaim(const std::wstring& name);
    ~InstanceClaim();
    InstanceClaim(const InstanceClaim&) = delete;
    InstanceClaim& operator=(const InstanceClaim&) = delete;

    bool first() const { return first_; }

  private:
    HANDLE mutex_ = nullptr;
    bool first_ = true;
};

// Marks the first copy's main window so that later starts find it, and takes the mark off again.
void mark_instance_window(HWND main, const std::wstring& name);
void unmark_instance_window(HWND main, const std::wstring& name);

// The marked window of the copy holding the name; null when there is none (yet).
HWND find_instance_window(const std::wstring& name);

// Brings the running copy's window, or the dialog open over it, to the front. It may still be
// starting, so it is looked for over `wait_ms`. False when it never appeared.
bool bring_instance_to_front(const std::wstring& name, DWORD wait_ms);

}  // namespace dalvento::win32
