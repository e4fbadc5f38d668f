// The Windows host's sound: WASAPI in shared mode, the default render
// endpoint at its mix format. The host writes into the endpoint's buffer
// itself once a frame (no event, no thread of its own); its padding is the
// queue. The stereo floats are converted to the mix format: its sample
// type (float, or 16, 24 or 32-bit integers), its channels (mono takes the
// mean, more than two get left and right first and silence after) and its
// rate, which the module is given.
#include "sound/sound.h"

#include <stdio.h>
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

// The endpoint's buffer: room for three times the queue's target.
#define SOUND_BUFFER_SECONDS 0.2
#define REFTIMES_PER_SECOND 10000000.0

typedef enum sample_type { SAMPLE_FLOAT, SAMPLE_INT } sample_type;

struct sound_device {
    IAudioClient* client;
    IAudioRenderClient* render;
    u32 buffer_frames;
    u32 channels;
    u32 bytes_per_sample;  // in the buffer
    u32 valid_bits;        // of an integer sample
    sample_type type;
};

static void say_result(char* reason, u32 capacity, const char* what, HRESULT result) {
    snprintf(reason, capacity, "%s failed (0x%08lX)", what, (unsigned long)result);
}

// Reads the mix format's sample type; false for one this host can't write.
static bool32 read_format(sound_device* device, const WAVEFORMATEX* format) {
    u32 tag = format->wFormatTag;
    device->valid_bits = format->wBitsPerSample;
    if (tag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22) {
        const WAVEFORMATEXTENSIBLE* extensible = (const WAVEFORMATEXTENSIBLE*)format;
        tag = extensible->SubFormat.Data1;  // the subtypes carry the old tags here
        if (extensible->Samples.wValidBitsPerSample) {
            device->valid_bits = extensible->Samples.wValidBitsPerSample;
        }
    }
    device->channels = format->nChannels;
    device->bytes_per_sample = format->wBitsPerSample / 8;
    if (tag == WAVE_FORMAT_IEEE_FLOAT && format->wBitsPerSample == 32) {
        device->type = SAMPLE_FLOAT;
        return 1;
    }
    device->type = SAMPLE_INT;
    return tag == WAVE_FORMAT_PCM && device->channels > 0 &&
           (format->wBitsPerSample == 16 || format->wBitsPerSample == 24 ||
            format->wBitsPerSample == 32);
}

static bool32 start_client(sound_device* device, IMMDevice* endpoint, u32* rate, char* reason,
                           u32 capacity) {
    HRESULT result = endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, NULL,
                                        (void**)&device->client);
    if (FAILED(result)) {
        say_result(reason, capacity, "IMMDevice::Activate", result);
        return 0;
    }
    WAVEFORMATEX* format = NULL;
    result = device->client->GetMixFormat(&format);
    if (FAILED(result)) {
        say_result(reason, capacity, "IAudioClient::GetMixFormat", result);
        return 0;
    }
    bool32 known = read_format(device, format);
    *rate = format->nSamplesPerSec;
    if (known) {
        result = device->client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0,
                                            (REFERENCE_TIME)(SOUND_BUFFER_SECONDS *
                                                             REFTIMES_PER_SECOND),
                                            0, format, NULL);
    }
    CoTaskMemFree(format);
    if (!known) {
        snprintf(reason, capacity, "the device's mix format is not one the host writes");
        return 0;
    }
    if (FAILED(result)) {
        say_result(reason, capacity, "IAudioClient::Initialize", result);
        return 0;
    }
    UINT32 frames = 0;
    result = device->client->GetBufferSize(&frames);
    if (SUCCEEDED(result)) {
        device->buffer_frames = frames;
        result = device->client->GetService(__uuidof(IAudioRenderClient),
                                            (void**)&device->render);
    }
    if (SUCCEEDED(result)) {
        result = device->client->Start();
    }
    if (FAILED(result)) {
        say_result(reason, capacity, "IAudioClient::Start", result);
        return 0;
    }
    return 1;
}

sound_device* sound_device_open(u32 frames_per_second, u32* opened_rate, char* reason,
                                u32 capacity) {
    (void)frames_per_second;  // shared mode plays at the mix format's rate
    static sound_device device;
    HRESULT result = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    if (FAILED(result) && result != RPC_E_CHANGED_MODE) {
        say_result(reason, capacity, "CoInitializeEx", result);
        return NULL;
    }
    IMMDeviceEnumerator* enumerator = NULL;
    result = CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_ALL,
                              __uuidof(IMMDeviceEnumerator), (void**)&enumerator);
    if (FAILED(result)) {
        say_result(reason, capacity, "CoCreateInstance(MMDeviceEnumerator)", result);
        return NULL;
    }
    IMMDevice* endpoint = NULL;
    result = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &endpoint);
    enumerator->Release();
    if (FAILED(result)) {
        snprintf(reason, capacity, "no output device (0x%08lX)", (unsigned long)result);
        return NULL;
    }
    bool32 started = start_client(&device, endpoint, opened_rate, reason, capacity);
    endpoint->Release();
    if (!started) {
        if (device.render) {
            device.render->Release();
        }
        if (device.client) {
            device.client->Release();
        }
        ZeroMemory(&device, sizeof(device));
        return NULL;
    }
    return &device;
}

u32 sound_device_queued(sound_device* device) {
    UINT32 padding = 0;
    return SUCCEEDED(device->client->GetCurrentPadding(&padding)) ? padding : 0;
}

static void put_sample(const sound_device* device, BYTE* at, f32 value) {
    if (device->type == SAMPLE_FLOAT) {
        CopyMemory(at, &value, 4);
        return;
    }
    // Full scale of the container; valid bits below it stay zero.
    u32 bits = device->bytes_per_sample * 8;
    f64 scale = (f64)(1ull << (bits - 1)) - 1.0;
    i64 integer = (i64)(value * scale);
    integer &= ~((1ll << (bits - device->valid_bits)) - 1);
    for (u32 i = 0; i < device->bytes_per_sample; ++i) {
        at[i] = (BYTE)(integer >> (8 * i));
    }
}

// One stereo frame into the device's channels.
static void put_frame(const sound_device* device, BYTE* at, f32 left, f32 right) {
    u32 size = device->bytes_per_sample;
    if (device->channels == 1) {
        put_sample(device, at, (left + right) * 0.5f);
        return;
    }
    put_sample(device, at, left);
    put_sample(device, at + size, right);
    for (u32 channel = 2; channel < device->channels; ++channel) {
        put_sample(device, at + channel * size, 0.0f);
    }
}

bool32 sound_device_queue(sound_device* device, const f32* samples, u32 frames) {
    u32 room = device->buffer_frames - sound_device_queued(device);
    frames = frames < room ? frames : room;
    BYTE* buffer = NULL;
    if (frames == 0 || FAILED(device->render->GetBuffer(frames, &buffer))) {
        return 0;
    }
    u32 stride = device->bytes_per_sample * device->channels;
    if (device->type == SAMPLE_FLOAT && device->channels == SOUND_CHANNELS) {
        CopyMemory(buffer, samples, (SIZE_T)frames * stride);
    } else {
        for (u32 i = 0; i < frames; ++i) {
            put_frame(device, buffer + (u64)i * stride, samples[2 * i], samples[2 * i + 1]);
        }
    }
    return SUCCEEDED(device->render->ReleaseBuffer(frames, 0));
}
