// The marker over the last image while a faulted build is held: a magenta
// frame and cross, composed apart so the module's pixels stay as it left them.
#ifndef HOST_FAULT_MARKER_H
#define HOST_FAULT_MARKER_H

#include "host/os.h"

// Shows the back buffer; while a fault is held, a copy of it with a marker
// (a magenta frame and cross) composed in `marked`, so the pixels the next
// build finds are as the faulted one left them.
void show_back_buffer(host_window* window, bool32 fault_held, const back_buffer* buffer,
                      back_buffer* marked);

// Draws the marker into the image.
void draw_fault_marker(back_buffer* buffer);

#endif
