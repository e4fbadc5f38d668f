// --sound FILE: every sample the module made, as a WAV file of 32-bit
// floats, stereo (format 3, IEEE float, with the fact chunk that format
// asks for). The header's sizes are written anew after every frame, so the
// file is whole however the host ends.
#ifndef LOOP_WAV_H
#define LOOP_WAV_H

#include <stdio.h>

#include "engine/base/types.h"

#define WAV_HEADER_BYTES 58

typedef struct wav_file {
    FILE* file;
    u32 frames_per_second;
    u64 frames;  // stereo frames written
    bool32 failed;  // a write failed: said once, nothing more is written
} wav_file;

// Creates or truncates path and writes the header of an empty stream at
// frames_per_second. False, with the file closed, when it can't be written.
bool32 wav_open(wav_file* wav, const char* path, u32 frames_per_second);

// Appends frames stereo frames (2 floats each) at frames_per_second (the
// header takes the rate of the first frames written) and rewrites the
// header. False when the file can't be written, from then on.
bool32 wav_write(wav_file* wav, const f32* samples, u32 frames, u32 frames_per_second);

void wav_close(wav_file* wav);

#endif
