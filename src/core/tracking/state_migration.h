// The state file's older layouts, brought into today's when it is loaded.
#pragma once

#include "core/tracking/state.h"

namespace dalvento {

// Folds the older layouts into the folder lists: the file-name → path map gives the map-layer and
// parcel-table folders where none are known, and is emptied; each single folder joins its list
// unless the list already holds exactly that text, and is left absent.
void migrate_older_layout(State& state);

}  // namespace dalvento
