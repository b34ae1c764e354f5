#include "policy.h"

#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifdef __FreeBSD__
#include <sys/param.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#else
#include <cctype>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#endif

struct policy {
    bool paused;
    bool poster;
    char reason[128];
    bool blocklisted;
    bool manual;
    bool idle;
    policy_input_source source;
};

namespace {

struct decision {
    bool paused;
    bool poster;
    const char *reason;
};

bool battery_wants_poster(const policy_inputs &in) {
    return in.battery_poster || strcmp(in.battery_mode, "poster") == 0;
}

// The first condition that applies decides; poster only on battery.
decision decide(const policy &p, const policy_inputs &in) {
    if (p.manual)
        return {true, false, "manual"};
    if (in.power_sleeping)
        return {true, false, "sleep"};
    // Overrides everything below, but not the user's own pause or sleep.
    if (in.always_animate)
        return {false, false, "always-animate"};
    if (p.idle)
        return {true, false, "idle"};
    if (in.power_locked || in.hypr_locked)
        return {true, false, "locked"};
    if (in.hypr_monitors_off)
        return {true, false, "dpms-off"};
    if (in.power_on_battery) {
        if (battery_wants_poster(in))
            return {true, true, "battery"};
        if (strcmp(in.battery_mode, "pause") == 0)
            return {true, false, "battery"};
        // "play": the battery does not matter.
    }
    if (p.blocklisted)
        return {true, false, "blocklist"};
    if (!in.have_hypr)
        return {false, false, "visible"};
    if (in.pause_fullscreen && in.hypr_fullscreen)
        return {true, false, "fullscreen"};
    if (in.pause_occupied_workspace && in.hypr_occupied)
        return {true, false, "occupied"};
    return {false, false, "visible"};
}

policy_inputs read_inputs(const policy &p) {
    policy_inputs in{};
    snprintf(in.battery_mode, sizeof in.battery_mode, "%s", "play");
    p.source(&in);
    in.battery_mode[sizeof in.battery_mode - 1] = '\0';
    return in;
}

} // namespace

policy *policy_new(policy_input_source source) {
    if (!source)
        return nullptr;
    auto *p = static_cast<policy *>(calloc(1, sizeof(policy)));
    if (!p)
        return nullptr;
    snprintf(p->reason, sizeof p->reason, "%s", "visible");
    p->source = source;
    return p;
}

void policy_free(policy *p) {
    free(p);
}

void policy_evaluate(policy *p) {
    if (!p)
        return;
    policy_inputs in = read_inputs(*p);
    decision d = decide(*p, in);
    if (d.paused != p->paused || d.poster != p->poster || strcmp(d.reason, p->reason) != 0)
        log_info("policy pause=%d poster=%d reason=%s", d.paused ? 1 : 0, d.poster ? 1 : 0,
                 d.reason);
    p->paused = d.paused;
    p->poster = d.poster;
    snprintf(p->reason, sizeof p->reason, "%s", d.reason);
}

bool policy_paused(const policy *p) {
    return p && p->paused;
}

bool policy_poster(const policy *p) {
    return p && p->poster;
}

const char *policy_reason(const policy *p) {
    return p ? p->reason : "";
}

void policy_set_manual(policy *p, bool manual) {
    if (p)
        p->manual = manual;
}

void policy_set_idle(policy *p, bool idle) {
    if (p)
        p->idle = idle;
}

bool policy_manual(const policy *p) {
    return p && p->manual;
}

bool policy_idle(const policy *p) {
    return p && p->idle;
}

void policy_set_blocklisted(policy *p, bool blocklisted) {
    if (!p || p->blocklisted == blocklisted)
        return;
    p->blocklisted = blocklisted;
    policy_evaluate(p);
}

bool policy_feed_allowed(const policy *p) {
    if (!p || p->manual)
        return false;
    policy_inputs in = read_inputs(*p);
    if (in.power_sleeping || in.hypr_monitors_off)
        return false;
    if (in.always_animate)
        return true;
    if (p->idle || p->blocklisted)
        return false;
    if (in.power_on_battery && (battery_wants_poster(in) || strcmp(in.battery_mode, "pause") == 0))
        return false;
    return true;
}

namespace {

// Exact, case-sensitive; the first entry in list order that matches wins.
bool blocklist_matches(const config *cfg, const char *comm) {
    int count = cfg->blocklist_count;
    if (count > CONFIG_BLOCKLIST_MAX)
        count = CONFIG_BLOCKLIST_MAX;
    for (int i = 0; i < count; i++) {
        if (strncmp(cfg->blocklist[i], comm, CONFIG_BLOCKLIST_NAME_SIZE) == 0) {
            log_debug("blocklist match: %s", comm);
            return true;
        }
    }
    return false;
}

} // namespace

#ifdef __FreeBSD__

bool blocklist_running(const config *cfg) {
    if (!cfg || cfg->blocklist_count <= 0)
        return false;
    int mib[3] = {CTL_KERN, KERN_PROC, KERN_PROC_PROC};
    std::unique_ptr<char, decltype(&free)> table(nullptr, free);
    size_t len = 0;
    bool fetched = false;
    // The table may grow between the size query and the fetch.
    for (int attempt = 0; attempt < 4; attempt++) {
        size_t size = 0;
        if (sysctl(mib, 3, nullptr, &size, nullptr, 0) != 0)
            return false;
        size += size / 8;
        table.reset(static_cast<char *>(malloc(size ? size : 1)));
        if (!table)
            return false;
        len = size;
        if (sysctl(mib, 3, table.get(), &len, nullptr, 0) == 0) {
            fetched = true;
            break;
        }
        if (errno != ENOMEM)
            return false;
    }
    if (!fetched || len < sizeof(struct kinfo_proc))
        return false;
    auto *procs = reinterpret_cast<const struct kinfo_proc *>(table.get());
    size_t count = len / sizeof(struct kinfo_proc);
    for (size_t i = 0; i < count; i++) {
        char comm[sizeof procs[i].ki_comm + 1];
        memcpy(comm, procs[i].ki_comm, sizeof procs[i].ki_comm);
        comm[sizeof procs[i].ki_comm] = '\0';
        if (blocklist_matches(cfg, comm))
            return true;
    }
    return false;
}

#else

namespace {

// The kernel's command name of one process (at most 15 characters), or false
// when the process vanished meanwhile.
bool read_comm(const char *pid, char *comm, size_t size) {
    char path[64];
    if (snprintf(path, sizeof path, "/proc/%s/comm", pid) >= (int)sizeof path)
        return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n;
    do {
        n = read(fd, comm, size - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0)
        return false;
    comm[n] = '\0';
    if (comm[n - 1] == '\n')
        comm[n - 1] = '\0';
    return true;
}

struct dir_closer {
    void operator()(DIR *d) const {
        closedir(d);
    }
};

bool all_digits(const char *s) {
    if (!*s)
        return false;
    for (; *s; s++)
        if (!isdigit((unsigned char)*s))
            return false;
    return true;
}

} // namespace

bool blocklist_running(const config *cfg) {
    if (!cfg || cfg->blocklist_count <= 0)
        return false;
    std::unique_ptr<DIR, dir_closer> dir(opendir("/proc"));
    if (!dir)
        return false;
    while (struct dirent *entry = readdir(dir.get())) {
        if (!all_digits(entry->d_name))
            continue;
        char comm[64];
        if (read_comm(entry->d_name, comm, sizeof comm) && blocklist_matches(cfg, comm))
            return true;
    }
    return false;
}

#endif
