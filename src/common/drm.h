// DRM connector power probe over sysfs. Answers 1 (off), 0 (on), -1 (unknown).
#pragma once

bool drm_probe_enabled(void);
int drm_read_attr(const char *dir, const char *entry, const char *attr, char buf[64]);
int drm_all_off(const char *dir);
int drm_output_off(const char *dir, const char *output_name);
