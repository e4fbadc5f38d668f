#include "loop/loop.h"

#include <stdlib.h>
#include <string.h>

#include "engine/base/memory.h"
#include "input/frame.h"
#include "platform/clock.h"

// The one loop, for the counter service (which takes no arguments).
static loop_state* counter_loop;

u64 loop_get_counter(void) {
    if (counter_loop && (counter_loop->mode == LOOP_REPLAYING || counter_loop->counter_fixed)) {
        return (u64)counter_loop->counter + counter_loop->counter_reads++;
    }
    return get_counter();
}

static void set_title(loop_state* loop, const char* text) {
    snprintf(loop->title, sizeof(loop->title), "%s", text);
    loop->title_changed = 1;
}

// ---------------------------------------------------------------------------
// Files.

// Each line: the frame's number, then the pixels' and the memory's hashes,
// and the samples' when the module made sound in that frame.
#define CHECK_FIELDS 4  // pixels, memory, samples, whether there are samples

// One line into the four fields; false when it is no line of frame number.
static bool32 parse_check_line(const char* line, u64 number, u64* fields) {
    unsigned long long read_number = 0;
    unsigned long long pixels = 0;
    unsigned long long memory = 0;
    unsigned long long samples = 0;
    int end = 0;
    int count = sscanf(line, "%llu %llx %llx%n %llx%n", &read_number, &pixels, &memory, &end,
                       &samples, &end);
    if (count < 3 || read_number != number) {
        return 0;
    }
    for (const char* rest = line + end; *rest; ++rest) {
        if (*rest != ' ' && *rest != '\n' && *rest != '\r') {
            return 0;
        }
    }
    fields[0] = pixels;
    fields[1] = memory;
    fields[2] = count == 4 ? samples : 0;
    fields[3] = count == 4;
    return 1;
}

static bool32 load_check(loop_state* loop, const char* path, char* message, u32 capacity) {
    FILE* file = fopen(path, "rb");
    if (!file) {
        snprintf(message, capacity, "%s can't be opened", path);
        return 0;
    }
    u64 capacity_lines = 1024;
    loop->check = (u64*)malloc(capacity_lines * CHECK_FIELDS * sizeof(u64));
    char line[256];
    bool32 whole = 1;
    while (loop->check && fgets(line, sizeof(line), file)) {
        if (loop->check_count == capacity_lines) {
            capacity_lines *= 2;
            u64* grown =
                (u64*)realloc(loop->check, capacity_lines * CHECK_FIELDS * sizeof(u64));
            if (!grown) {
                break;
            }
            loop->check = grown;
        }
        if (line[strspn(line, " \r\n")] == 0) {
            continue;
        }
        if (!parse_check_line(line, loop->check_count + 1,
                              &loop->check[loop->check_count * CHECK_FIELDS])) {
            whole = 0;
            break;
        }
        ++loop->check_count;
    }
    whole = whole && loop->check && feof(file) && loop->check_count > 0;
    fclose(file);
    if (!whole) {
        snprintf(message, capacity,
                 "%s is not a hash file: line %llu is not \"%llu <pixels> <memory> [<samples>]\"",
                 path, (unsigned long long)loop->check_count + 1,
                 (unsigned long long)loop->check_count + 1);
    }
    return whole;
}

bool32 loop_open(loop_state* loop, const host_options* options, char* message, u32 capacity) {
    fill_bytes(loop, 0, sizeof(*loop));
    counter_loop = loop;
    loop->placement = (void*)LOOP_PLACEMENT_BASE;
    char reason[LOOP_MESSAGE_CAPACITY];
    if (options->record &&
        !recording_create(&loop->file, options->record, reason, sizeof(reason))) {
        snprintf(message, capacity, "can't record to %s: it %s", options->record, reason);
        return 0;
    }
    if (options->replay &&
        !recording_load(&loop->frames, options->replay, reason, sizeof(reason))) {
        snprintf(message, capacity, "can't replay %s: %s", options->replay, reason);
        return 0;
    }
    if (options->hashes && !(loop->hashes = fopen(options->hashes, "w"))) {
        snprintf(message, capacity, "can't write hashes to %s", options->hashes);
        return 0;
    }
    if (options->check && !load_check(loop, options->check, message, capacity)) {
        return 0;
    }
    loop->repeats = options->loop;
    loop->headless = options->headless;
    loop->first_mode = options->record   ? LOOP_RECORDING
                       : options->replay ? LOOP_REPLAYING
                                         : LOOP_LIVE;
    return 1;
}

