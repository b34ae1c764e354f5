// basu installs the sd-bus interface under this name; its declarations match
// libsystemd's. libsystemd's header pulls in Linux-only headers that basu's
// does not, so those are let through here.
#pragma once

#define KIV_FREEBSD_FOREIGN_HEADER 1
#include <systemd/sd-bus.h>
#undef KIV_FREEBSD_FOREIGN_HEADER
