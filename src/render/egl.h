// EGL display and the one GL context, window surfaces, texture upload,
// cover-cropped texture draws and offscreen targets.
#pragma once

#include <epoxy/egl.h>
#include <epoxy/gl.h>
#include <cstdint>

#include "fit.h"

struct wl_display;
struct wl_egl_window;

struct egl_state {
    EGLDisplay display;
    EGLContext context;
    EGLConfig config;
    EGLSurface current_surface; // EGL_NO_SURFACE after making current without one
    GLuint program;
    GLint pos_location;
    GLint uv_location;
    GLint tex_location;
    GLint alpha_location;
    GLint uv_offset_location;
    GLint uv_scale_location;
    GLint background_location;
    GLuint vertex_buffer;
    GLuint vertex_array;
    bool built;
    char renderer[128]; // GL_RENDERER, cut
};

// Texture coordinates that make an image cover an output, centred.
struct cover_crop {
    float scale_x;
    float scale_y;
    float offset_x;
    float offset_y;
};

egl_state *egl_init(wl_display *display);
// Whether a GL_RENDERER string names a rasteriser that runs on the CPU
// (Mesa's llvmpipe, softpipe, swrast).
bool egl_renderer_is_software(const char *renderer);
void egl_free(egl_state *egl);
// A window surface with swap interval 0, current after the call.
EGLSurface egl_create_surface(egl_state *egl, wl_egl_window *window);
void egl_release_surface(egl_state *egl, EGLSurface surface);
int egl_make_current_no_surface(egl_state *egl);
// Makes surface current and sets up drawing to all of its width x height.
int egl_make_current(egl_state *egl, EGLSurface surface, int32_t width, int32_t height);
// The caller has made the context current.
GLuint egl_upload_texture(egl_state *egl, const uint8_t *rgba, int width, int height);
void egl_delete_texture(egl_state *egl, GLuint texture);
// An empty width x height RGBA texture with a framebuffer drawing into it;
// 0 (nothing made) on failure. Free the framebuffer with
// egl_delete_framebuffer, the texture with egl_delete_texture.
GLuint egl_texture_target(egl_state *egl, int width, int height, GLuint *framebuffer);
void egl_delete_framebuffer(egl_state *egl, GLuint framebuffer);
// Draws into the current surface, made current for target_width x
// target_height. width, height: the texture's image size. fit: how the
// picture lies on the target (none: cover), the bars in its colour.
void egl_draw_texture(egl_state *egl, GLuint texture, int width, int height, int32_t target_width,
                      int32_t target_height, float alpha, const picture_fit *fit);
void egl_draw_texture_blended(egl_state *egl, GLuint texture, int width, int height,
                              int32_t target_width, int32_t target_height, float alpha,
                              const picture_fit *fit);
// Opaque draw into the bound framebuffer of target_width x target_height
// whose row 0 is to hold the picture's top row (memory read by the lock feed).
void egl_draw_texture_top_first(egl_state *egl, GLuint texture, int width, int height,
                                int32_t target_width, int32_t target_height,
                                const picture_fit *fit);
void egl_clear(egl_state *egl, float red, float green, float blue, float alpha);
// name: the output's, for the log.
int egl_swap(egl_state *egl, EGLSurface surface, const char *name);
cover_crop egl_cover_crop(int image_width, int image_height, int output_width, int output_height);
// The texture coordinates for any fit mode: cover as egl_cover_crop; stretch
// fills the output; contain and center place the picture in whole pixels,
// centred (rounded towards the top left), and everything the coordinates
// put outside 0..1 shows the bar colour.
cover_crop egl_fit_crop(int32_t fit, int image_width, int image_height, int output_width,
                        int output_height);

// Copies the whole back buffer of source, not yet swapped, into the back
// buffer of target; both are width x height. Target is the draw surface after
// the call, ready to be swapped.
int egl_copy_surface(egl_state *egl, EGLSurface target, EGLSurface source, int32_t width,
                     int32_t height);
