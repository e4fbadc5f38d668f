#include "loop/recording.h"

#include <math.h>

#include "engine/base/memory.h"
#include "platform/clock.h"
#include "platform/memory.h"

LAYOUT_PIN(recording_header_size, sizeof(recording_header) == RECORDING_HEADER_SIZE);
LAYOUT_PIN(recording_header_count, offsetof(recording_header, frame_count) == 24);
LAYOUT_PIN(recording_header_frequency, offsetof(recording_header, counter_frequency) == 36);
LAYOUT_PIN(recorded_frame_size, sizeof(recorded_frame) == 7152);
LAYOUT_PIN(recorded_frame_input, offsetof(recorded_frame, input) == 16);

// ---------------------------------------------------------------------------
// In memory.

bool32 recording_append(recording* frames, const recorded_frame* frame) {
    if (frames->count == frames->capacity) {
        u32 capacity = frames->capacity ? frames->capacity * 2 : 256;
        if (capacity > RECORDING_MAX_FRAMES) {
            capacity = RECORDING_MAX_FRAMES;
        }
        if (capacity == frames->capacity) {
            return 0;
        }
        u8* grown = memory_map_pages(NULL, (u64)capacity * sizeof(recorded_frame), 0);
        if (!grown) {
            return 0;
        }
        if (frames->frames) {
            copy_bytes(grown, frames->frames, (u64)frames->count * sizeof(recorded_frame));
            memory_unmap_pages(frames->frames, (u64)frames->capacity * sizeof(recorded_frame));
        }
        frames->frames = (recorded_frame*)grown;
        frames->capacity = capacity;
    }
    frames->frames[frames->count++] = *frame;
    return 1;
}

void recording_free(recording* frames) {
    if (frames->frames) {
        memory_unmap_pages(frames->frames, (u64)frames->capacity * sizeof(recorded_frame));
    }
    fill_bytes(frames, 0, sizeof(*frames));
}

// ---------------------------------------------------------------------------
// Headers.

// A header of this host's format, with no frames yet.
static recording_header empty_header(void) {
    recording_header header;
    fill_bytes(&header, 0, sizeof(header));
    copy_bytes(header.magic, RECORDING_MAGIC, sizeof(header.magic));
    header.version = RECORDING_VERSION;
    header.header_size = RECORDING_HEADER_SIZE;
    header.input_size = sizeof(input_state);
    header.frame_size = sizeof(recorded_frame);
    return header;
}

// Whether a header is one this host reads; the reason when not. file_frames
// is how many whole frames follow it in the file.
static bool32 header_valid(const recording_header* header, u64 file_frames, char* reason,
                           u32 capacity) {
    if (!bytes_equal(header->magic, RECORDING_MAGIC, sizeof(header->magic))) {
        snprintf(reason, capacity, "not a recording");
        return 0;
    }
    if (header->version != RECORDING_VERSION) {
        snprintf(reason, capacity, "a recording of format version %u; this host reads version %u",
                 header->version, RECORDING_VERSION);
        return 0;
    }
    if (header->header_size != RECORDING_HEADER_SIZE || header->input_size != sizeof(input_state) ||
        header->frame_size != sizeof(recorded_frame)) {
        snprintf(reason, capacity,
                 "recorded with another input record (%u bytes a record, %u a frame; this host "
                 "has %u and %u)",
                 header->input_size, header->frame_size, (u32)sizeof(input_state),
                 (u32)sizeof(recorded_frame));
        return 0;
    }
    if (header->frame_count == 0 || header->frame_count > RECORDING_MAX_FRAMES) {
        snprintf(reason, capacity, "%s", header->frame_count ? "too many frames" : "holds no frames");
        return 0;
    }
    if (file_frames < header->frame_count) {
        snprintf(reason, capacity, "truncated: the header counts %u frames, the file holds %llu",
                 header->frame_count, (unsigned long long)file_frames);
        return 0;
    }
    if (header->counter_frequency == 0) {
        snprintf(reason, capacity, "damaged header: no counter frequency");
        return 0;
    }
    return 1;
}

