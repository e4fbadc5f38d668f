#include "loop/wav.h"

#include "engine/base/memory.h"

static void put_u16(u8* at, u32 value) {
    at[0] = (u8)value;
    at[1] = (u8)(value >> 8);
}

static void put_u32(u8* at, u32 value) {
    put_u16(at, value & 0xFFFF);
    put_u16(at + 2, value >> 16);
}

// Sizes past 4 GiB can't be said: the header then says the most it can.
static u32 clamp_u32(u64 value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : (u32)value; }

static void make_header(u8* header, u32 frames_per_second, u64 frames) {
    u64 data_bytes = frames * 8;
    copy_bytes(header, "RIFF", 4);
    put_u32(header + 4, clamp_u32(WAV_HEADER_BYTES - 8 + data_bytes));
    copy_bytes(header + 8, "WAVEfmt ", 8);
    put_u32(header + 16, 18);
    put_u16(header + 20, 3);  // IEEE float
    put_u16(header + 22, 2);
    put_u32(header + 24, frames_per_second);
    put_u32(header + 28, frames_per_second * 8);
    put_u16(header + 32, 8);   // bytes per stereo frame
    put_u16(header + 34, 32);  // bits per sample
    put_u16(header + 36, 0);   // no extension
    copy_bytes(header + 38, "fact", 4);
    put_u32(header + 42, 4);
    put_u32(header + 46, clamp_u32(frames));
    copy_bytes(header + 50, "data", 4);
    put_u32(header + 54, clamp_u32(data_bytes));
}

static bool32 write_header(wav_file* wav) {
    u8 header[WAV_HEADER_BYTES];
    make_header(header, wav->frames_per_second, wav->frames);
    return fseek(wav->file, 0, SEEK_SET) == 0 &&
           fwrite(header, 1, sizeof(header), wav->file) == sizeof(header) &&
           fseek(wav->file, 0, SEEK_END) == 0 && fflush(wav->file) == 0;
}

bool32 wav_open(wav_file* wav, const char* path, u32 frames_per_second) {
    fill_bytes(wav, 0, sizeof(*wav));
    wav->frames_per_second = frames_per_second;
    wav->file = fopen(path, "w+b");
    if (!wav->file) {
        return 0;
    }
    if (!write_header(wav)) {
        wav_close(wav);
        return 0;
    }
    return 1;
}

bool32 wav_write(wav_file* wav, const f32* samples, u32 frames, u32 frames_per_second) {
    if (!wav->file || wav->failed) {
        return 0;
    }
    if (wav->frames == 0) {
        wav->frames_per_second = frames_per_second;
    }
    // Samples are little-endian floats, as both hosts' machines keep them.
    if (fwrite(samples, 8, frames, wav->file) != frames) {
        wav->failed = 1;
        return 0;
    }
    wav->frames += frames;
    if (!write_header(wav)) {
        wav->failed = 1;
        return 0;
    }
    return 1;
}

void wav_close(wav_file* wav) {
    if (wav->file) {
        fclose(wav->file);
    }
    wav->file = NULL;
}
