// The status summary: the one refresh of the interface. It rescans the folders, saves the State,
// and shows the three lists, the source-button captions, the section headlines and the status
// box, then keeps the new units in the main window record.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/tracking/state.h"
#include "county/delivery_unit.h"
#include "main/desktop.h"
#include "main/main_window.h"

namespace dalvento {

// The status box's text with the progress line (packing's or sending's) last, when there is one.
std::string with_progress_line(const std::string& status_text, const std::string& progress_line);

// What a refresh shows for these units, without the progress line; the send button is enabled,
// or left alone while a send or a packing runs.
RenderedSummary summarise(const std::vector<DeliveryUnit>& units, const State& state,
                          const std::string& status_line, bool sending);

// Rescans, saves the State, shows the summary and keeps the new units.
void render_summary(MainWindow& window);

// Has a screen reader told of a status box that changed since it was last told, with its newest
// line. The time of a check is left out of the comparison, so that a check finding what the last
// one found is not announced again; while work runs its progress line is left out too.
void announce_status_change(MainWindow& window, const std::string& status_text);

// Has a screen reader told of work's progress once per tenth of it: `done` of `total`.
void announce_progress(MainWindow& window, uint64_t done, uint64_t total);

}  // namespace dalvento
