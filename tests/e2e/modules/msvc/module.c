/* A module built the way the Windows platform's own toolchain builds one:
 * MSVC's dialect (_MSC_VER, its section syntax for the kept table) and ABI
 * (its PE layout and export table), here through clang's MSVC target and
 * lld-link, with no C runtime at all: the contract needs none. C here, C++ in
 * part.cpp, so both languages' forms of the headers are in one image.
 *
 * Every frame it counts (behind the slot, and in a kept variable of this
 * file), counts presses of A (a kept variable of part.cpp), fills the window
 * with its version's colour and appends one line to "frames.log" through the
 * file services. Built with MSVC_MODULE_FAULTS=1 it writes to null in its
 * first frame, after adding 1000 to every count; with MSVC_MODULE_KEEPS_ALL=1
 * it asks to keep its whole state. */
#include "engine/module.h"

#include "part.h"

#ifndef MSVC_MODULE_VERSION
#define MSVC_MODULE_VERSION 1
#endif
#ifndef MSVC_MODULE_FAULTS
#define MSVC_MODULE_FAULTS 0
#endif

typedef struct slot_record {
    u64 frames;
} slot_record;

static ENGINE_KEEP(u64, kept_frames, 0);

#if MSVC_MODULE_KEEPS_ALL
ENGINE_KEEP_ALL;
#endif

static volatile int* volatile null_pointer;

static u32 append_text(char* line, u32 at, const char* text) {
    while (*text) {
        line[at++] = *text++;
    }
    return at;
}

static u32 append_number(char* line, u32 at, const char* name, u64 value) {
    char digits[20];
    u32 count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    at = append_text(line, at, name);
    while (count) {
        line[at++] = digits[--count];
    }
    return at;
}

static void fill(back_buffer* buffer, u32 colour) {
    for (u32 y = 0; buffer->pixels && y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        for (u32 x = 0; x < buffer->width; ++x) {
            row[x] = colour;
        }
    }
}

static void log_line(platform_api* services, const char* line, u32 length) {
    file_handle log = services->open_file("frames.log", 0, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    services->write_file(&log, line, length, (u32)services->file_size(&log));
    services->close_file(&log);
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a;
    (void)zero_b;
    (void)running;
    if (!*module_slot) {
        *module_slot = services->allocate_memory(sizeof(slot_record), 0, 0).memory;
    }
    slot_record* record = (slot_record*)*module_slot;
    record->frames += 1;
    kept_frames += 1;
    u64 presses = count_presses(input);
    if (MSVC_MODULE_FAULTS) {
        record->frames += 1000;
        kept_frames += 1000;
        *null_pointer = 1;
    }
    fill(buffer, part_colour(MSVC_MODULE_VERSION));
    char line[160];
    u32 at = append_number(line, 0, "v=", MSVC_MODULE_VERSION);
    at = append_number(line, at, " f=", record->frames);
    at = append_number(line, at, " kept=", kept_frames);
    at = append_number(line, at, " presses=", presses);
    at = append_number(line, at, " w=", buffer->width);
    at = append_number(line, at, " h=", buffer->height);
    at = append_number(line, at, " ms=", (u64)(frame_seconds * 1000.0f));
    line[at++] = '\n';
    log_line(services, line, at);
}
