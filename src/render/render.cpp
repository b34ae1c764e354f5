// The renderer's state record; zero until main sets it up.
#include "render.h"

render_app g_app;
