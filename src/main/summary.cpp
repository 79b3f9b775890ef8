#include "main/summary.h"

#include "core/packing/delivery_plan.h"
#include "core/packing/zip_builder.h"
#include "core/platform/platform.h"
#include "core/platform/time_text.h"
#include "core/sources/export_date.h"
#include "core/sources/scan.h"
#include "county/text.h"

namespace dalvento {

namespace {

constexpr std::string_view LIST_TIME = "%Y-%m-%d %H:%M";
constexpr std::string_view EM_DASH = "\xE2\x80\x94";

bool found(const DeliveryUnit& unit) {
    return unit.total_bytes.has_value();
}

SourceKind section_of(UnitKind kind) {
    switch (kind) {
        case UnitKind::layer:
            return SourceKind::layers;
        case UnitKind::table:
            return SourceKind::tables;
        case UnitKind::file:
            break;
    }
    return SourceKind::other;
}

ListRow row_for(const DeliveryUnit& unit) {
    return {unit_label(unit),
            unit.newest_modified ? format_local(*unit.newest_modified, LIST_TIME) : "",
            unit.last_sent ? format_local(*unit.last_sent, LIST_TIME) : "",
            unit.total_bytes ? size_text(*unit.total_bytes) : "",
            unit_status_word(unit),
            unit.folder ? platform::path_text(*unit.folder) : ""};
}

// Found units of a kind, and how many of them are selected.
struct KindCount {
    size_t found = 0;
    size_t selected = 0;
};

KindCount count_kind(const std::vector<DeliveryUnit>& units, UnitKind kind) {
    KindCount count;
    for (const DeliveryUnit& unit : units) {
        if (unit.kind != kind || !found(unit)) continue;
        ++count.found;
        if (unit.selected) ++count.selected;
    }
    return count;
}

std::string source_caption(std::string_view kind_word, bool configured, const KindCount& count) {
    const std::string kind(kind_word);
    if (!configured) return "Add " + kind + " Source...";
    const size_t more = count.found - count.selected;
    if (more > 0) return kind + " Source... (" + std::to_string(more) + " more here)";
    return kind + " Source...";
}

std::vector<std::string> status_lines(const std::vector<DeliveryUnit>& units, const State& state,
                                      const std::string& status_line) {
    std::vector<std::string> lines;

    size_t core = 0;
    size_t core_ready = 0;
    std::vector<std::string> also;
    size_t selected_found = 0;
    size_t unchanged = 0;
    for (const DeliveryUnit& unit : units) {
        if (unit.core) {
            ++core;
            if (unit.selected && is_ready(unit)) ++core_ready;
        } else if (found(unit)) {
            also.push_back(unit_label(unit) + (unit.selected ? " (selected)" : ""));
        }
        if (found(unit) && unit.selected) {
            ++selected_found;
            if (unit.unchanged) ++unchanged;
        }
    }
    lines.push_back(std::to_string(core_ready) + " of " + std::to_string(core) +
                    " core units ready.");
    if (!also.empty()) lines.push_back("Also in these folders: " + join(also, ", ") + ".");

    if (const std::optional<ExportDate> date = settle_export_date(units)) {
        lines.push_back("Export date: " + format_date(date->date, "%B %-d, %Y") + " (from " +
                        date->source + "). The zip will be named " +
                        zip_file_name(date->date, units) + ".");
        for (const std::string& warning : date->warnings)
            lines.push_back("Check: " + warning);
    }
    if (state.last_sent_at) {
        lines.push_back("Last delivery packed: " + *state.last_sent_at + ".");
    }
    if (unchanged > 0) {
        lines.push_back(std::to_string(selected_found - unchanged) + " of " +
                        std::to_string(selected_found) +
                        " changed since the last delivery; only those go in the zip.");
    }
    for (const DeliveryUnit& unit : units) {
        if (!found(unit) && !unit.folder) continue;
        for (const UnitMessage& message : unit.messages) {
            lines.push_back(std::string(message.blocking ? "Problem" : "Check") + ", " + unit.key +
                            ": " + message.text);
        }
    }
    if (!status_line.empty()) lines.push_back(status_line);
    return lines;
}

}  // namespace

std::string with_progress_line(const std::string& status_text, const std::string& progress_line) {
    if (progress_line.empty()) return status_text;
    if (status_text.empty()) return progress_line;
    return status_text + "\r\n" + progress_line;
}

RenderedSummary summarise(const std::vector<DeliveryUnit>& units, const State& state,
                          const std::string& status_line, bool sending) {
    RenderedSummary summary;
    for (const DeliveryUnit& unit : units) {
        summary.rows[static_cast<size_t>(section_of(unit.kind))].push_back(row_for(unit));
    }

    const KindCount layers = count_kind(units, UnitKind::layer);
    const KindCount tables = count_kind(units, UnitKind::table);
    const KindCount others = count_kind(units, UnitKind::file);
    summary.source_button_captions[0] =
        source_caption("ArcGIS", !state.layers_dirs.empty(), layers);
    summary.source_button_captions[1] =
        source_caption("Parcel", !state.tables_dirs.empty(), tables);
    if (state.other_dirs.empty()) {
        summary.source_button_captions[2] = "Add Other Source...";
    } else if (others.found > 0) {
        summary.source_button_captions[2] =
            "Other Source... (" + std::to_string(others.found) + " files)";
    } else {
        summary.source_button_captions[2] = "Other Source...";
    }

    const std::string dash(EM_DASH);
    summary.headlines[0] = state.layers_dirs.empty()
                               ? "Map layers " + dash + " not added yet"
                               : "Map layers " + dash + " " +
                                     count_with_noun(layers.found, "layer") + ", " +
                                     std::to_string(layers.selected) + " selected";
    size_t tables_ready = 0;
    for (const DeliveryUnit& unit : units) {
        if (unit.kind == UnitKind::table && unit.core && is_ready(unit)) ++tables_ready;
    }
    summary.headlines[1] =
        "Parcel data " + dash + " " + std::to_string(tables_ready) + " of 5 tables ready";
    summary.headlines[2] = state.other_dirs.empty()
                               ? "Other data " + dash + " none added"
                               : "Other data " + dash + " " +
                                     count_with_noun(others.found, "file") + ", " +
                                     std::to_string(others.selected) + " selected";

    summary.status_text = join(status_lines(units, state, status_line), "\r\n");
    size_t core = 0;
    size_t core_ready = 0;
    for (const DeliveryUnit& unit : units) {
        if (!unit.core) continue;
        ++core;
        if (unit.selected && is_ready(unit)) ++core_ready;
    }
    summary.delivery_ready = core > 0 && core_ready == core && !nothing_new(units);
    // With nothing new the button stays usable: Send asks "Nothing new", as Bundle does.
    if (!sending) summary.send_enabled = true;
    return summary;
}

void render_summary(MainWindow& window) {
    std::vector<DeliveryUnit> units = scan_sources(window.state);
    save_state_after_refresh(window);
    RenderedSummary summary = summarise(units, window.state, window.status_line,
                                        window.send_job.has_value() || window.pack_job);
    window.status_without_progress = summary.status_text;
    summary.status_text = with_progress_line(summary.status_text, window.progress_line);
    window.desktop.show_summary(summary);
    window.units = std::move(units);
    announce_status_change(window, (window.send_job || window.pack_job)
                                       ? window.status_without_progress
                                       : summary.status_text);
}

void announce_status_change(MainWindow& window, const std::string& status_text) {
    std::string heard = status_text;
    const std::string& check = window.status_line;
    if (const size_t found = heard.find(check); !check.empty() && found != std::string::npos) {
        // "Checked at 14:05: nothing new …" is heard as "nothing new …".
        const size_t finding = check.find(": ");
        if (finding != std::string::npos) heard.replace(found, check.size(), check.substr(finding + 2));
    }
    if (heard == window.heard_status) return;
    window.heard_status = std::move(heard);
    const size_t newest = status_text.rfind('\n');
    window.desktop.announce_status(newest == std::string::npos ? status_text
                                                               : status_text.substr(newest + 1));
}

void announce_progress(MainWindow& window, uint64_t done, uint64_t total) {
    const int tenth = total == 0 ? 0 : static_cast<int>(std::min(done, total) * 10 / total);
    if (tenth == window.heard_tenth) return;
    window.heard_tenth = tenth;
    window.desktop.announce_status(window.progress_line);
}

}  // namespace dalvento
