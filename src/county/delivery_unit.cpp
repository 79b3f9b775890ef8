#include "county/delivery_unit.h"

namespace dalvento {

bool has_blocking_message(const DeliveryUnit& unit) {
    for (const UnitMessage& m : unit.messages) {
        if (m.blocking) return true;
    }
    return false;
}

bool is_ready(const DeliveryUnit& unit) {
    return unit.total_bytes.has_value() && !has_blocking_message(unit);
}

bool goes(const DeliveryUnit& unit, bool send_everything) {
    return unit.selected && is_ready(unit) && (send_everything || !unit.unchanged);
}

std::string unit_label(const DeliveryUnit& unit) {
    if (unit.kind != UnitKind::layer) return unit.key;
    if (unit.files.empty()) return unit.key + " (layer)";
    return unit.key + " (layer, " + std::to_string(unit.files.size()) + " files)";
}

}  // namespace dalvento
