// EGL display and context, window surfaces and texture draws.
#include "egl.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <wayland-egl.h>

#include "log.h"

namespace {

constexpr const char *VERTEX_SHADER = "#version 150\n"
                                      "in vec2 pos;\n"
                                      "in vec2 uv;\n"
                                      "out vec2 vuv;\n"
                                      "void main() {\n"
                                      "  vuv = uv;\n"
                                      "  gl_Position = vec4(pos, 0.0, 1.0);\n"
                                      "}\n";

constexpr const char *FRAGMENT_SHADER =
    "#version 150\n"
    "in vec2 vuv;\n"
    "uniform sampler2D tex;\n"
    "uniform float alpha;\n"
    "uniform vec2 uv_offset;\n"
    "uniform vec2 uv_scale;\n"
    "uniform vec4 background;\n"
    "out vec4 frag;\n"
    "void main() {\n"
    "  vec2 uv = vuv * uv_scale + uv_offset;\n"
    "  vec4 c = texture(tex, uv);\n"
    "  if (uv.x < 0.0 || uv.x > 1.0 || uv.y < 0.0 || uv.y > 1.0)\n"
    "    c = background;\n"
    "  float a = c.a * alpha;\n"
    "  frag = vec4(c.rgb * a, a);\n"
    "}\n";

// Full-screen quad as a triangle strip: x, y, u, v. v = 0 is the image's top row.
constexpr float QUAD[16] = {
    -1.0f, -1.0f, 0.0f, 1.0f, //
    1.0f,  -1.0f, 1.0f, 1.0f, //
    -1.0f, 1.0f,  0.0f, 0.0f, //
    1.0f,  1.0f,  1.0f, 0.0f, //
};

constexpr int INFO_LOG_SIZE = 2048;
// Enough for every 8-bit and 10-bit window config a driver lists.
constexpr EGLint CONFIG_CANDIDATES = 256;

using get_platform_display_fn = EGLDisplay (*)(EGLenum platform, void *native_display,
                                               const EGLAttrib *attributes);

struct gl_version {
    EGLint major;
    EGLint minor;
};
constexpr gl_version GL_VERSIONS[] = {{4, 6}, {4, 5}, {4, 4}, {4, 3}, {4, 2},
                                      {4, 1}, {4, 0}, {3, 3}, {3, 2}};

const char *gl_string(GLenum name) {
    const GLubyte *s = glGetString(name);
    return s ? reinterpret_cast<const char *>(s) : "unknown";
}

GLuint compile_shader(GLenum type, const char *source) {
    GLuint shader = glCreateShader(type);
    if (shader == 0) {
        log_error("shader compile failed: %s", "glCreateShader returned 0");
        return 0;
    }
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint ok = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) {
        char info[INFO_LOG_SIZE] = "";
        glGetShaderInfoLog(shader, sizeof info, nullptr, info);
        log_error("shader compile failed: %s", info);
        glDeleteShader(shader);
        return 0;
    }
    return shader;
}

bool build_program(egl_state *egl) {
    GLuint vertex = compile_shader(GL_VERTEX_SHADER, VERTEX_SHADER);
    GLuint fragment = compile_shader(GL_FRAGMENT_SHADER, FRAGMENT_SHADER);
    if (vertex == 0 || fragment == 0) {
        if (vertex) {
            glDeleteShader(vertex);
        }
        if (fragment) {
            glDeleteShader(fragment);
        }
        return false;
    }
    GLuint program = glCreateProgram();
    glAttachShader(program, vertex);
    glAttachShader(program, fragment);
    glBindAttribLocation(program, 0, "pos");
    glBindAttribLocation(program, 1, "uv");
    glLinkProgram(program);
    GLint ok = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &ok);
    if (ok != GL_TRUE) {
        char info[INFO_LOG_SIZE] = "";
        glGetProgramInfoLog(program, sizeof info, nullptr, info);
        log_error("program link failed: %s", info);
        glDeleteShader(vertex);
        glDeleteShader(fragment);
        glDeleteProgram(program);
        return false;
    }
    glDeleteShader(vertex);
    glDeleteShader(fragment);

    egl->program = program;
    egl->pos_location = glGetAttribLocation(program, "pos");
    egl->uv_location = glGetAttribLocation(program, "uv");
    egl->tex_location = glGetUniformLocation(program, "tex");
    egl->alpha_location = glGetUniformLocation(program, "alpha");
    egl->uv_offset_location = glGetUniformLocation(program, "uv_offset");
    egl->uv_scale_location = glGetUniformLocation(program, "uv_scale");
    egl->background_location = glGetUniformLocation(program, "background");

    glGenVertexArrays(1, &egl->vertex_array);
    glBindVertexArray(egl->vertex_array);
    glGenBuffers(1, &egl->vertex_buffer);
    glBindBuffer(GL_ARRAY_BUFFER, egl->vertex_buffer);
    glBufferData(GL_ARRAY_BUFFER, sizeof QUAD, QUAD, GL_STATIC_DRAW);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 4 * sizeof(float), nullptr);
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 4 * sizeof(float),
                          reinterpret_cast<const void *>(2 * sizeof(float)));
    glBindVertexArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    egl->built = true;
    return true;
}

