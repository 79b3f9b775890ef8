// UTF-8 and the UTF-16 text of the Windows API, for the Windows-only code above the platform seam
// (the desktop, the HTTP client, the token store). Implemented in platform_windows.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dalvento::platform {

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring widen(std::string_view text);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string narrow(std::wstring_view wide);

}  // namespace dalvento::platform
