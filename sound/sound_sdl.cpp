// The Linux host's sound: an SDL audio device with a queue the host fills
// (SDL_QueueAudio; no callback, so no module code runs on SDL's thread).
// SDL converts the stereo floats to what the device takes; the rate is the
// device's own when it insists on one.
#include "sound/sound.h"

#include <SDL.h>
#include <stdio.h>

// SDL's own buffer between the queue and the device: about 11 ms at 48 kHz.
#define SOUND_DEVICE_BUFFER_FRAMES 512

struct sound_device {
    SDL_AudioDeviceID id;
    bool32 playing;  // unpaused at the first samples: no silence before them
};

sound_device* sound_device_open(u32 frames_per_second, u32* opened_rate, char* reason,
                                u32 capacity) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        snprintf(reason, capacity, "%s", SDL_GetError());
        return NULL;
    }
    SDL_AudioSpec wanted = {};
    wanted.freq = (int)frames_per_second;
    wanted.format = AUDIO_F32SYS;
    wanted.channels = SOUND_CHANNELS;
    wanted.samples = SOUND_DEVICE_BUFFER_FRAMES;
    SDL_AudioSpec opened = {};
    SDL_AudioDeviceID id =
        SDL_OpenAudioDevice(NULL, 0, &wanted, &opened, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
    if (id == 0) {
        snprintf(reason, capacity, "%s", SDL_GetError());
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return NULL;
    }
    static sound_device device;
    device.id = id;
    *opened_rate = (u32)opened.freq;
    return &device;
}

u32 sound_device_queued(sound_device* device) {
    return SDL_GetQueuedAudioSize(device->id) / (SOUND_CHANNELS * sizeof(f32));
}

bool32 sound_device_queue(sound_device* device, const f32* samples, u32 frames) {
    if (SDL_QueueAudio(device->id, samples, frames * SOUND_CHANNELS * sizeof(f32)) != 0) {
        return 0;
    }
    if (!device->playing) {
        device->playing = 1;
        SDL_PauseAudioDevice(device->id, 0);
    }
    return 1;
}
