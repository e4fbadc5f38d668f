#include "host/frame.h"

#include "engine/base/memory.h"
#include "guard/undo.h"
#include "input/frame.h"
#include "platform/clock.h"
#include "platform/services.h"

#include <stdio.h>

// The least the net's start may take, as a share of the period, when the
// module alone fills the frame; and what is kept free for the pacing.
#define NET_SHARE_LEAST (1.0 / 3.0)
#define NET_MARGIN_MS 2.0

static f64 marks_ms(i64 start, i64 end) {
    return (f64)(end - start) * 1000.0 / (f64)counter_frequency;
}

// What the undo's start may take so the frame ends in time: the period,
// less what has run and what the last frame's call and showing took.
static void give_budget(host_state* host) {
    if (!host->window || host->loop.headless) {
        return;
    }
    f64 period = (f64)host->target_frame_seconds * 1000.0;
    f64 left = period - marks_ms(host->frame_start, read_counter()) - host->last_call_ms -
               host->last_show_ms - NET_MARGIN_MS;
    undo_budget(left > period * NET_SHARE_LEAST ? left : period * NET_SHARE_LEAST, left);
}

// What is left of the frame's wait, less the pacing's margin.
static f64 wait_left_ms(const host_state* host) {
    return (f64)host->target_frame_seconds * 1000.0 -
           marks_ms(host->frame_start, read_counter()) - NET_MARGIN_MS;
}

// What of the frame's wait the reload's pointer scan may read ahead in.
#define READ_AHEAD_SHARE 0.5
#define READ_AHEAD_MOST_MS 3.0

// The running whole-state build's pointers read ahead while the frame
// waits, so a reload reads only what changed since (carry/scan.h).
static void read_ahead(host_state* host) {
    if (host->loop.headless || !whole_running(&host->module.whole)) {
        return;
    }
    f64 share = wait_left_ms(host) * READ_AHEAD_SHARE;
    state_scan_ahead(&host->module.whole.layout,
                     share < READ_AHEAD_MOST_MS ? share : READ_AHEAD_MOST_MS);
}

// What this frame can give a reload at its poll and still end in time: the
// period, less what has run and what the last frame's call and showing
// took. All there is where nothing is called live or nothing waits.
static f64 reload_spare_ms(const host_state* host, bool32 paused) {
    if (!host->window || host->loop.headless || paused || host->loop.mode != LOOP_LIVE) {
        return MODULE_SPARE_ALL;
    }
    return (f64)host->target_frame_seconds * 1000.0 - marks_ms(host->frame_start, read_counter()) -
           host->last_call_ms - host->last_show_ms - NET_MARGIN_MS;
}

// Once for each change of protection, in the title and on standard error.
static void say_protection(host_state* host) {
    undo_protection now = undo_protection_now();
    if (now.level == host->protection_said || !host->undo) {
        return;
    }
    host->protection_said = now.level;
    char size[32];
    u64 mib = (now.bytes + (1u << 19)) >> 20;
    snprintf(size, sizeof(size), mib ? "%llu MiB" : "%llu KiB",
             (unsigned long long)(mib ? mib : (now.bytes + 1023) >> 10));
    char text[160];
    if (now.level == UNDO_NONE) {
        snprintf(text, sizeof(text), "the last frame wrote %s: it can't be undone", size);
    } else if (now.level == UNDO_NO_HISTORY) {
        snprintf(text, sizeof(text), "the last frame wrote %s: the history keeps fewer frames",
                 size);
    } else {
        snprintf(text, sizeof(text), "the frames fit again: each is undone%s",
                 host->rewind.on ? " and kept" : "");
    }
    fprintf(stderr, "Engine: %s\n", text);
    char title[192];
    snprintf(title, sizeof(title), "Engine - %s", text);
    title_show_event(host->window, title);
}

