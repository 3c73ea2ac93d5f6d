// STAND-IN BODIES, to be replaced: the application layers (the GUI barriers, the info and watermark layers
// and the dialog layer's timer) are not built yet. These keep the program linking with the least behaviour:
// no dialog is shown and no layer of the application's own is put on a screen.
#include "app/application.h"
#include "runtime/log.h"

// ---- Layers ----

void Application::show_gui() {}
void Application::hide_gui() {}
void Application::show_info_layer() {}
void Application::start_gui_timer() {}
