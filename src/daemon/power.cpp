#include "power.h"

#include "log.h"
#include "media.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(HAVE_BASU)
#include <basu/sd-bus.h>
#else
#include <systemd/sd-bus.h>
#endif

struct power_monitor {
    sd_bus *bus; // null while disconnected
    int64_t retry_at;
    bool on_battery;
    bool locked;
    bool sleeping;
};

namespace {

constexpr int64_t RETRY_MS = 30000;
constexpr uint64_t CALL_TIMEOUT_US = 500000;

constexpr const char *UPOWER_NAME = "org.freedesktop.UPower";
constexpr const char *UPOWER_PATH = "/org/freedesktop/UPower";
constexpr const char *UPOWER_IFACE = "org.freedesktop.UPower";
constexpr const char *LOGIN_NAME = "org.freedesktop.login1";
constexpr const char *LOGIN_PATH = "/org/freedesktop/login1";
constexpr const char *LOGIN_MANAGER = "org.freedesktop.login1.Manager";
constexpr const char *LOGIN_SESSION = "org.freedesktop.login1.Session";
constexpr const char *PROPERTIES_IFACE = "org.freedesktop.DBus.Properties";

struct message_unref {
    void operator()(sd_bus_message *m) const {
        sd_bus_message_unref(m);
    }
};
using message_ptr = std::unique_ptr<sd_bus_message, message_unref>;

bool streq(const char *a, const char *b) {
    return a && b && strcmp(a, b) == 0;
}

// A boolean property; false when it cannot be read (the caller keeps its flag).
bool read_bool(sd_bus *bus, const char *service, const char *path, const char *iface,
               const char *name, bool *out) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int value = 0;
    int r = sd_bus_get_property_trivial(bus, service, path, iface, name, &error, 'b', &value);
    sd_bus_error_free(&error);
    if (r < 0)
        return false;
    *out = value != 0;
    return true;
}

// PropertiesChanged (sa{sv}as) of UPower or of the session: stores OnBattery
// and LockedHint, skips every other entry, re-evaluates once when a stored
// value changed. A message of another shape is dropped where it stops making
// sense.
int handle_properties_changed(sd_bus_message *msg, void *data, sd_bus_error *) {
    auto *m = static_cast<power_monitor *>(data);
    const char *iface = nullptr;
    if (sd_bus_message_read(msg, "s", &iface) < 0)
        return 0;
    if (sd_bus_message_enter_container(msg, 'a', "{sv}") < 0)
        return 0;
    bool changed = false;
    for (;;) {
        int r = sd_bus_message_enter_container(msg, 'e', "sv");
        if (r < 0)
            return 0;
        if (r == 0)
            break;
        const char *name = nullptr;
        if (sd_bus_message_read(msg, "s", &name) < 0)
            return 0;
        bool *target = nullptr;
        if (streq(iface, UPOWER_IFACE) && streq(name, "OnBattery"))
            target = &m->on_battery;
        else if (streq(iface, LOGIN_SESSION) && streq(name, "LockedHint"))
            target = &m->locked;
        if (target) {
            int value = 0;
            if (sd_bus_message_read(msg, "v", "b", &value) < 0)
                return 0;
            changed |= *target != (value != 0);
            *target = value != 0;
        } else if (sd_bus_message_skip(msg, "v") < 0) {
            return 0;
        }
        if (sd_bus_message_exit_container(msg) < 0)
            return 0;
    }
    if (changed)
        reevaluate();
    return 0;
}

// PrepareForSleep(b): re-evaluates even for a repeated value, so a resume
// always gets a fresh decision.
int handle_prepare_for_sleep(sd_bus_message *msg, void *data, sd_bus_error *) {
    auto *m = static_cast<power_monitor *>(data);
    int value = 0;
    if (sd_bus_message_read(msg, "b", &value) < 0)
        return 0;
    m->sleeping = value != 0;
    reevaluate();
    return 0;
}

int handle_lock(sd_bus_message *msg, void *data, sd_bus_error *) {
    auto *m = static_cast<power_monitor *>(data);
    m->locked = streq(sd_bus_message_get_member(msg), "Lock");
    reevaluate();
    return 0;
}

