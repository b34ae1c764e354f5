#include "daemon.h"

// Zero-filled at program start; main() sets the non-zero initial values.
daemon_state g_daemon;
