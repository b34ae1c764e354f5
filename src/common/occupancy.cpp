#include "occupancy.h"

#include <cstdint>
#include <cstring>

namespace {

enum truth { TRUTH_FALSE, TRUTH_TRUE, TRUTH_NONE };

// Hyprland writes flags as booleans, older builds as integers; anything else
// is neither true nor false.
truth truth_of(yyjson_val *v) {
    if (yyjson_is_bool(v))
        return yyjson_get_bool(v) ? TRUTH_TRUE : TRUTH_FALSE;
    if (yyjson_is_int(v))
        return yyjson_get_sint(v) != 0 ? TRUTH_TRUE : TRUTH_FALSE;
    return TRUTH_NONE;
}

bool is_filled_object(yyjson_val *v) {
    return yyjson_is_obj(v) && yyjson_obj_size(v) > 0;
}

// The integer `id` of a workspace object, as Hyprland's 32-bit id.
bool workspace_id(yyjson_val *workspace, int32_t *id) {
    if (!is_filled_object(workspace))
        return false;
    yyjson_val *v = yyjson_obj_get(workspace, "id");
    if (!yyjson_is_int(v))
        return false;
    *id = (int32_t)yyjson_get_sint(v);
    return true;
}

// Powered and enabled: `disabled` not true, `dpmsStatus` absent or true.
// The caller has checked that the monitor is an object with members.
bool monitor_is_active(yyjson_val *monitor) {
    if (truth_of(yyjson_obj_get(monitor, "disabled")) == TRUTH_TRUE)
        return false;
    yyjson_val *dpms = yyjson_obj_get(monitor, "dpmsStatus");
    return !dpms || truth_of(dpms) == TRUTH_TRUE;
}

// Monitors that take part in a walk: inactive monitors are left out, while
// anything that is not a monitor object stays in (and can never be covered).
bool monitor_counts(yyjson_val *monitor) {
    return !is_filled_object(monitor) || monitor_is_active(monitor);
}

// Hyprland 0.56 and later: 2 fullscreen (0 none, 1 maximized); 0.42 to 0.55:
// a bit mask in which 3 is a maximized window gone fullscreen, as browsers
// and video players do; 0.41 and older: a boolean, with fullscreenMode 0 for
// fullscreen and 1 for maximized.
bool client_is_fullscreen(yyjson_val *client) {
    yyjson_val *fs = yyjson_obj_get(client, "fullscreen");
    if (yyjson_is_int(fs)) {
        int64_t v = yyjson_get_sint(fs);
        return v == 2 || v == 3;
    }
    if (!yyjson_is_true(fs))
        return false;
    yyjson_val *mode = yyjson_obj_get(client, "fullscreenMode");
    return yyjson_is_int(mode) && yyjson_get_sint(mode) == 0;
}

bool documents_usable(yyjson_val *clients, yyjson_val *monitors) {
    return yyjson_is_arr(clients) && yyjson_is_arr(monitors) && yyjson_arr_size(monitors) > 0;
}

} // namespace

bool occupancy_monitor_covered(yyjson_val *monitor, yyjson_val *clients, int mode) {
    if (!is_filled_object(monitor) || !monitor_is_active(monitor))
        return false;
    int32_t active;
    if (!workspace_id(yyjson_obj_get(monitor, "activeWorkspace"), &active))
        return false;
    int32_t special = 0;
    bool has_special =
        workspace_id(yyjson_obj_get(monitor, "specialWorkspace"), &special) && special != 0;
    if (!yyjson_is_arr(clients))
        return false;

    size_t idx, max;
    yyjson_val *client;
    yyjson_arr_foreach(clients, idx, max, client) {
        if (!is_filled_object(client))
            continue;
        if (truth_of(yyjson_obj_get(client, "hidden")) == TRUTH_TRUE)
            continue;
        yyjson_val *mapped = yyjson_obj_get(client, "mapped");
        if (mapped && truth_of(mapped) != TRUTH_TRUE)
            continue;
        int32_t ws;
        if (!workspace_id(yyjson_obj_get(client, "workspace"), &ws))
            continue;
        if (ws != active && !(has_special && ws == special))
            continue;
        if (mode != OCCUPANCY_FULLSCREEN)
            return true;
        if (client_is_fullscreen(client))
            return true;
    }
    return false;
}

bool occupancy_all_covered(yyjson_val *clients, yyjson_val *monitors, int mode) {
    if (!documents_usable(clients, monitors))
        return false;
    bool tested = false;
    size_t idx, max;
    yyjson_val *monitor;
    yyjson_arr_foreach(monitors, idx, max, monitor) {
        if (!monitor_counts(monitor))
            continue;
        tested = true;
        if (!occupancy_monitor_covered(monitor, clients, mode))
            return false;
    }
    return tested;
}

bool occupancy_covered_outputs(yyjson_val *clients, yyjson_val *monitors, int mode, char *buf,
                               size_t size) {
    if (!buf || size < 2)
        return false;
    buf[0] = '\0';
    if (!documents_usable(clients, monitors))
        return false;

    size_t used = 0;
    size_t idx, max;
    yyjson_val *monitor;
    yyjson_arr_foreach(monitors, idx, max, monitor) {
        if (!monitor_counts(monitor) || !occupancy_monitor_covered(monitor, clients, mode))
            continue;
        yyjson_val *name = yyjson_obj_get(monitor, "name");
        if (!yyjson_is_str(name))
            continue;
        const char *parts[2] = {used > 0 ? "," : "", yyjson_get_str(name)};
        for (const char *part : parts) {
            size_t len = strlen(part);
            size_t room = size - 1 - used;
            if (len > room) {
                // Keep what fits; a longer list than the caller expects is
                // still a covered list.
                memcpy(buf + used, part, room);
                buf[size - 1] = '\0';
                return true;
            }
            memcpy(buf + used, part, len);
            used += len;
            buf[used] = '\0';
        }
    }
    return used > 0;
}