// The session lock is followed only for the session the daemon runs in.
void follow_session(power_monitor *m, const char *session_id) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *raw = nullptr;
    int r = sd_bus_call_method(m->bus, LOGIN_NAME, LOGIN_PATH, LOGIN_MANAGER, "GetSession", &error,
                               &raw, "s", session_id);
    sd_bus_error_free(&error);
    message_ptr reply(raw);
    const char *path = nullptr;
    if (r < 0 || sd_bus_message_read(reply.get(), "o", &path) < 0)
        return;
    read_bool(m->bus, LOGIN_NAME, path, LOGIN_SESSION, "LockedHint", &m->locked);
    sd_bus_match_signal(m->bus, nullptr, LOGIN_NAME, path, LOGIN_SESSION, "Lock", handle_lock, m);
    sd_bus_match_signal(m->bus, nullptr, LOGIN_NAME, path, LOGIN_SESSION, "Unlock", handle_lock, m);
    sd_bus_match_signal(m->bus, nullptr, LOGIN_NAME, path, PROPERTIES_IFACE, "PropertiesChanged",
                        handle_properties_changed, m);
}

// Opens the bus, reads the three facts and subscribes to their changes. No
// bus, UPower or logind is normal on many machines and is not logged.
void power_connect(power_monitor *m) {
    m->retry_at = now_ms() + RETRY_MS;
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return;
    m->bus = bus;
    sd_bus_set_method_call_timeout(bus, CALL_TIMEOUT_US);
    read_bool(bus, UPOWER_NAME, UPOWER_PATH, UPOWER_IFACE, "OnBattery", &m->on_battery);
    read_bool(bus, LOGIN_NAME, LOGIN_PATH, LOGIN_MANAGER, "PreparingForSleep", &m->sleeping);
    // Matches without a slot live as long as the connection.
    sd_bus_match_signal(bus, nullptr, UPOWER_NAME, UPOWER_PATH, PROPERTIES_IFACE,
                        "PropertiesChanged", handle_properties_changed, m);
    sd_bus_match_signal(bus, nullptr, LOGIN_NAME, LOGIN_PATH, LOGIN_MANAGER, "PrepareForSleep",
                        handle_prepare_for_sleep, m);
    const char *session_id = getenv("XDG_SESSION_ID");
    if (session_id)
        follow_session(m, session_id);
}

} // namespace

power_monitor *power_monitor_new(void) {
    auto *m = static_cast<power_monitor *>(calloc(1, sizeof(power_monitor)));
    if (!m)
        return nullptr;
    power_connect(m);
    return m;
}

void power_monitor_free(power_monitor *monitor) {
    if (!monitor)
        return;
    sd_bus_unref(monitor->bus);
    free(monitor);
}

int power_monitor_fd(const power_monitor *monitor) {
    if (!monitor || !monitor->bus)
        return -1;
    int fd = sd_bus_get_fd(monitor->bus);
    return fd < 0 ? -1 : fd;
}

int power_monitor_process(power_monitor *monitor) {
    if (!monitor)
        return 0;
    if (!monitor->bus) {
        if (now_ms() < monitor->retry_at)
            return 0;
        power_connect(monitor);
        if (!monitor->bus)
            return 0;
        // The fresh reads may have changed any flag.
        reevaluate();
    }
    int r;
    while ((r = sd_bus_process(monitor->bus, nullptr)) > 0) {
    }
    if (r < 0) {
        log_warn("system bus disconnected; retrying in 30 seconds");
        sd_bus_close(monitor->bus);
        monitor->bus = sd_bus_unref(monitor->bus);
        monitor->retry_at = now_ms() + RETRY_MS;
        return -1;
    }
    return 0;
}

bool power_on_battery(const power_monitor *monitor) {
    return monitor && monitor->on_battery;
}

bool power_locked(const power_monitor *monitor) {
    return monitor && monitor->locked;
}

bool power_sleeping(const power_monitor *monitor) {
    return monitor && monitor->sleeping;
}
