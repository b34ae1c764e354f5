// Follows battery power (UPower), imminent sleep and the session lock (logind)
// on the system bus. Handlers only store the flags and re-run the daemon's
// reevaluate step; a lost bus is retried every 30 seconds.
#pragma once

struct power_monitor;

// Never null except when memory is exhausted; works without a system bus.
power_monitor *power_monitor_new(void);
void power_monitor_free(power_monitor *monitor);

// The bus connection's descriptor, or -1 while disconnected.
int power_monitor_fd(const power_monitor *monitor);
// Called once per loop iteration: reconnects when due, dispatches queued
// messages. 0, or -1 when the bus has just been lost.
int power_monitor_process(power_monitor *monitor);

// Accessors answer false for a missing object; the flags keep their last
// values while the bus is away.
bool power_on_battery(const power_monitor *monitor);
bool power_locked(const power_monitor *monitor);
bool power_sleeping(const power_monitor *monitor);
