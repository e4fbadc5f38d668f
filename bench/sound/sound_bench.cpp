// The host's own work each frame for entry_sound: asking for frames,
// zeroing the room, the guarded call, clamping, hashing, queuing and (with
// --sound) writing the file, around an entry_sound that writes nothing, so
// that every microsecond timed is the host's. Beside it, what a module pays
// to write 1,600 frames itself. Three ways: headless (no device, exactly
// 1,600 frames a frame), headless with --sound, and with the system's
// device at the loop's pace (the frames it asks for vary around 1,600).
//
// Usage: sound_bench [frames] [wav_path] [paced_frames]   (defaults 3000, a
// file in the temporary folder, 300); the device is whatever
// SDL_AUDIODRIVER (Linux) or the system (Windows) gives. The paced run also
// gives the device's queue at each frame's end.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "sound/sound.h"
#include "platform/clock.h"
#include "platform/services.h"
#include "host/os.h"

static double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[(size_t)(fraction * (double)(values.size() - 1) + 0.5)];
}

static void silent_sound(sound_buffer* sound, platform_api* services, void** module_slot) {
    (void)sound, (void)services, (void)module_slot;
}

static void writing_sound(sound_buffer* sound, platform_api* services, void** module_slot) {
    (void)services, (void)module_slot;
    for (u32 i = 0; i < 2 * sound->frames; ++i) {
        sound->samples[i] = 0.25f;
    }
}

typedef struct figures {
    std::vector<double> microseconds;
    std::vector<double> frames;
} figures;

// The device's queue after each paced frame's samples went in, in ms.
static std::vector<double> queued_at_end;

static figures measure(host_sound* sound, module_sound_entry* entry, int count, bool paced) {
    static platform_api services;
    fill_platform_api(&services);
    void* slot = NULL;
    figures out;
    for (int i = 0; i < count; ++i) {
        i64 start = read_counter();
        module_fault fault = {};
        sound_begin_frame(sound, entry);
        sound_call(sound, &fault, entry, &services, &slot);
        sound_end_frame(sound);
        i64 end = read_counter();
        out.microseconds.push_back(1e6 * (double)(end - start) / (double)counter_frequency);
        out.frames.push_back(sound->request.frames);
        if (paced) {
            queued_at_end.push_back(1000.0 * sound->queued_at_end / sound->frames_per_second);
            wait_out_frame(start, 1.0f / 30.0f);
        }
    }
    return out;
}

static void print_row(const char* name, const figures& found) {
    printf("  %-44s median %7.2f us  p99 %7.2f us  max %8.2f us  (frames median %.0f)\n", name,
           percentile(found.microseconds, 0.5), percentile(found.microseconds, 0.99),
           percentile(found.microseconds, 1.0), percentile(found.frames, 0.5));
}

int main(int argc, char** argv) {
    int count = argc > 1 ? atoi(argv[1]) : 3000;
    char default_path[512];
    snprintf(default_path, sizeof(default_path), "%s/sound_bench.wav",
             getenv("TMPDIR") ? getenv("TMPDIR") : (getenv("TEMP") ? getenv("TEMP") : "/tmp"));
    const char* wav_path = argc > 2 ? argv[2] : default_path;
    clock_start();
    fault_handling_start();
    char message[256];
    static host_sound headless, writing, with_wav, device;
    printf("host work per frame for entry_sound (%d frames each):\n", count);
    sound_open(&headless, 1, NULL, message, sizeof(message));
    print_row("headless, entry_sound writes nothing", measure(&headless, silent_sound, count, 0));
    sound_open(&writing, 1, NULL, message, sizeof(message));
    print_row("headless, entry_sound writes every sample", measure(&writing, writing_sound, count, 0));
    if (!sound_open(&with_wav, 1, wav_path, message, sizeof(message))) {
        printf("  %s\n", message);
        return 1;
    }
    print_row("headless with --sound, writes nothing", measure(&with_wav, silent_sound, count, 0));
    wav_close(&with_wav.wav);
    sound_open(&device, 0, NULL, message, sizeof(message));
    int paced = argc > 3 ? atoi(argv[3]) : 300;
    figures live = measure(&device, silent_sound, paced, 1);
    print_row(device.device ? "device, paced at 30 a second" : "no device, paced at 30 a second",
              live);
    printf("  device: %s, %u frames a second, queue kept near %u frames\n",
           device.device ? "opened" : "none", device.frames_per_second, device.target);
    if (device.device) {
        printf("  queue at each frame's end over %d frames: median %.1f ms  min %.1f  max %.1f;"
               "  underruns %u\n",
               paced, percentile(queued_at_end, 0.5), percentile(queued_at_end, 0.0),
               percentile(queued_at_end, 1.0), device.underruns);
    }
    return 0;
}