// The wallpaper is opaque: take a config without alpha whose channels are
// exactly 8 bits, so the compositor neither blends nor converts the buffer.
// Drivers list deeper (10-bit) alpha-less configs first; those make a
// compositor without GPU convert every frame. A driver without an 8-bit
// alpha-less config gets the 8-bit config with alpha, whose alpha the draws
// keep at 1.
bool choose_config(egl_state *egl) {
    // clang-format off
    const EGLint attribs[] = {
        EGL_SURFACE_TYPE, EGL_WINDOW_BIT,
        EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
        EGL_RED_SIZE, 8,
        EGL_GREEN_SIZE, 8,
        EGL_BLUE_SIZE, 8,
        EGL_ALPHA_SIZE, 0,
        EGL_NONE,
    };
    // clang-format on
    EGLConfig configs[CONFIG_CANDIDATES];
    EGLint matches = 0;
    if (!eglChooseConfig(egl->display, attribs, configs, CONFIG_CANDIDATES, &matches) ||
        matches < 1) {
        log_error("eglChooseConfig failed: 0x%x, matches=%d", eglGetError(), matches);
        return false;
    }
    for (EGLint want_alpha : {0, 8}) {
        for (EGLint i = 0; i < matches; i++) {
            EGLint red = 0;
            EGLint green = 0;
            EGLint blue = 0;
            EGLint alpha = 0;
            eglGetConfigAttrib(egl->display, configs[i], EGL_RED_SIZE, &red);
            eglGetConfigAttrib(egl->display, configs[i], EGL_GREEN_SIZE, &green);
            eglGetConfigAttrib(egl->display, configs[i], EGL_BLUE_SIZE, &blue);
            eglGetConfigAttrib(egl->display, configs[i], EGL_ALPHA_SIZE, &alpha);
            if (red == 8 && green == 8 && blue == 8 && alpha == want_alpha) {
                egl->config = configs[i];
                log_info("EGL config %d/%d/%d/%d", red, green, blue, alpha);
                return true;
            }
        }
    }
    log_error("eglChooseConfig failed: 0x%x, matches=%d", EGL_BAD_CONFIG, matches);
    return false;
}

void draw_quad(egl_state *egl, GLuint texture, int width, int height, int32_t target_width,
               int32_t target_height, float alpha, const picture_fit *fit, bool top_row_first) {
    const picture_fit &f = fit ? *fit : PICTURE_FIT_COVER;
    cover_crop crop = egl_fit_crop(f.mode, width, height, target_width, target_height);
    if (top_row_first) {
        // Row 0 of the target is the picture's top row: sample upside down.
        crop.offset_y += crop.scale_y;
        crop.scale_y = -crop.scale_y;
    }
    glUseProgram(egl->program);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, texture);
    glUniform1i(egl->tex_location, 0);
    glUniform1f(egl->alpha_location, alpha);
    glUniform2f(egl->uv_offset_location, crop.offset_x, crop.offset_y);
    glUniform2f(egl->uv_scale_location, crop.scale_x, crop.scale_y);
    glUniform4f(egl->background_location, f.red, f.green, f.blue, 1.0f);
    glBindVertexArray(egl->vertex_array);
    // The surface is opaque: the alpha the shader computes only weighs the
    // colour and never reaches the buffer's alpha, which stays 1.
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_FALSE);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glBindVertexArray(0);
    glUseProgram(0);
}

// The picture's place on the output in whole pixels, as texture coordinates:
// x, y of its top left corner and its width, height (the place may reach
// beyond the output, whose part outside is cut off).
cover_crop crop_of_place(int32_t x, int32_t y, int32_t w, int32_t h, int32_t output_width,
                         int32_t output_height) {
    cover_crop crop;
    crop.scale_x = static_cast<float>(output_width) / static_cast<float>(w);
    crop.scale_y = static_cast<float>(output_height) / static_cast<float>(h);
    crop.offset_x = -static_cast<float>(x) / static_cast<float>(w);
    crop.offset_y = -static_cast<float>(y) / static_cast<float>(h);
    return crop;
}

