// The date of the export a delivery carries: from the layer's metadata, else from file times.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "county/delivery_unit.h"

namespace dalvento {

struct ExportDate {
    std::vector<std::string> warnings;  // empty, or the one consistency warning
    std::string source;  // "map metadata", "newest table export" or "newest map file"
    std::chrono::year_month_day date;
};

// The local calendar day of the newest member time among the selected, found units of a kind.
std::optional<std::chrono::year_month_day> newest_export_day(const std::vector<DeliveryUnit>& units,
                                                             UnitKind kind);

// The "<CreaDate>" of the first selected core layer's .shp.xml, when it holds a real date.
std::optional<std::chrono::year_month_day> map_metadata_date(
    const std::vector<DeliveryUnit>& units);

// The export date, where it came from, and the warning when map and tables are days apart.
std::optional<ExportDate> settle_export_date(const std::vector<DeliveryUnit>& units);

}  // namespace dalvento
