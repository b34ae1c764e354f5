#include "daemon.h"

#include "hypr.h"
#include "media.h"
#include "paths.h"
#include "policy.h"
#include "power.h"
#include "supervisor.h"
#include "transcode.h"

// Zero-filled at program start; main() sets the non-zero initial values.
daemon_state g_daemon;

// The policy's view of the daemon. A missing monitor reports all its flags as
// false.
void daemon_policy_inputs(policy_inputs *in) {
    const config &cfg = g_daemon.config;
    in->pause_fullscreen = cfg.pause_fullscreen;
    in->pause_occupied_workspace = cfg.pause_occupied_workspace;
    in->battery_poster = cfg.battery_poster;
    daemon_set_text(in->battery_mode, sizeof in->battery_mode, cfg.battery_mode);
    in->always_animate = g_daemon.always_animate;
    in->power_sleeping = power_sleeping(g_daemon.power);
    in->power_locked = power_locked(g_daemon.power);
    in->power_on_battery = power_on_battery(g_daemon.power);
    in->have_hypr = g_daemon.hypr != nullptr;
    in->hypr_locked = hypr_locked(g_daemon.hypr);
    in->hypr_monitors_off = hypr_monitors_off(g_daemon.hypr);
    in->hypr_fullscreen = hypr_fullscreen(g_daemon.hypr);
    in->hypr_occupied = hypr_occupied(g_daemon.hypr);
}

int daemon_reload_config(char *path, size_t size) {
    config fresh;
    config_set_defaults(&fresh);
    if (path_config_file(path, size) != 0) {
        daemon_set_text(path, size, "");
        return -1;
    }
    if (config_load(&fresh, path) != 0)
        return -1;
    g_daemon.config = fresh;
    transcode_set_cache_limit(g_daemon.config.cache_max_mb);
    transcode_set_proxy_limit(g_daemon.config.proxy_max_mb);
    (void)render_fade(g_daemon.supervisor, g_daemon.config.fade_ms);
    (void)render_volume(g_daemon.supervisor, g_daemon.config.volume);
    (void)render_fit(g_daemon.supervisor, &g_daemon.config);
    reevaluate();
    return 0;
}
