// The kiv command-line client: one command per invocation.
#pragma once

// Runs the command named by the argument vector and returns the exit status
// (0 or 1).
int cli_run(int argc, char **argv);