// A new linear, edge-clamped RGBA texture of width x height holding rgba (or
// nothing yet), left bound; GL errors from before are cleared first so that
// the caller's check sees only this one's.
GLuint new_texture(int width, int height, const uint8_t *rgba) {
    while (glGetError() != GL_NO_ERROR) {
    }
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    return texture;
}

} // namespace

cover_crop egl_cover_crop(int image_width, int image_height, int output_width, int output_height) {
    cover_crop crop = {1.0f, 1.0f, 0.0f, 0.0f};
    if (image_width <= 0 || image_height <= 0 || output_width <= 0 || output_height <= 0) {
        return crop;
    }
    float image_aspect = static_cast<float>(image_width) / static_cast<float>(image_height);
    float output_aspect = static_cast<float>(output_width) / static_cast<float>(output_height);
    if (image_aspect < output_aspect) {
        crop.scale_y = image_aspect / output_aspect;
    } else {
        crop.scale_x = output_aspect / image_aspect;
    }
    crop.offset_x = (1.0f - crop.scale_x) * 0.5f;
    crop.offset_y = (1.0f - crop.scale_y) * 0.5f;
    return crop;
}

cover_crop egl_fit_crop(int32_t fit, int image_width, int image_height, int output_width,
                        int output_height) {
    if (image_width <= 0 || image_height <= 0 || output_width <= 0 || output_height <= 0 ||
        fit == FIT_STRETCH) {
        return {1.0f, 1.0f, 0.0f, 0.0f};
    }
    if (fit == FIT_CONTAIN) {
        // Whole pixels, so that the bars' edges are sharp and the picture
        // is centred to the pixel.
        double scale = std::min(static_cast<double>(output_width) / image_width,
                                static_cast<double>(output_height) / image_height);
        auto w = static_cast<int32_t>(std::lround(image_width * scale));
        auto h = static_cast<int32_t>(std::lround(image_height * scale));
        w = std::clamp(w, 1, output_width);
        h = std::clamp(h, 1, output_height);
        return crop_of_place((output_width - w) / 2, (output_height - h) / 2, w, h, output_width,
                             output_height);
    }
    if (fit == FIT_CENTER) {
        return crop_of_place((output_width - image_width) / 2, (output_height - image_height) / 2,
                             image_width, image_height, output_width, output_height);
    }
    return egl_cover_crop(image_width, image_height, output_width, output_height);
}

egl_state *egl_init(wl_display *display) {
    if (!display) {
        return nullptr;
    }
    auto *egl = static_cast<egl_state *>(calloc(1, sizeof(egl_state)));
    if (!egl) {
        log_error("egl state: out of memory");
        return nullptr;
    }
    egl->current_surface = EGL_NO_SURFACE;

    // libepoxy will not dispatch an EGL 1.5 entry point before a display
    // exists to tell the version, so take this one from EGL itself.
    auto get_platform_display =
        reinterpret_cast<get_platform_display_fn>(eglGetProcAddress("eglGetPlatformDisplay"));
    egl->display = get_platform_display
                       ? get_platform_display(EGL_PLATFORM_WAYLAND_KHR, display, nullptr)
                       : EGL_NO_DISPLAY;
    if (egl->display == EGL_NO_DISPLAY) {
        log_error("eglGetPlatformDisplay failed: 0x%x", eglGetError());
        free(egl);
        return nullptr;
    }
    EGLint major = 0;
    EGLint minor = 0;
    if (!eglInitialize(egl->display, &major, &minor)) {
        log_error("eglInitialize failed: 0x%x", eglGetError());
        free(egl);
        return nullptr;
    }
    const char *vendor = eglQueryString(egl->display, EGL_VENDOR);
    log_info("EGL vendor=%s version=%d.%d", vendor ? vendor : "unknown", major, minor);

    auto fail = [egl]() -> egl_state * {
        eglTerminate(egl->display);
        free(egl);
        return nullptr;
    };

    if (!eglBindAPI(EGL_OPENGL_API)) {
        log_error("eglBindAPI OpenGL failed: 0x%x", eglGetError());
        return fail();
    }
    if (!choose_config(egl)) {
        return fail();
    }
    egl->context = EGL_NO_CONTEXT;
    EGLint context_error = EGL_SUCCESS;
    for (const gl_version &v : GL_VERSIONS) {
        const EGLint context_attribs[] = {EGL_CONTEXT_MAJOR_VERSION, v.major,
                                          EGL_CONTEXT_MINOR_VERSION, v.minor, EGL_NONE};
        egl->context = eglCreateContext(egl->display, egl->config, EGL_NO_CONTEXT, context_attribs);
        if (egl->context != EGL_NO_CONTEXT) {
            break;
        }
        context_error = eglGetError();
    }
    if (egl->context == EGL_NO_CONTEXT) {
        log_error("eglCreateContext failed: 0x%x", context_error);
        return fail();
    }
    if (!eglMakeCurrent(egl->display, EGL_NO_SURFACE, EGL_NO_SURFACE, egl->context)) {
        log_error("eglMakeCurrent without a surface failed: 0x%x", eglGetError());
        eglDestroyContext(egl->display, egl->context);
        return fail();
    }
    egl->current_surface = EGL_NO_SURFACE;
    log_info("OpenGL vendor=%s renderer=%s version=%s", gl_string(GL_VENDOR),
             gl_string(GL_RENDERER), gl_string(GL_VERSION));
    snprintf(egl->renderer, sizeof egl->renderer, "%s", gl_string(GL_RENDERER));
    return egl;
}

