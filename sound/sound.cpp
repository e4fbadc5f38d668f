#include "sound/sound.h"

#include <stdio.h>

#include "engine/base/fatal.h"
#include "engine/base/memory.h"
#include "loop/snapshot.h"
#include "platform/memory.h"

bool32 sound_open(host_sound* sound, bool32 headless, const char* wav_path, char* message,
                  u32 capacity) {
    fill_bytes(sound, 0, sizeof(*sound));
    sound->headless = headless;
    sound->frames_per_second = SOUND_FRAMES_PER_SECOND;
    if (wav_path && !wav_open(&sound->wav, wav_path, SOUND_FRAMES_PER_SECOND)) {
        snprintf(message, capacity, "can't write sound to %s", wav_path);
        return 0;
    }
    return 1;
}

void sound_begin_frame(host_sound* sound, module_sound_entry* entry) {
    sound->asked = 0;
    sound->made = 0;
    sound->exported = entry != NULL;
}

// One loop frame's worth of frames at the rate, rounded up to even.
static u32 frames_per_loop_frame(u32 frames_per_second) {
    u32 frames = (frames_per_second + 29) / 30;
    return frames + (frames & 1);
}

// The room, its end against a page that faults: a module that writes past
// what it can be asked for faults like any other bad write, and the frame
// is undone.
static bool32 make_room(host_sound* sound) {
    u64 page = memory_page_size();
    u64 bytes = (u64)sound->target * SOUND_CHANNELS * sizeof(f32);
    u64 data = (bytes + page - 1) / page * page;
    u8* pages = (u8*)pages_allocate(data + page);
    if (!pages || !memory_protect_no_access(pages + data, page)) {
        return 0;
    }
    sound->room = (f32*)(pages + data - bytes);
    sound->room_frames = sound->target;
    return 1;
}

// Once, at the first frame that makes sound.
static void open_device(host_sound* sound) {
    sound->tried = 1;
    char reason[160] = "";
    if (!sound->headless) {
        u32 rate = 0;
        sound->device = sound_device_open(SOUND_FRAMES_PER_SECOND, &rate, reason, sizeof(reason));
        if (sound->device) {
            sound->frames_per_second = rate;
        } else {
            fprintf(stderr, "Engine: no sound device: sound is off (%s)\n", reason);
            sound->news = SOUND_NO_DEVICE_TITLE;
        }
    }
    sound->target = frames_per_loop_frame(sound->frames_per_second) * SOUND_QUEUE_FRAMES;
    fatal_assert(make_room(sound));
}

// How many frames this frame asks for: what brings the queue up to its
// target; one frame's worth when nothing plays them.
static u32 frames_wanted(host_sound* sound) {
    if (!sound->device) {
        return frames_per_loop_frame(sound->frames_per_second);
    }
    u32 queued = sound_device_queued(sound->device);
    if (queued == 0 && sound->fed) {
        ++sound->underruns;
    }
    return queued < sound->target ? sound->target - queued : 0;
}

typedef struct sound_arguments {
    module_sound_entry* entry;
    sound_buffer* sound;
    platform_api* services;
    void** module_slot;
} sound_arguments;

static void call_entry_sound(void* argument) {
    sound_arguments* call = (sound_arguments*)argument;
    call->entry(call->sound, call->services, call->module_slot);
}

bool32 sound_call(host_sound* sound, module_fault* fault, module_sound_entry* entry,
                  platform_api* services, void** module_slot) {
    sound->exported = entry != NULL;
    sound->made = 0;
    if (!entry) {
        return 1;
    }
    if (!sound->tried) {
        open_device(sound);
    }
    if (!sound->asked) {
        sound->asked = 1;
        fill_bytes(&sound->request, 0, sizeof(sound->request));
        sound->request.samples = sound->room;
        sound->request.frames = frames_wanted(sound);
        sound->request.frames_per_second = sound->frames_per_second;
    }
    fill_bytes(sound->room, 0, (u64)sound->request.frames * SOUND_CHANNELS * sizeof(f32));
    sound->given = sound->request;
    sound_arguments call = {entry, &sound->given, services, module_slot};
    if (!guarded_module_call(fault, call_entry_sound, &call)) {
        return 0;
    }
    sound->made = 1;
    return 1;
}

u32 sound_clamp(f32* samples, u32 count) {
    u32 changed = 0;
    for (u32 i = 0; i < count; ++i) {
        f32 value = samples[i];
        // NaN fails every comparison: it becomes 0.
        f32 safe = value >= -1.0f ? (value <= 1.0f ? value : 1.0f) : (value < -1.0f ? -1.0f : 0.0f);
        changed += safe != value;
        samples[i] = safe;
    }
    return changed;
}

u64 sound_hash(const f32* samples, u32 frames) {
    return hash_bytes(samples, (u64)frames * SOUND_CHANNELS * sizeof(f32), frames);
}

void sound_end_frame(host_sound* sound) {
    if (!sound->made) {
        sound->hash = sound->exported ? sound_hash(sound->room, 0) : 0;
        sound->queued_at_end = sound->device ? sound_device_queued(sound->device) : 0;
        return;
    }
    u32 frames = sound->request.frames;
    if (sound_clamp(sound->room, frames * SOUND_CHANNELS) && !sound->told_clamped) {
        sound->told_clamped = 1;
        fprintf(stderr, "Engine: entry_sound wrote NaN, infinities or samples outside -1..1: "
                        "clamped (NaN as silence)\n");
    }
    sound->hash = sound_hash(sound->room, frames);
    if (sound->device && frames) {
        sound->fed = sound_device_queue(sound->device, sound->room, frames) || sound->fed;
        sound->queued_at_end = sound_device_queued(sound->device);
    }
    if (sound->wav.file && !sound->wav.failed &&
        !wav_write(&sound->wav, sound->room, frames, sound->frames_per_second)) {
        fprintf(stderr, "Engine: the sound file can't be written: no more sound goes to it\n");
    }
}
