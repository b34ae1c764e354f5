// Follows the Hyprland compositor over its IPC sockets and derives whether the
// wallpaper can be seen: fullscreen windows, occupied workspaces, monitors
// powered off, a lock screen. A change of one of the four flags re-runs the
// daemon's reevaluate step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <yyjson.h>

struct hypr_monitor;

// Event bytes held between reads, at most.
constexpr size_t HYPR_EVENT_BUFFER = 65535;

// Never null except when memory is exhausted; works without a running Hyprland.
hypr_monitor *hypr_monitor_new(void);
void hypr_monitor_free(hypr_monitor *monitor);

// The connected event socket, or -1.
int hypr_monitor_fd(const hypr_monitor *monitor);
// 1 when it refreshed and evaluated, 0 when nothing relevant arrived, -1 when
// the connection was lost (the next tick reconnects).
int hypr_monitor_on_readable(hypr_monitor *monitor);
// Called every two seconds by the main loop.
void hypr_monitor_tick(hypr_monitor *monitor);

// Accessors answer false, 0 or "" for a missing object.
bool hypr_fullscreen(const hypr_monitor *monitor);
bool hypr_occupied(const hypr_monitor *monitor);
bool hypr_monitors_off(const hypr_monitor *monitor);
bool hypr_locked(const hypr_monitor *monitor);
int hypr_monitor_count(const hypr_monitor *monitor);
const char *hypr_covered_outputs(const hypr_monitor *monitor);

// Parses one of the compositor's replies: standard JSON, except that text
// inside strings need not be valid UTF-8. Null when it does not parse; the
// caller frees the document.
yyjson_doc *hypr_parse_reply(const char *text, size_t len);

// Consumes the complete event lines of buf (len bytes followed by a NUL, room
// for HYPR_EVENT_BUFFER + 1) and answers whether one of them calls for a
// refresh. The incomplete rest moves to the start; a rest that fills the
// whole buffer can never complete and is dropped.
bool hypr_take_events(char *buf, uint64_t *len);