// What the host would refuse to give a module: a size no buffer has, a
// duration that is no number of seconds.
static bool32 frame_valid(const recorded_frame* frame) {
    f32 w = frame->input.width;
    f32 h = frame->input.height;
    f32 s = frame->frame_seconds;
    return w >= 0 && h >= 0 && w <= RECORDING_MAX_SIDE && h <= RECORDING_MAX_SIDE &&
           w == floorf(w) && h == floorf(h) && s >= 0 && s < 3600.0f;
}

// ---------------------------------------------------------------------------
// Files.

static bool32 write_header(recording_file* out) {
    return fseek(out->file, 0, SEEK_SET) == 0 &&
           fwrite(&out->header, sizeof(out->header), 1, out->file) == 1 && fflush(out->file) == 0;
}

bool32 recording_create(recording_file* out, const char* path, char* reason, u32 capacity) {
    out->header = empty_header();
    out->file = fopen(path, "w+b");
    if (!out->file) {
        snprintf(reason, capacity, "can't be created");
        return 0;
    }
    if (!write_header(out)) {
        snprintf(reason, capacity, "can't be written");
        recording_close(out);
        return 0;
    }
    return 1;
}

bool32 recording_write(recording_file* out, const recorded_frame* frame) {
    if (!out->file || out->header.frame_count >= RECORDING_MAX_FRAMES) {
        return 0;
    }
    if (out->header.frame_count == 0) {
        out->header.width = (u32)frame->input.width;
        out->header.height = (u32)frame->input.height;
        out->header.counter_frequency = (u32)counter_frequency;  // the clock runs by now
    }
    long at = (long)(RECORDING_HEADER_SIZE + (u64)out->header.frame_count * sizeof(*frame));
    if (fseek(out->file, at, SEEK_SET) != 0 || fwrite(frame, sizeof(*frame), 1, out->file) != 1 ||
        fflush(out->file) != 0) {
        return 0;
    }
    ++out->header.frame_count;
    return write_header(out);
}

void recording_close(recording_file* out) {
    if (out->file) {
        fclose(out->file);
    }
    out->file = NULL;
}

bool32 recording_load(recording* frames, const char* path, char* reason, u32 capacity) {
    fill_bytes(frames, 0, sizeof(*frames));
    FILE* file = fopen(path, "rb");
    if (!file) {
        snprintf(reason, capacity, "can't be opened");
        return 0;
    }
    recording_header header;
    fill_bytes(&header, 0, sizeof(header));
    u64 size = 0;
    if (fseek(file, 0, SEEK_END) == 0) {
        long end = ftell(file);
        size = end > 0 ? (u64)end : 0;
    }
    bool32 valid = 0;
    if (size < sizeof(header) || fseek(file, 0, SEEK_SET) != 0 ||
        fread(&header, sizeof(header), 1, file) != 1) {
        snprintf(reason, capacity, "not a recording (shorter than a header)");
    } else {
        valid = header_valid(&header, (size - sizeof(header)) / sizeof(recorded_frame),
                                       reason, capacity);
    }
    recorded_frame frame;
    for (u32 i = 0; valid && i < header.frame_count; ++i) {
        if (fread(&frame, sizeof(frame), 1, file) != 1) {
            snprintf(reason, capacity, "unreadable at frame %u", i + 1);
            valid = 0;
        } else if (!frame_valid(&frame)) {
            snprintf(reason, capacity, "damaged at frame %u", i + 1);
            valid = 0;
        } else if (!recording_append(frames, &frame)) {
            snprintf(reason, capacity, "too large for memory");
            valid = 0;
        }
    }
    fclose(file);
    if (!valid) {
        recording_free(frames);
    }
    return valid;
}
