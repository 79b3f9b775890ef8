// Packing a zip beside the window, for the bundle and the send roads alike: the window keeps
// answering, the status box shows how much of the sources has been read, Bundle and Send stay
// disabled, and the outcome comes back to the window's thread through the work notice. Closing
// the window while packing asks first, and stopping leaves no partial zip behind.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/packing/zip_builder.h"
#include "main/main_window.h"
#include "main/prepare.h"
#include "main/worker.h"

namespace dalvento {

// What a flow does with its zip once packed, on the window's thread.
using PackedFn = std::function<void(MainWindow& window, const ZipResult& zip)>;

// Why packing gave no zip: the builder's error, or a zip that didn't read back the same (whose
// text is then the whole box text).
struct PackFailure {
    std::string text;
    bool read_back = false;
};

// What packing gives: the zip, or why there is none.
using PackOutcome = std::expected<ZipResult, PackFailure>;

struct PackRequest {
    std::vector<DeliveryUnit> units;
    bool send_everything = false;
    std::string note;
    std::filesystem::path zip_path;
    // Read the finished zip back from its device and compare it with what was written; a zip
    // that differs is deleted.
    bool read_back = false;
};

// The packing under way, as the window keeps it.
struct RunningPack {
    std::shared_ptr<Worker<PackOutcome>> worker;
    std::filesystem::path zip_path;
    PackedFn packed;
    bool asking_to_close = false;  // the "Still packing" question is open
};

// The request for a prepared delivery's zip at zip_path, its NOTE.txt written as packed now.
PackRequest pack_request(const PreparedDelivery& prepared, std::filesystem::path zip_path,
                         Time packed_at);

// The status line while packing: "Packing… {p}%", p the whole percent read of the total.
std::string packing_text(uint64_t read, uint64_t total);

// The status line while the zip is read back: "Checking the zip on the stick… {p}%".
std::string checking_text(uint64_t read, uint64_t total);

// Starts packing on window.start_worker's thread and disables Bundle and Send; `packed` runs
// when the zip is complete (and, when asked, read back the same). A failure, now or later, is
// shown in the "Couldn't build the zip" box, or the read-back's own box.
void start_packing(MainWindow& window, PackRequest request, PackedFn packed);

// The work notice while packing: progress, or the outcome once the main window is free of
// modal windows. False when no packing runs, so the notice is the send's.
bool handle_pack_notice(MainWindow& window);

// A close while packing: asks "Still packing"; Yes stops the packing, waits for its thread,
// deletes the unfinished zip and gives true (go on closing); No gives false.
bool close_while_packing(MainWindow& window);

}  // namespace dalvento
