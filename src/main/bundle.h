// The bundle road: the zip written into a folder the user picks (typically a USB stick), the
// delivery recorded, the fingerprint on the clipboard, and the folder shown on request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "core/packing/zip_builder.h"
#include "main/main_window.h"

namespace dalvento {

// The text of the "Couldn't build the zip" box for a builder's error.
std::string zip_failure_text(const std::string& error);

// "(Couldn't copy it to the clipboard: {reason}.)", said where the text would have been copied.
std::string clipboard_failure_note(const std::string& reason);

// The text of the "The zip didn't read back the same" box: the folder the zip was saved to, and
// why, when there is more to say than that the bytes differ.
std::string read_back_failure_text(const std::string& folder,
                                   const std::optional<std::string>& reason);

// The "Zip ready" question's text, with the clipboard's refusal when the fingerprint could not be
// copied. The zip has been read back from its folder's device.
std::string zip_ready_text(const ZipResult& zip, const std::expected<void, std::string>& copied);

// The bundle button's flow.
void bundle_flow(MainWindow& window);

}  // namespace dalvento