void host_prepare(host_state* host) {
    fill_bytes(host->working_directory, 0, sizeof(host->working_directory));
    fill_bytes(&host->services, 0, sizeof(host->services));
    fill_platform_api(&host->services);
    // A replay gives the counter it recorded.
    host->services.get_counter = loop_get_counter;
    set_working_directory(DATA_DIRECTORY);
    get_working_directory(host->working_directory, sizeof(host->working_directory));
    debug_print(host->working_directory);
}

// The kept variables taken with loop editing's snapshot, and given back to
// the build that runs when the snapshot is put back (after a rebuild in the
// loop, by key, as after any reload).
static kept_set loop_kept;
static state_taken loop_whole;

static void loop_kept_snapshot(void* context, bool32 put_back) {
    module_state* module = (module_state*)context;
    module_build* running = &module->running;
    if (!running->library) {
        return;
    }
    if (!put_back) {
        library_image image = build_image(running);
        kept_take(&loop_kept, &image);
        whole_snapshot(&module->whole, &loop_whole);
        return;
    }
    if (loop_whole.taken && whole_running(&module->whole)) {
        whole_put_back(&module->whole, &loop_whole, &module->slot);
        return;
    }
    char note[KEPT_NOTE_CAPACITY];
    library_image image = build_image(running);
    kept_give(&loop_kept, &image, note, sizeof(note));
}

bool32 host_options_open(host_state* host, int count, char** arguments, bool32* headless) {
    host_options options;
    char message[LOOP_MESSAGE_CAPACITY];
    if (!parse_options(&options, count, arguments, message, sizeof(message))) {
        fprintf(stderr, "Engine: %s\n%s\n", message, host_usage);
        return 0;
    }
    if (!loop_open(&host->loop, &options, message, sizeof(message))) {
        fprintf(stderr, "Engine: %s\n", message);
        return 0;
    }
    if (!sound_open(&host->sound, options.headless, options.sound, message, sizeof(message))) {
        fprintf(stderr, "Engine: %s\n", message);
        return 0;
    }
    host->undo = !options.no_undo;
    host->history_seconds = options.history_seconds;
    host->history_mebibytes = options.history_mebibytes;
    host->loop.kept_snapshot = loop_kept_snapshot;
    host->loop.kept_context = &host->module;
    *headless = options.headless;
    return 1;
}

void host_begin(host_state* host, host_window* window) {
    fill_bytes(&host->buffer, 0, sizeof(host->buffer));
    fill_bytes(&host->marked, 0, sizeof(host->marked));
    fill_bytes(&host->module, 0, sizeof(host->module));
    fill_bytes(&host->build, 0, sizeof(host->build));
    fill_bytes(&host->fault, 0, sizeof(host->fault));
    host->last_call_ms = 0.0;
    host->last_show_ms = 0.0;
    host->protection_said = UNDO_FULL;
    host->window = window;
    host->running = 1;
    host->frame_start = 0;
    host->previous_frame_start = 0;
    host->target_frame_seconds = 1.0f / FRAMES_PER_SECOND;
    host->frame_seconds = 0.0f;
    fault_handling_start();
    undo_start(host->undo);
    // Headless runs replay a recording to its end: nobody steps them.
    rewind_start(&host->rewind, window ? host->history_seconds : 0, host->history_mebibytes,
                 host->undo);
    module_locate(&host->module);
    host->module.whole.snapshot_held = host->loop.mode != LOOP_LIVE;
    poll_module(&host->module);
    fill_bytes(&host->input, 0, sizeof(host->input));
}

// The chord that starts afresh with a build that waits (reload.h). Not
// while loop editing records or replays: its snapshot of the running build
// would be put back into the new one at the next round.
static void take_afresh_chord(host_state* host) {
    if (!chords_take_afresh() || !host->module.waiting) {
        return;
    }
    if (host->loop.mode != LOOP_LIVE) {
        title_say_line(MODULE_AFRESH_CHORD " starts afresh once loop editing is off (alt+L)");
        return;
    }
    start_afresh(&host->module);
}

