#include "main/bundle.h"

#include <filesystem>
#include <optional>

#include "core/packing/delivery_plan.h"
#include "core/platform/platform.h"
#include "core/tracking/hash_cache.h"
#include "main/packing.h"
#include "main/prepare.h"
#include "main/summary.h"

namespace dalvento {

std::string zip_failure_text(const std::string& error) {
    return error +
           "\n\nIf a file is open in ArcGIS Pro or another program, close it and try again.";
}

std::string clipboard_failure_note(const std::string& reason) {
    return "(Couldn't copy it to the clipboard: " + reason + ".)";
}

std::string read_back_failure_text(const std::string& folder,
                                   const std::optional<std::string>& reason) {
    return "The zip on " + folder + " doesn't match what was written" +
           (reason ? ": " + *reason : std::string()) +
           ". The stick may be failing or smaller than it claims. Try another stick, or save to "
           "another folder.";
}

std::string zip_ready_text(const ZipResult& zip, const std::expected<void, std::string>& copied) {
    const std::string fingerprint =
        copied ? "Fingerprint (SHA-256, copied to clipboard): " + zip.sha256
               : "Fingerprint (SHA-256): " + zip.sha256 + "\n" +
                     clipboard_failure_note(copied.error());
    return "Saved " + platform::path_text(zip.path) + "\n\n" + std::to_string(zip.file_count) +
           " files, " + size_text(zip.bytes) + "\n" + fingerprint + "\nRead back from " +
           platform::path_text(zip.path.parent_path()) +
           " and checked.\n\nNext: send it with Send to Dalvento, or hand over the USB "
           "stick.\n\nShow it in its folder?";
}

void bundle_flow(MainWindow& window) {
    std::optional<PreparedDelivery> prepared = prepare_delivery(window, CONFIRM_BUNDLE);
    if (!prepared) return;

    std::optional<std::filesystem::path> start;
    if (window.state.out_dir) start = platform::path_from_text(*window.state.out_dir);
    const std::optional<std::filesystem::path> folder =
        window.desktop.pick_folder(FolderDialog::zip_destination, start);
    if (!folder) return;

    const std::filesystem::path zip_path =
        choose_zip_path(*folder, prepared->export_date.date, prepared->units);
    const std::filesystem::path chosen = *folder;
    PackRequest request = pack_request(*prepared, zip_path, window.now());
    request.read_back = true;
    start_packing(
        window, std::move(request),
        [chosen, prepared = std::move(*prepared)](MainWindow& window, const ZipResult& zip) {
            record_delivery(window.state, prepared.units, prepared.send_everything);
            window.state.out_dir = platform::path_text(chosen);
            // The check's "a new export is here" is what was just packed.
            window.status_line.clear();
            save_state_or_report(window);
            render_summary(window);
            const auto copied = window.desktop.set_clipboard(zip.sha256);
            if (window.desktop.message_box("Zip ready", zip_ready_text(zip, copied),
                                           BoxStyle::information_question) == BoxAnswer::yes) {
                window.desktop.start_explorer("/select," + platform::path_text(zip.path));
            }
        });
}

}  // namespace dalvento
