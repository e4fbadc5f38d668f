// Recordings: the frames of a stretch of play, as the module saw them, in
// memory and in files.
//
// A frame is what the module's entry was given that the host, not the code,
// decides: the input record, the frame's duration and the counter at the
// frame's start (the back buffer's size is the record's width and height).
//
// A recording file, all words little-endian:
//   0  "LOOPREC" and 0x1A       magic
//   8  u32 version              RECORDING_VERSION
//  12  u32 header size          64
//  16  u32 input record size    sizeof(input_state)
//  20  u32 frame size           sizeof(recorded_frame)
//  24  u32 frame count
//  28  u32 width, u32 height    the back buffer at the first frame
//  36  u32 counter frequency    ticks per second of the counters below
//  40  24 bytes                 zero
//  64  frame count frames of recorded_frame
// The writer appends each frame, then updates the count, both straight to the
// system: a crash or a closed window loses at most the frame being written.
// A reader takes the header's count and refuses any file whose header is
// not this one's or that holds fewer frames than it says.
#ifndef LOOP_RECORDING_H
#define LOOP_RECORDING_H

#include <stdio.h>

#include "engine/input.h"

#define RECORDING_MAGIC "LOOPREC\x1a"
#define RECORDING_VERSION 1u
#define RECORDING_HEADER_SIZE 64u
// About two hours and a quarter at 30 frames per second, 1.7 GB: files stay
// within what every system's stdio can seek.
#define RECORDING_MAX_FRAMES 240000u
// A frame's back buffer is never larger than this on either side.
#define RECORDING_MAX_SIDE 32768u

typedef struct recording_header {
    u8 magic[8];
    u32 version;
    u32 header_size;
    u32 input_size;
    u32 frame_size;
    u32 frame_count;
    u32 width;
    u32 height;
    u32 counter_frequency;
    u8 reserved[24];
} recording_header;

typedef struct recorded_frame {
    i64 counter;        // the counter at the frame's start
    f32 frame_seconds;  // the duration entry was given
    u32 reserved;
    input_state input;  // as entry saw it
    u32 reserved_end;   // keeps the size a multiple of 8 with no padding
} recorded_frame;

// Frames in memory, in pages that grow by doubling.
typedef struct recording {
    recorded_frame* frames;
    u32 count;
    u32 capacity;
} recording;

// Appends a frame; false when no more fit (RECORDING_MAX_FRAMES or memory).
bool32 recording_append(recording* frames, const recorded_frame* frame);
// Gives back the frames' memory; the record becomes empty.
void recording_free(recording* frames);

// A file being written.
typedef struct recording_file {
    FILE* file;
    recording_header header;
} recording_file;

// Creates (replacing) a recording at path with no frames; false with the
// reason in words when it can't be written. The first frame written gives
// the header its back-buffer size.
bool32 recording_create(recording_file* out, const char* path, char* reason, u32 capacity);
// Appends a frame and updates the count; false when the write failed or the
// file is full.
bool32 recording_write(recording_file* out, const recorded_frame* frame);
void recording_close(recording_file* out);

// Reads a whole recording; false with the reason in words, and nothing held,
// when the file can't be read, is not a recording, is of another version or
// another input record, is truncated or has a damaged frame.
bool32 recording_load(recording* frames, const char* path, char* reason, u32 capacity);

#endif
