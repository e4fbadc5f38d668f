// What the portable host (frame.h, reload.h, call_module.h) asks of the
// operating system: a handful of primitives, each system's in files named
// for what they need: *_win32.cpp (the Windows API), *_posix.cpp (portable
// POSIX), *_linux.cpp (calls only Linux has: /proc, memfd, userfaultfd,
// MAP_FIXED_NOREPLACE, process_vm_readv), *_sdl.cpp (what SDL provides).
// Nothing here names a system's own types: the window is a record each
// system defines for itself.
//
// A new system's backend (macOS, say) writes these, and nothing else:
//  - host/:      window_<os>.cpp (or reuse window_sdl.cpp), library_<os>.cpp
//                (this header), pacing_<os>.cpp (or reuse pacing_posix.cpp),
//                main_<os>.cpp;
//  - sound/:     sound_<os>.cpp (or reuse sound_sdl.cpp: sound.h's device);
//  - carry/:     image_<os>.cpp (image.h: the image's symbols and types) and
//                allocator_<os>.cpp (allocator.h: the module's allocation
//                calls), for builds that keep their whole state;
//  - guard/:     fault_<os>.cpp (guard/fault.h: the guarded calls, the
//                fault's code and holder);
//  - platform/:  memory_<os>.cpp (platform/memory.h: pages), watch_<os>.cpp
//                (platform/watch.h: which pages were written; watch_start
//                may say no, and the undo then copies everything),
//                file_<os>.cpp (platform/file.h), system_<os>.cpp
//                (platform/system.h), clock_<os>.cpp (or clock_posix.cpp);
//  - input/:     translate_<os>.cpp and gamepad_<os>.cpp (or the SDL ones).
// Everything else (the frame, reload, the undo, loop editing, the input
// frame, the services table) is portable and comes as it is.
#ifndef HOST_OS_H
#define HOST_OS_H

#include "engine/module.h"
#include "carry/kept.h"
#include "guard/build_name.h"

#define WINDOW_TITLE "Engine"

// The loop chord (loop.h): this letter with Alt held and no Ctrl (the left
// Alt on Linux; either Alt on Windows, whose system keys don't tell them
// apart).
#define LOOP_CHORD_KEY 'L'

// ---------------------------------------------------------------------------
// The window: window_win32.cpp, window_sdl.cpp.

// Each system's own window record.
typedef struct host_window host_window;

// The client area's size in pixels; 0 by 0 while it has none (minimised).
void window_client_size(host_window* window, u32* width, u32* height);

// Takes every pending event. Keyboard, mouse and controller input goes into
// the record (height is the back buffer's height at the frame's start, for
// rows counted from the bottom); a request to close the window sets *running
// to 0. Events that come after the close request in the same pump are still
// taken. Controllers: SDL's events as they come; XInput polled once at the
// end. Presses of the loop chord (Alt + L, loop.h) are the host's:
// they never reach the record, and the count of them is returned.
u32 window_pump(host_window* window, input_state* input, u32 height, i32* running);

// Shows the image unscaled at the client area's bottom-left origin. A buffer
// without pixels shows nothing.
void window_show(host_window* window, const back_buffer* buffer);

// Replaces the window's title.
void window_set_title(host_window* window, const char* title);

// ---------------------------------------------------------------------------
// Pacing: pacing_<os>.cpp. (Pages: platform/memory.h.)

// Waits until target_frame_seconds have passed since frame_start (a
// read_counter value) and returns the seconds measured at the end of the
// wait. Windows sleeps in whole milliseconds and re-measures; POSIX sleeps on
// the monotonic clock until shortly before the deadline and finishes exactly.
f32 wait_out_frame(i64 frame_start, f32 target_frame_seconds);

// ---------------------------------------------------------------------------
// Libraries: library_<os>.cpp.

// Whether the file at path is a whole image of the system's library format
// (PE or ELF): at least as long as its headers and every section say. A
// build still being written fails this.
bool32 library_file_complete(const char* path);

// What tells two files with the same last-write time apart (their size,
// which file they are, when their contents or attributes last changed),
// folded into one value; 0 when there is no file.
u64 library_file_identity(const char* path);

// What the file's directory entry tells without opening it (its last-write
// time, size and creation or status-change time), folded into one value; 0
// when there is no file. A file put in place under its name changes it; on
// Windows it costs a fraction of the identity's open.
u64 library_file_glance(const char* path);

// Whether the file at path is an image of the system's library format that
// this host can never load, judged by its headers alone (so also while it is
// being written): a 32-bit image, one for another machine, an executable.
// True with the reason in words ("a 32-bit library", "a library for another
// machine", "an executable, not a library"); false for anything else.
bool32 library_file_foreign(const char* path, char* reason, u32 capacity);

// This process's id, which names its copies of the module.
u32 process_id(void);

// Whether a process with this id is running (so its copies are in use).
bool32 process_alive(u32 id);

// Copies a file, replacing the target; false when the copy is incomplete.
bool32 library_copy(const char* from, const char* to);

// Where a loaded library lies in memory, and its table of kept variables
// (library_image, carry/kept.h), from the library and the file it was
// loaded from. False when it can't be told.
bool32 library_image_of(void* library, const char* path, library_image* image);

// Reads up to capacity bytes from the start of the file at path; the count
// read, 0 when it is not a regular file or can't be read. Nothing waits (a
// FIFO or a device is refused) and nothing the module sees through its
// services changes, their last error included: the host reads files of its
// own (build_status.h) between the module's frames.
u32 read_regular_file(const char* path, void* buffer, u32 capacity);

// Loads the library at path; null on failure, with the reason in words:
// "missing library libfoo.so" for a library it needs that is not found,
// "start-up routine failed" when DllMain said no, else the system's own.
void* library_load(const char* path, char* reason, u32 capacity);
// The address of an exported symbol, or null.
void* library_symbol(void* library, const char* name);
// Unloads a library from library_load.
void library_free(void* library);

#endif
