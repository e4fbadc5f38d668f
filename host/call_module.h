// Calling the module each frame, and what a fault means for the build.
//
// The host calls entry through the fault guard (guard/fault.h). When the
// call faults, the build is marked as faulted and is not called again until
// a new build is loaded; that build is called with everything the host owns
// (slot, input, back buffer, running flag) untouched. While the last good
// build is kept (see reload.h), a fault in the build that replaced it rolls
// back instead: the faulted build is unloaded, the frame's writes are undone
// (guard/undo.h), and the previous build is loaded again from its copy and
// called in the same frame and from then on. A frame that can't be fully
// undone is said so in the title, and no build is called on that memory
// until a new one loads. The module's exit with a status other than 0 is a
// fault like any other; its exit(0) is none: the frame's writes stand and
// the host ends after the frame, as if the module had cleared the running
// flag, saying so in the title and on standard error. Titles: title.h.
#ifndef HOST_CALL_MODULE_H
#define HOST_CALL_MODULE_H

#include "guard/fault.h"
#include "host/reload.h"
#include "sound/sound.h"

// Shows the title a load event left, then calls the running build's entry
// with a fresh copy of the back buffer record, and its entry_sound
// (sound.h), unless that build faulted. A fault in either is the frame's.
// A fault rolls back to the previous build, which is called at once, or,
// with none, is held: the build is not called again until a new one loads.
void call_module(module_fault* fault, module_state* module, host_window* window, i32* running,
                 const back_buffer* buffer, back_buffer* buffer_copy, input_state* input,
                 f32 frame_seconds, platform_api* services, host_sound* sound);

#endif