// ---------------------------------------------------------------------------
// The states.

static void go_live(loop_state* loop, input_state* input) {
    if (loop->mode == LOOP_REPLAYING) {
        // The module's record follows the live mouse and controllers again;
        // its keys are released once the next input frame has begun.
        input->mouse.x = loop->live.mouse.x;
        input->mouse.y = loop->live.mouse.y;
        input->mouse.virtual_x = loop->live.mouse.virtual_x;
        input->mouse.virtual_y = loop->live.mouse.virtual_y;
        copy_bytes(input->gamepads, loop->live.gamepads, sizeof(input->gamepads));
        loop->release_keys = 1;
    }
    loop->mode = LOOP_LIVE;
    loop->placement = memory_placement() ? memory_placement() : loop->placement;
    memory_set_placement(NULL);
    fill_bytes(&input->loop, 0, sizeof(input->loop));
    set_title(loop, "");
}

// The snapshot of blocks and slot, with the kept variables beside it.
static bool32 take_snapshot(loop_state* loop, void* slot) {
    if (!snapshot_take(&loop->start, slot)) {
        return 0;
    }
    if (loop->kept_snapshot) {
        loop->kept_snapshot(loop->kept_context, 0);
    }
    return 1;
}

static bool32 put_snapshot_back(loop_state* loop, void** slot, char* reason, u32 capacity) {
    if (!snapshot_restore(&loop->start, slot, reason, capacity)) {
        return 0;
    }
    if (loop->kept_snapshot) {
        loop->kept_snapshot(loop->kept_context, 1);
    }
    return 1;
}

static void start_recording(loop_state* loop, void** slot) {
    memory_set_placement(loop->placement);
    if (!loop->file.file && !take_snapshot(loop, *slot)) {
        memory_set_placement(NULL);
        set_title(loop, "no memory for a snapshot");
        return;
    }
    loop->frames.count = 0;
    loop->mode = LOOP_RECORDING;
    set_title(loop, "recording");
}

// Puts the snapshot back for a replay's first frame; false (and live) when
// it can't be.
static bool32 restart_replay(loop_state* loop, void** slot, input_state* input) {
    char reason[160];
    if (!put_snapshot_back(loop, slot, reason, sizeof(reason))) {
        go_live(loop, input);
        char title[LOOP_TITLE_CAPACITY + 160];
        snprintf(title, sizeof(title), "loop stopped: %s", reason);
        set_title(loop, title);
        return 0;
    }
    loop->next = 0;
    ++loop->round;
    return 1;
}

static void start_replay(loop_state* loop, void** slot, input_state* input) {
    if (loop->frames.count == 0) {
        go_live(loop, input);
        return;
    }
    if (loop->mode == LOOP_LIVE) {
        // A replay from the command line starts from the module as it is.
        memory_set_placement(loop->placement);
        if (!take_snapshot(loop, *slot)) {
            go_live(loop, input);
            set_title(loop, "no memory for a snapshot");
            return;
        }
    } else {
        loop->repeats = 1;
    }
    loop->live = *input;
    loop->mode = LOOP_REPLAYING;
    loop->round = 0;
    restart_replay(loop, slot, input);
}

static void take_chord(loop_state* loop, void** slot, input_state* input) {
    --loop->chords;
    switch (loop->mode) {
    case LOOP_LIVE:
        start_recording(loop, slot);
        break;
    case LOOP_RECORDING:
        // A recording to a file goes on until the window closes.
        if (!loop->file.file) {
            start_replay(loop, slot, input);
        }
        break;
    default:
        go_live(loop, input);
        break;
    }
}

bool32 loop_play_frames(loop_state* loop, const recorded_frame* frames, u32 count,
                        bool32 repeats, void** slot, input_state* input) {
    if (loop->mode != LOOP_LIVE || !count) {
        return 0;
    }
    loop->frames.count = 0;
    for (u32 i = 0; i < count; ++i) {
        if (!recording_append(&loop->frames, &frames[i])) {
            loop->frames.count = 0;
            return 0;
        }
    }
    loop->repeats = repeats;
    start_replay(loop, slot, input);
    return loop->mode == LOOP_REPLAYING;
}

