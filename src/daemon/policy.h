// Playback policy: decides from the configuration, the monitors and the user's
// flags whether the wallpaper animation runs, with a one-word reason.
#pragma once

#include "config.h"

struct policy;

// Everything the decision reads besides the policy's own flags. The daemon
// fills it from its configuration and monitors; a missing monitor reads false.
struct policy_inputs {
    bool pause_fullscreen;
    bool pause_occupied_workspace;
    bool battery_poster;
    char battery_mode[16];
    bool always_animate;
    bool power_sleeping;
    bool power_locked;
    bool power_on_battery;
    bool have_hypr; // false: the fullscreen and occupancy steps are skipped
    bool hypr_locked;
    bool hypr_monitors_off;
    bool hypr_fullscreen;
    bool hypr_occupied;
};

// Fills inputs with the current values; called at every evaluation.
typedef void (*policy_input_source)(policy_inputs *inputs);

// Null only when memory is exhausted (or without a source).
policy *policy_new(policy_input_source source);
void policy_free(policy *p);

void policy_evaluate(policy *p);

bool policy_paused(const policy *p);
bool policy_poster(const policy *p);
const char *policy_reason(const policy *p);

void policy_set_manual(policy *p, bool manual);
void policy_set_idle(policy *p, bool idle);
bool policy_manual(const policy *p);
bool policy_idle(const policy *p);

// Stores a new scan result; evaluates at once only when it changed.
void policy_set_blocklisted(policy *p, bool blocklisted);

// Whether the animation could run if only the lock screen, a fullscreen
// window or an occupied workspace stood in the way.
bool policy_feed_allowed(const policy *p);

// Whether a program named in the configured blocklist runs. Does nothing for
// an empty blocklist.
bool blocklist_running(const config *cfg);
