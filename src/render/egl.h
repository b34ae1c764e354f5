// EGL display and the one GL context, per-output window surfaces, texture
// upload, cover-cropped texture draws and the render pass over all outputs.
#pragma once

#include <epoxy/egl.h>
#include <epoxy/gl.h>
#include <cstdint>

struct wayland_context;
struct output_state;
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
    GLuint vertex_buffer;
    GLuint vertex_array;
    bool built;
};

// Texture coordinates that make an image cover an output, centred.
struct cover_crop {
    float scale_x;
    float scale_y;
    float offset_x;
    float offset_y;
};

egl_state *egl_init(wayland_context *ctx);
void egl_free(egl_state *egl);
EGLSurface egl_create_surface(egl_state *egl, wl_egl_window *window);
void egl_release_surface(egl_state *egl, output_state *output);
int egl_make_current_no_surface(egl_state *egl);
int egl_make_current(egl_state *egl, output_state *output);
// The caller has made the context current.
GLuint egl_upload_texture(egl_state *egl, const uint8_t *rgba, int width, int height);
void egl_delete_texture(egl_state *egl, GLuint texture);
// width, height: the texture's image size.
void egl_draw_texture(egl_state *egl, output_state *output, GLuint texture, int width, int height,
                      float alpha);
void egl_draw_texture_blended(egl_state *egl, output_state *output, GLuint texture, int width,
                              int height, float alpha);
void egl_clear(egl_state *egl, output_state *output, float red, float green, float blue,
               float alpha);
int egl_swap(egl_state *egl, output_state *output);
cover_crop egl_cover_crop(int image_width, int image_height, int output_width, int output_height);

// The render pass, kept beside the output list in wayland.cpp: draws every
// dirty output that may draw and presents it.
void render_outputs(wayland_context *ctx);