void loop_fix_counter(loop_state* loop, bool32 on, i64 counter) {
    loop->counter_fixed = on;
    loop->counter = counter;
    loop->counter_reads = 0;
}

void loop_begin_frame(loop_state* loop, void** slot, input_state* input) {
    ++loop->frame_number;
    loop->counter_reads = 0;
    if (loop->frame_number == 1 && loop->first_mode == LOOP_RECORDING) {
        start_recording(loop, slot);
    } else if (loop->frame_number == 1 && loop->first_mode == LOOP_REPLAYING) {
        start_replay(loop, slot, input);
    } else if (loop->chords) {
        take_chord(loop, slot, input);
    } else if (loop->mode == LOOP_REPLAYING && loop->next == loop->frames.count) {
        if (loop->repeats) {
            restart_replay(loop, slot, input);
        } else {
            go_live(loop, input);
        }
    }
}

void loop_buffer_size(const loop_state* loop, u32* width, u32* height) {
    if (loop->mode == LOOP_REPLAYING) {
        const input_state* recorded = &loop->frames.frames[loop->next].input;
        *width = (u32)recorded->width;
        *height = (u32)recorded->height;
    }
}

input_state* loop_live_input(loop_state* loop, input_state* input) {
    return loop->mode == LOOP_REPLAYING ? &loop->live : input;
}

void loop_after_input_begin(loop_state* loop, input_state* live) {
    if (!loop->release_keys) {
        return;
    }
    loop->release_keys = 0;
    u32 latest = 0;
    for (u32 i = 0; i < KEY_COUNT; ++i) {
        latest = live->buttons[i].time > latest ? live->buttons[i].time : latest;
    }
    for (u32 i = 0; i < KEY_COUNT; ++i) {
        button_transition(&live->buttons[i], 0, latest);
    }
}

void loop_take_chords(loop_state* loop, u32 presses) {
    if (!loop->headless) {
        loop->chords += presses;
    }
}

static void stop_recording(loop_state* loop, input_state* input, const char* why) {
    fprintf(stderr, "Engine: %s\n", why);
    if (loop->file.file) {
        recording_close(&loop->file);
        go_live(loop, input);
        set_title(loop, why);
    } else {
        loop->chords = 1;  // loop what there is
    }
}

static void record_frame(loop_state* loop, input_state* input, i64 frame_start,
                         f32 frame_seconds) {
    u32 recorded = loop->file.file ? loop->file.header.frame_count : loop->frames.count;
    input->loop.mode = LOOP_RECORDING;
    input->loop.frame = recorded + 1;
    input->loop.frames = recorded + 1;
    recorded_frame frame;
    fill_bytes(&frame, 0, sizeof(frame));
    frame.counter = frame_start;
    frame.frame_seconds = frame_seconds;
    frame.input = *input;
    if (loop->file.file) {
        if (!recording_write(&loop->file, &frame)) {
            stop_recording(loop, input, "the recording can't be written");
        }
    } else if (!recording_append(&loop->frames, &frame)) {
        stop_recording(loop, input, "no room for more recorded frames");
    } else if (loop->frames.count == LOOP_CHORD_MAX_FRAMES) {
        stop_recording(loop, input, "ten minutes recorded: looping them");
    }
}

static void replay_frame(loop_state* loop, input_state* input, f32* frame_seconds) {
    const recorded_frame* frame = &loop->frames.frames[loop->next++];
    *input = frame->input;
    *frame_seconds = frame->frame_seconds;
    loop->counter = frame->counter;
    input->loop.mode = LOOP_REPLAYING;
    input->loop.frame = loop->next;
    input->loop.frames = loop->frames.count;
    input->loop.round = loop->round;
    input->loop.flags = (loop->repeats ? LOOP_REPEATS : 0) | (loop->headless ? LOOP_HEADLESS : 0);
    if (!loop->headless) {
        char title[LOOP_TITLE_CAPACITY];
        snprintf(title, sizeof(title), "%s %u/%u", loop->repeats ? "loop" : "replay", loop->next,
                 loop->frames.count);
        set_title(loop, title);
    }
}

