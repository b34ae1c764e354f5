// Whether Hyprland's monitors show windows or fullscreen windows, from the
// parsed j/clients and j/monitors documents. Pure: no I/O, no state.
#pragma once

#include <cstddef>
#include <yyjson.h>

enum occupancy_mode {
    OCCUPANCY_ANY_WINDOW = 0,
    OCCUPANCY_FULLSCREEN = 1,
};

bool occupancy_monitor_covered(yyjson_val *monitor, yyjson_val *clients, int mode);
bool occupancy_all_covered(yyjson_val *clients, yyjson_val *monitors, int mode);
bool occupancy_covered_outputs(yyjson_val *clients, yyjson_val *monitors, int mode, char *buf,
                               size_t size);