void host_frame(host_state* host) {
    host->frame_start = read_counter();
    host->marks[MARK_START] = host->frame_start;
    loop_state* loop = &host->loop;
    loop_begin_frame(loop, &host->module.slot, &host->input);
    u32 width = 0;
    u32 height = 0;
    if (host->window) {
        window_client_size(host->window, &width, &height);
    }
    loop_buffer_size(loop, &width, &height);
    // A paused frame keeps the size it was shown at.
    if (!host->rewind.paused) {
        resize_back_buffer(&host->buffer, width, height);
    }
    input_state* live = rewind_live_input(&host->rewind, loop_live_input(loop, &host->input));
    input_begin_frame(live, (u64)host->previous_frame_start, host->buffer.width,
                      host->buffer.height);
    loop_after_input_begin(loop, live);
    u32 loop_presses = 0;
    if (host->window) {
        loop_presses = window_pump(host->window, live, host->buffer.height, &host->running);
    }
    input_end_frame(live);
    bool32 paused = rewind_begin_frame(host, loop_presses);
    f32 frame_seconds = host->frame_seconds;
    loop_feed(loop, &host->input, host->frame_start, &frame_seconds);
    if (loop->title_changed) {
        loop->title_changed = 0;
        title_show_loop(host->window, loop->title);
    }
    host->marks[MARK_POLL] = read_counter();
    host->module.whole.snapshot_held = loop->mode != LOOP_LIVE;
    if (host->module.waiting && host->module.whole.waits_for_loop && loop->mode == LOOP_LIVE) {
        // Loop editing is off: the build that waited for it is looked at again.
        host->module.whole.waits_for_loop = 0;
        host->module.stamped = 0;
    }
    host->reload_in_wait = poll_module_within(&host->module, reload_spare_ms(host, paused));
    take_afresh_chord(host);
    if (build_status_poll(&host->build, &host->module)) {
        title_show_build(host->window, host->build.part);
    }
    host->marks[MARK_CALL] = read_counter();
    // A build that faults rolls back to the previous one, or with none is not
    // called again until a new one is loaded.
    // Paused, the shown frame is run without entry_sound: a pause is silent.
    sound_begin_frame(&host->sound, host->module.running.sound);
    if (paused) {
        rewind_paused_frame(host);
    } else {
        give_budget(host);
        call_module(&host->fault, &host->module, host->window, &host->running, &host->buffer,
                    &host->buffer_copy, &host->input, frame_seconds, &host->services,
                    &host->sound);
        undo_budget(0.0, 0.0);  // when no start took it
        rewind_note_frame(host, frame_seconds);
        say_protection(host);
    }
    sound_end_frame(&host->sound);
    loop_note_sound(loop, host->sound.exported, host->sound.hash);
    loop_end_frame(loop, &host->buffer, host->module.slot, &host->running);
    host->marks[MARK_SHOW] = read_counter();
    if (host->window) {
        show_back_buffer(host->window, host->module.faulted, &host->buffer, &host->marked);
    }
    host->marks[MARK_WAIT] = read_counter();
    read_ahead(host);
    if (host->reload_in_wait) {
        // The running build has had its frame; the new one comes in while
        // this frame waits, so the wait takes up what the reload costs.
        host->reload_in_wait = 0;
        poll_module(&host->module);
    } else if (!paused && !loop->headless) {
        // What a start over its budget left out, after the showing.
        undo_catch_up(wait_left_ms(host));
    }
    if (!loop->headless) {
        host->frame_seconds = wait_out_frame(host->frame_start, host->target_frame_seconds);
    }
    phase_skip();  // a reload's phases leave out the wait
    host->marks[MARK_END] = read_counter();
    if (!paused) {
        host->last_call_ms = marks_ms(host->marks[MARK_CALL], host->marks[MARK_SHOW]) -
                             undo_protection_now().milliseconds;
        host->last_show_ms = marks_ms(host->marks[MARK_SHOW], host->marks[MARK_WAIT]);
    }
    host->previous_frame_start = host->frame_start;
}
