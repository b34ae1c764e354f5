// Request lines sent to the daemon's real server over its socket, dispatched
// by daemon_dispatch on a daemon without a renderer (no supervisor, no
// Hyprland, power monitor or watcher) whose background link names a scratch file. Every
// reply must be a well-formed status line, and a connection the daemon keeps
// open gets exactly one reply per request.
#include "config.h"
#include "daemon.h"
#include "daemon_ipc.h"
#include "fuzz_util.h"
#include "paths.h"
#include "policy.h"
#include "transcode.h"

#include <cstring>
#include <unistd.h>

namespace {

// A fresh daemon for every input, so that each input's outcome is its own.
void daemon_reset(ipc_server *server) {
    transcode_job_free(g_daemon.job);
    policy_free(g_daemon.policy);
    memset(&g_daemon, 0, sizeof g_daemon);
    g_daemon.running = true;
    g_daemon.applied_pause = -1;
    config_set_defaults(&g_daemon.config);
    g_daemon.policy = policy_new(daemon_policy_inputs);
    FUZZ_CHECK(g_daemon.policy != nullptr);
    g_daemon.server = server;
    g_daemon.engine = ENGINE_NONE;
    g_daemon.shell_plugin_state = -1;
    policy_evaluate(g_daemon.policy);
}

ipc_server *g_server;
std::string g_media[2];

// Points the background link at target as the theme system does: the
// scratch files are empty, which `set` would refuse for not decoding.
void link_background(const std::string &target) {
    char link[1024];
    FUZZ_CHECK(path_background_link(link, sizeof link) == 0);
    unlink(link);
    FUZZ_CHECK(symlink(target.c_str(), link) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string &dir = fuzz_scratch_dir();
    g_media[0] = fuzz_write_file("media/background.png", nullptr, 0);
    g_media[1] = fuzz_write_file("media/background.mp4", nullptr, 0);
    const char config_text[] = "[render]\nfade_ms = 100\n[pause]\nblocklist = [\"obs\"]\n";
    fuzz_write_file("config/kiv/config.toml", reinterpret_cast<const uint8_t *>(config_text),
                    strlen(config_text));
    fuzz_write_file("state/tarvine/current/.keep", nullptr, 0);
    g_server = ipc_server_create((dir + "/run/kivd.sock").c_str());
    FUZZ_CHECK(g_server != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    daemon_reset(g_server);
    // The link names a still or a video, so that "refresh" reaches both the
    // shell handoff and the renderer start.
    link_background(g_media[size % 2]);

    fuzz_exchange ex = fuzz_exchange_lines(g_server, daemon_dispatch, data, size);
    for (const std::string &reply : ex.replies)
        fuzz_check_reply(reply);
    FUZZ_CHECK(ex.replies.size() <= ex.requests);
    if (!ex.closed)
        FUZZ_CHECK(ex.replies.size() == ex.requests);
    FUZZ_CHECK(g_daemon.engine != ENGINE_RENDERER);
    return 0;
}
