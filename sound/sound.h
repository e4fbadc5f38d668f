// The module's sound (engine/sound.h): what the host asks of entry_sound
// each frame, and where the samples go.
//
// The device is opened at the first frame whose build exports entry_sound,
// never before, so a module without it opens none. Each frame:
//  - sound_begin_frame notes whether the running build exports it;
//  - call_module (call_module.h) calls entry_sound right after entry, in
//    the same guard and the same undo (sound_call); the first call of a
//    frame decides how many frames to ask for: enough to bring the device's
//    queue up to SOUND_QUEUE_FRAMES frames of the loop; exactly one frame's
//    worth when headless or without a device;
//  - sound_end_frame takes the samples of a call that returned (none from
//    a faulting frame): clamps them, hashes them for --hashes, queues them
//    and writes them to the --sound file.
// Without a device (none on the machine, or it would not open) the title
// and one line on standard error say so, and entry_sound is called all the
// same: its samples are dropped.
#ifndef SOUND_SOUND_H
#define SOUND_SOUND_H

#include "engine/module.h"
#include "guard/fault.h"
#include "loop/wav.h"

// How much the queue is kept near, in frames of the 30 per second loop: one
// frame's worth plays while the next is made, the other absorbs a late frame.
#define SOUND_QUEUE_FRAMES 2
#define SOUND_NO_DEVICE_TITLE "Engine - no sound device: sound is off"

// Each system's output (sound_sdl.cpp, sound_win32.cpp): stereo 32-bit
// floats in, converted to what the device takes.
typedef struct sound_device sound_device;

// Opens the default output at about frames_per_second, with a queue the
// host fills (no callback into the module); *opened_rate is the rate it
// plays at. Null, with the reason in words, when there is none.
sound_device* sound_device_open(u32 frames_per_second, u32* opened_rate, char* reason,
                                u32 capacity);
// Stereo frames queued and not yet handed to the device's own buffer.
u32 sound_device_queued(sound_device* device);
// Queues frames stereo frames; false when the device took none.
bool32 sound_device_queue(sound_device* device, const f32* samples, u32 frames);

typedef struct host_sound {
    bool32 headless;         // no device, exactly one frame's worth a frame
    bool32 tried;            // the device was asked for
    sound_device* device;
    u32 frames_per_second;
    u32 target;              // frames the queue is kept near
    f32* room;               // the module's samples: room_frames stereo frames, a guard page after
    u32 room_frames;
    sound_buffer request;    // this frame's: the room, the frames asked for, the rate
    sound_buffer given;      // the copy the module is handed
    bool32 asked;            // request holds this frame's
    bool32 exported;         // this frame's build exports entry_sound
    bool32 made;             // its call returned: request.frames frames are the frame's
    u64 hash;                // of the frame's samples, for --hashes
    bool32 fed;              // something was queued: an empty queue now is an underrun
    u32 underruns;           // frames that found the queue empty after it was fed
    u32 queued_at_end;       // the queue after this frame's samples went in
    bool32 told_clamped;
    const char* news;        // for the title, once: the host shows it and clears it
    wav_file wav;            // --sound, when file is set
} host_sound;

// Before start-up: headless or not, and the --sound file (null for none)
// created. False, with a message for the user, when it can't be.
bool32 sound_open(host_sound* sound, bool32 headless, const char* wav_path, char* message,
                  u32 capacity);

// At the start of the call: whether the running build exports entry_sound.
void sound_begin_frame(host_sound* sound, module_sound_entry* entry);

// Calls entry_sound, when there is one, through the guard: true when it
// returned or there is none, false when it faulted (fault says how). A
// second call in the same frame (the previous build's, after a rollback)
// gets the same request afresh. What the title should say (no device) is
// left in news for the host to show and clear.
bool32 sound_call(host_sound* sound, module_fault* fault, module_sound_entry* entry,
                  platform_api* services, void** module_slot);

// After the call: the samples of a call that returned clamped, hashed,
// queued and written.
void sound_end_frame(host_sound* sound);

// Makes samples safe for any device: NaN as 0, the rest clamped to -1..1.
// Returns how many were changed.
u32 sound_clamp(f32* samples, u32 count);

// The hash of frames stereo frames, as --hashes writes it.
u64 sound_hash(const f32* samples, u32 frames);

#endif