bool egl_renderer_is_software(const char *renderer) {
    if (!renderer) {
        return false;
    }
    // Mesa names them so; the classic swrast driver says "Software Rasterizer".
    static const char *const names[] = {"llvmpipe", "softpipe", "swrast", "software rasterizer"};
    for (const char *name : names) {
        if (strcasestr(renderer, name)) {
            return true;
        }
    }
    return false;
}

void egl_free(egl_state *egl) {
    if (!egl) {
        return;
    }
    if (eglGetCurrentContext() != egl->context) {
        eglMakeCurrent(egl->display, EGL_NO_SURFACE, EGL_NO_SURFACE, egl->context);
    }
    if (egl->built) {
        glDeleteBuffers(1, &egl->vertex_buffer);
        glDeleteVertexArrays(1, &egl->vertex_array);
        glDeleteProgram(egl->program);
    }
    eglMakeCurrent(egl->display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(egl->display, egl->context);
    eglTerminate(egl->display);
    eglReleaseThread();
    free(egl);
}

EGLSurface egl_create_surface(egl_state *egl, wl_egl_window *window) {
    if (!egl || !window) {
        return EGL_NO_SURFACE;
    }
    EGLSurface surface = eglCreateWindowSurface(
        egl->display, egl->config, reinterpret_cast<EGLNativeWindowType>(window), nullptr);
    if (surface == EGL_NO_SURFACE) {
        log_error("eglCreateWindowSurface failed: 0x%x", eglGetError());
        return EGL_NO_SURFACE;
    }
    // Pacing comes from the compositor's frame events; a swap that waited
    // for one would stall the whole loop when a compositor stops sending them.
    if (eglMakeCurrent(egl->display, surface, surface, egl->context)) {
        egl->current_surface = surface;
        eglSwapInterval(egl->display, 0);
    }
    return surface;
}

void egl_release_surface(egl_state *egl, EGLSurface surface) {
    if (!egl || surface == EGL_NO_SURFACE) {
        return;
    }
    // A copy leaves the source bound for reading only: either binding keeps
    // the surface alive under a window that is about to go.
    if (eglGetCurrentSurface(EGL_DRAW) == surface || eglGetCurrentSurface(EGL_READ) == surface) {
        if (!eglMakeCurrent(egl->display, EGL_NO_SURFACE, EGL_NO_SURFACE, egl->context)) {
            log_error("cannot release output surface: 0x%x", eglGetError());
        }
        egl->current_surface = EGL_NO_SURFACE;
    }
    eglDestroySurface(egl->display, surface);
    if (egl->current_surface == surface) {
        egl->current_surface = EGL_NO_SURFACE;
    }
}

int egl_make_current_no_surface(egl_state *egl) {
    if (!egl) {
        return -1;
    }
    if (eglGetCurrentContext() == egl->context) {
        return 0;
    }
    if (!eglMakeCurrent(egl->display, EGL_NO_SURFACE, EGL_NO_SURFACE, egl->context)) {
        return -1;
    }
    egl->current_surface = EGL_NO_SURFACE;
    return 0;
}

int egl_make_current(egl_state *egl, EGLSurface surface, int32_t width, int32_t height) {
    if (!egl || surface == EGL_NO_SURFACE) {
        return -1;
    }
    if (surface != egl->current_surface) {
        if (!eglMakeCurrent(egl->display, surface, surface, egl->context)) {
            log_error("eglMakeCurrent failed: 0x%x", eglGetError());
            return -1;
        }
        egl->current_surface = surface;
    }
    if (!egl->built && !build_program(egl)) {
        return -1;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, width, height);
    return 0;
}

GLuint egl_upload_texture(egl_state *egl, const uint8_t *rgba, int width, int height) {
    if (!egl || !rgba || width < 1 || height < 1) {
        return 0;
    }
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    if (width > max || height > max) {
        log_error("Image exceeds the texture size limit: %dx%d, limit %d", width, height, max);
        return 0;
    }
    GLuint texture = new_texture(width, height, rgba);
    GLenum error = glGetError();
    if (error != GL_NO_ERROR) {
        log_error("Texture upload failed: 0x%x", error);
        glDeleteTextures(1, &texture);
        return 0;
    }
    return texture;
}

void egl_delete_texture(egl_state *egl, GLuint texture) {
    if (egl && texture != 0) {
        glDeleteTextures(1, &texture);
    }
}

GLuint egl_texture_target(egl_state *egl, int width, int height, GLuint *framebuffer) {
    *framebuffer = 0;
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    if (!egl || width < 1 || height < 1 || width > max || height > max) {
        return 0;
    }
    GLuint texture = new_texture(width, height, nullptr);
    GLuint fbo = 0;
    glGenFramebuffers(1, &fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    GLenum error = glGetError();
    if (!complete || error != GL_NO_ERROR) {
        log_error("Frame texture failed: 0x%x", error);
        glDeleteFramebuffers(1, &fbo);
        glDeleteTextures(1, &texture);
        return 0;
    }
    *framebuffer = fbo;
    return texture;
}

void egl_delete_framebuffer(egl_state *egl, GLuint framebuffer) {
    if (egl && framebuffer != 0) {
        glDeleteFramebuffers(1, &framebuffer);
    }
}

void egl_draw_texture(egl_state *egl, GLuint texture, int width, int height, int32_t target_width,
                      int32_t target_height, float alpha, const picture_fit *fit) {
    if (!egl || !egl->built || texture == 0) {
        return;
    }
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    draw_quad(egl, texture, width, height, target_width, target_height, alpha, fit, false);
}

void egl_draw_texture_blended(egl_state *egl, GLuint texture, int width, int height,
                              int32_t target_width, int32_t target_height, float alpha,
                              const picture_fit *fit) {
    if (!egl || !egl->built || texture == 0 || alpha <= 0.0f) {
        return;
    }
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    draw_quad(egl, texture, width, height, target_width, target_height, alpha, fit, false);
    glDisable(GL_BLEND);
}

void egl_draw_texture_top_first(egl_state *egl, GLuint texture, int width, int height,
                                int32_t target_width, int32_t target_height,
                                const picture_fit *fit) {
    if (!egl || texture == 0 || (!egl->built && !build_program(egl))) {
        return;
    }
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glViewport(0, 0, target_width, target_height);
    draw_quad(egl, texture, width, height, target_width, target_height, 1.0f, fit, true);
}

void egl_clear(egl_state *egl, float red, float green, float blue, float alpha) {
    if (!egl) {
        return;
    }
    glClearColor(red, green, blue, alpha);
    glClear(GL_COLOR_BUFFER_BIT);
}

int egl_swap(egl_state *egl, EGLSurface surface, const char *name) {
    if (!egl || surface == EGL_NO_SURFACE) {
        return -1;
    }
    if (!eglSwapBuffers(egl->display, surface)) {
        log_error("eglSwapBuffers failed for %s: 0x%x", name, eglGetError());
        return -1;
    }
    return 0;
}

int egl_copy_surface(egl_state *egl, EGLSurface target, EGLSurface source, int32_t width,
                     int32_t height) {
    if (!egl || target == EGL_NO_SURFACE || source == EGL_NO_SURFACE) {
        return -1;
    }
    // Drawing into the target while reading the source's back buffer; the
    // next make-current binds a surface for both again.
    egl->current_surface = EGL_NO_SURFACE;
    if (!eglMakeCurrent(egl->display, target, source, egl->context)) {
        log_error("eglMakeCurrent for a copy failed: 0x%x", eglGetError());
        return -1;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, width, height);
    while (glGetError() != GL_NO_ERROR) {
    }
    // Equal sizes and formats: drivers copy memory here instead of drawing.
    glBlitFramebuffer(0, 0, width, height, 0, 0, width, height, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    GLenum error = glGetError();
    if (error != GL_NO_ERROR) {
        log_error("surface copy failed: 0x%x", error);
        return -1;
    }
    return 0;
}