void loop_feed(loop_state* loop, input_state* input, i64 frame_start, f32* frame_seconds) {
    if (loop->mode == LOOP_RECORDING) {
        record_frame(loop, input, frame_start, *frame_seconds);
    } else if (loop->mode == LOOP_REPLAYING) {
        replay_frame(loop, input, frame_seconds);
    }
}

// ---------------------------------------------------------------------------
// Hashes and the end.

u64 back_buffer_hash(const back_buffer* buffer) {
    u64 hash = hash_bytes(&buffer->width, sizeof(buffer->width), buffer->height);
    for (u32 y = 0; buffer->pixels && y < buffer->height; ++y) {
        hash = hash_bytes(buffer->pixels + (u64)y * buffer->pitch, (u64)buffer->width * 4, hash);
    }
    return hash;
}

static void fail_check(loop_state* loop, const char* what, i32* running) {
    fprintf(stderr, "Engine: check failed at frame %llu: %s\n",
            (unsigned long long)loop->frame_number, what);
    loop->exit_status = EXIT_CHECK_FAILED;
    *running = 0;
}

// What differs, in words: "pixels differ", "memory and samples differ", ...
static const char* differences(bool32 pixels, bool32 memory, bool32 samples) {
    static const char* const words[8] = {
        "",
        "pixels differ",
        "memory differs",
        "pixels and memory differ",
        "samples differ",
        "pixels and samples differ",
        "memory and samples differ",
        "pixels, memory and samples differ",
    };
    return words[(pixels ? 1 : 0) | (memory ? 2 : 0) | (samples ? 4 : 0)];
}

static void check_frame(loop_state* loop, u64 pixels, u64 memory, i32* running) {
    if (loop->frame_number > loop->check_count) {
        fail_check(loop, "the check file ends before it", running);
        return;
    }
    const u64* expected = &loop->check[(loop->frame_number - 1) * CHECK_FIELDS];
    bool32 pixels_differ = expected[0] != pixels;
    bool32 memory_differs = expected[1] != memory;
    // A frame with samples against one without differs too.
    bool32 samples_differ = expected[3] != loop->sound_hashed ||
                            (loop->sound_hashed && expected[2] != loop->sound_hash);
    if (pixels_differ || memory_differs || samples_differ) {
        fail_check(loop, differences(pixels_differ, memory_differs, samples_differ), running);
    }
}

void loop_note_sound(loop_state* loop, bool32 made_sound, u64 hash) {
    loop->sound_hashed = made_sound;
    loop->sound_hash = hash;
}

void loop_end_frame(loop_state* loop, const back_buffer* buffer, void* slot, i32* running) {
    if (loop->hashes || loop->check) {
        u64 pixels = back_buffer_hash(buffer);
        u64 memory = module_memory_hash(slot);
        if (loop->hashes) {
            fprintf(loop->hashes, "%llu %016llx %016llx", (unsigned long long)loop->frame_number,
                    (unsigned long long)pixels, (unsigned long long)memory);
            if (loop->sound_hashed) {
                fprintf(loop->hashes, " %016llx", (unsigned long long)loop->sound_hash);
            }
            fputc('\n', loop->hashes);
            fflush(loop->hashes);
        }
        if (loop->check) {
            check_frame(loop, pixels, memory, running);
        }
    }
    if (loop->headless && loop->mode == LOOP_REPLAYING && loop->next == loop->frames.count) {
        *running = 0;
    }
}

int loop_finish(loop_state* loop) {
    if (loop->check && loop->exit_status == 0 && loop->frame_number < loop->check_count) {
        fprintf(stderr, "Engine: check failed: the run ended after %llu frames, the check file "
                        "has %llu\n",
                (unsigned long long)loop->frame_number, (unsigned long long)loop->check_count);
        loop->exit_status = EXIT_CHECK_FAILED;
    }
    recording_close(&loop->file);
    if (loop->hashes) {
        fclose(loop->hashes);
    }
    free(loop->check);
    recording_free(&loop->frames);
    snapshot_free(&loop->start);
    counter_loop = NULL;
    return loop->exit_status;
}
