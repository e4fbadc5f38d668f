// The module contract: the one header a module includes, and the one
// function it exports. It brings in the back buffer record, the input record
// and the services table; the base library's headers (engine/base/) are separate.
//
// A module is a library at "..\build\main.dll" on Windows, "../build/main.so"
// on Linux (relative to the data directory, the host's working directory),
// that exports `entry`, in C or C++:
//
//     ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running,
//                             back_buffer* buffer, input_state* input,
//                             f32 frame_seconds, platform_api* services,
//                             void** module_slot) { ... }
//
// The host calls it once per frame. When the file's last-write time changes
// the host loads the new build between two frames. Everything the host passes
// by address (the running flag, the back buffer record copy, the input record,
// the services table, the slot) keeps its address and content across a reload;
// what the module kept in its own static data does not survive, but for the
// variables it marks with ENGINE_KEEP (engine/keep.h). `module_slot`
// is the module's place to keep state across reloads: the host sets it to zero
// once at start-up and stores nothing of its own in it afterwards. It reads it
// every frame and writes back what the module had left there when it undoes a
// faulting frame and at every round of loop editing.
//
// A module that makes sound also exports `entry_sound` (engine/sound.h),
// called right after `entry` in every frame.
#ifndef ENGINE_MODULE_H
#define ENGINE_MODULE_H

#include "engine/base/types.h"
#include "engine/back_buffer.h"
#include "engine/input.h"
#include "engine/keep.h"
#include "engine/platform_api.h"
#include "engine/sound.h"

// Exports `entry` under exactly that name, from C and from C++: a PE export
// on Windows (MinGW and MSVC alike), a symbol of default visibility in an
// ELF library (which stays exported when the module hides the rest with
// -fvisibility=hidden).
#if defined(_WIN32) || defined(_MSC_VER)
#define ENTRY_EXPORT_ATTRIBUTE __declspec(dllexport)
#else
#define ENTRY_EXPORT_ATTRIBUTE __attribute__((visibility("default")))
#endif
#ifdef __cplusplus
#define ENTRY_EXPORT extern "C" ENTRY_EXPORT_ATTRIBUTE
#else
#define ENTRY_EXPORT ENTRY_EXPORT_ATTRIBUTE
#endif

// Arguments, in order: two zeros with no meaning; the running flag (write 0 to
// end the run after this frame); a copy of the back buffer record; the input
// record (the module may write its two mouse flags); the previous frame's
// duration in seconds (0.0 in the first frame); the services table; the
// address of the slot. No result is read.
typedef void module_entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                          struct input_state* input, f32 frame_seconds,
                          struct platform_api* services, void** module_slot);

#endif
