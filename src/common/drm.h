// DRM connector power probe over sysfs. Answers 1 (off), 0 (on), -1 (unknown).
#pragma once

#include <cstdint>

enum {
    // A directory entry name: card, hyphen, connector name.
    DRM_ENTRY_SIZE = 256,
    DRM_OUTPUT_NAME_SIZE = 128,
    // How long a name without a connector is believed before looking again.
    DRM_LOOKUP_RETRY_MS = 10000,
};

// One output's connector, found by a directory walk and kept, so that the
// probes around every frame read two small files instead of walking the
// directory. Zero-initialised before the first probe.
struct drm_connector {
    char output_name[DRM_OUTPUT_NAME_SIZE]; // the name it was looked up for
    char entry[DRM_ENTRY_SIZE];             // "" when none was found
    int64_t looked_up_at;                   // the caller's clock at the walk; 0 = never
};

bool drm_probe_enabled(void);
int drm_read_attr(const char *dir, const char *entry, const char *attr, char buf[64]);
int drm_all_off(const char *dir);
int drm_output_off(const char *dir, const char *output_name);
// drm_output_off through the kept connector. Walks the directory on the
// first call, for another name, when the kept connector is no longer
// connected, and when none was found, at most once per DRM_LOOKUP_RETRY_MS.
int drm_connector_off(drm_connector *connector, const char *dir, const char *output_name,
                      int64_t now);
