// Preloaded into kiv-render by the screen tests to make calls into the
// system fail or stall at chosen moments, so that recovery paths run in the
// real program. Every knob is an environment variable; without them the
// shim only passes calls on.
//
//   KIV_SHIM_PRCTL_DELAY_MS     sleep this long before the parent-death
//                               request (prctl PR_SET_PDEATHSIG), saying so
//                               on stderr first
//   KIV_SHIM_SWAP_FAIL_FILE     while this file exists, eglSwapBuffers fails
//                               without presenting anything
//   KIV_SHIM_RENDER_FAIL_FILE   when this file exists, the next libmpv render
//                               fails without drawing, and the file is removed
//
// libepoxy looks EGL functions up in its own handle of libEGL, where a
// preloaded definition is not seen; the shim hands it a handle of itself
// instead, which reaches everything else of libEGL through its dependency.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <EGL/egl.h>
#include <dlfcn.h>
#include <mpv/render.h>
#include <stdarg.h>
#include <string.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

static long env_long(const char *name, long fallback) {
    const char *value = getenv(name);
    if (!value || !*value) {
        return fallback;
    }
    char *end = NULL;
    long n = strtol(value, &end, 10);
    return *end == '\0' ? n : fallback;
}

int prctl(int option, ...) {
    va_list ap;
    va_start(ap, option);
    unsigned long a2 = va_arg(ap, unsigned long);
    unsigned long a3 = va_arg(ap, unsigned long);
    unsigned long a4 = va_arg(ap, unsigned long);
    unsigned long a5 = va_arg(ap, unsigned long);
    va_end(ap);
    int (*real)(int, ...) = (int (*)(int, ...))dlsym(RTLD_NEXT, "prctl");
    long delay = env_long("KIV_SHIM_PRCTL_DELAY_MS", 0);
    if (option == PR_SET_PDEATHSIG && delay > 0) {
        static const char note[] = "fault shim: parent-death request delayed\n";
        if (write(2, note, sizeof note - 1) < 0) {
        }
        struct timespec ts = {delay / 1000, (delay % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0) {
        }
    }
    return real(option, a2, a3, a4, a5);
}

static int file_exists(const char *variable) {
    const char *path = getenv(variable);
    return path && *path && access(path, F_OK) == 0;
}

static void *real_symbol(void *handle, const char *name) {
    void *symbol = dlsym(handle, name);
    if (!symbol) {
        static const char note[] = "fault shim: a wrapped function is missing\n";
        if (write(2, note, sizeof note - 1) < 0) {
        }
        abort();
    }
    return symbol;
}

static void *real_egl(void) {
    static void *handle;
    if (!handle) {
        void *(*open)(const char *, int) =
            (void *(*)(const char *, int))real_symbol(RTLD_NEXT, "dlopen");
        handle = open("libEGL.so.1", RTLD_LAZY | RTLD_LOCAL);
    }
    return handle;
}

static int is_libegl(const char *file) {
    if (!file) {
        return 0;
    }
    const char *base = strrchr(file, '/');
    base = base ? base + 1 : file;
    return strcmp(base, "libEGL.so.1") == 0 || strcmp(base, "libEGL.so") == 0;
}

void *dlopen(const char *file, int flags) {
    void *(*open)(const char *, int) =
        (void *(*)(const char *, int))real_symbol(RTLD_NEXT, "dlopen");
    if (is_libegl(file) && getenv("KIV_SHIM_SWAP_FAIL_FILE")) {
        Dl_info self;
        if (dladdr((void *)dlopen, &self) && self.dli_fname) {
            return open(self.dli_fname, flags & ~RTLD_NOLOAD);
        }
    }
    return open(file, flags);
}

EGLBoolean eglSwapBuffers(EGLDisplay display, EGLSurface surface) {
    EGLBoolean (*swap)(EGLDisplay, EGLSurface) =
        (EGLBoolean(*)(EGLDisplay, EGLSurface))real_symbol(real_egl(), "eglSwapBuffers");
    if (file_exists("KIV_SHIM_SWAP_FAIL_FILE")) {
        return EGL_FALSE;
    }
    return swap(display, surface);
}

int mpv_render_context_render(mpv_render_context *context, mpv_render_param *params) {
    int (*render)(mpv_render_context *, mpv_render_param *) =
        (int (*)(mpv_render_context *, mpv_render_param *))real_symbol(RTLD_NEXT,
                                                                       "mpv_render_context_render");
    const char *path = getenv("KIV_SHIM_RENDER_FAIL_FILE");
    if (path && *path && unlink(path) == 0) {
        return MPV_ERROR_GENERIC;
    }
    return render(context, params);
}
