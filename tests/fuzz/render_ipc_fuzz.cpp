// Request lines sent to the renderer's real command server over its socket,
// handled by render_ipc_handle_line on a renderer without compositor, GL or
// player: two outputs known by name and size only, no video player and no
// still engines, so every command is parsed and validated in full while
// loads fail where they would reach a decoder. Every reply must be a
// well-formed status line, one per request while the connection stays open,
// and the state the commands set must stay within its bounds.
#include "fuzz_util.h"
#include "render.h"
#include "render_ipc.h"
#include "wayland.h"

#include <cstring>

namespace {

wayland_context g_outputs_only;
output_state g_output[2];

void app_reset(render_ipc *ipc) {
    // Backgrounds of their own that the last input left loaded belong to it.
    render_free_own();
    g_app = render_app{};
    g_app.ipc = ipc;
    g_app.wayland = &g_outputs_only;
    g_app.running = 1;
    g_app.fade_ms = RENDER_DEFAULT_FADE_MS;
    render_ipc_finish_pending(ipc, "reset");
    ipc->error[0] = '\0';
    const char *names[] = {"DP-1", "HDMI-A-1"};
    for (int i = 0; i < 2; i++) {
        output_state &o = g_output[i];
        o = output_state{};
        o.wayland = &g_outputs_only;
        o.next = i == 0 ? &g_output[1] : nullptr;
        snprintf(o.name, sizeof o.name, "%s", names[i]);
        o.logical_width = 1920;
        o.logical_height = 1080;
        o.scale = 1 + i;
        o.egl_surface = EGL_NO_SURFACE;
    }
    g_outputs_only = wayland_context{};
    g_outputs_only.outputs = &g_output[0];
    g_outputs_only.output_count = 2;
}

render_ipc *g_ipc;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string &dir = fuzz_scratch_dir();
    g_ipc = render_ipc_create((dir + "/run/render.sock").c_str());
    FUZZ_CHECK(g_ipc != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    app_reset(g_ipc);
    fuzz_exchange ex = fuzz_exchange_lines(&g_ipc->server, render_ipc_handle_line, data, size);
    for (const std::string &reply : ex.replies)
        fuzz_check_reply(reply);
    FUZZ_CHECK(ex.replies.size() <= ex.requests);
    if (!ex.closed)
        FUZZ_CHECK(ex.replies.size() == ex.requests);

    FUZZ_CHECK(g_app.fade_ms >= 0 && g_app.fade_ms <= 2000);
    FUZZ_CHECK(strcmp(g_app.kind, "") == 0);
    FUZZ_CHECK(g_ipc->pending.path[0] == '\0');
    for (const output_state &o : g_output)
        FUZZ_CHECK(memchr(o.name, '\0', sizeof o.name) != nullptr);
    return 0;
}
