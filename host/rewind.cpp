#include "host/rewind.h"

#include <stdio.h>
#include <stdlib.h>

#include "engine/base/memory.h"
#include "guard/history.h"
#include "guard/undo.h"
#include "host/frame.h"
#include "platform/clock.h"
#include "platform/heap.h"

void rewind_start(rewind_state* rewind, u32 seconds, u32 mebibytes, bool32 undo) {
    fill_bytes(rewind, 0, sizeof(*rewind));
    if (seconds && !undo) {
        fprintf(stderr, "Engine: no history to rewind with --no-undo: it rides on the undo\n");
    }
    rewind->on = seconds && mebibytes && undo;
    u64 frames = (u64)seconds * (u64)FRAMES_PER_SECOND;
    history_limit(rewind->on ? (u32)(frames < 1000000 ? frames : 1000000) : 0,
                  (u64)mebibytes << 20);
}

input_state* rewind_live_input(rewind_state* rewind, input_state* input) {
    return rewind->paused ? &rewind->live : input;
}

static const rewind_frame* kept_frame(u32 index) {
    u64 size = 0;
    const rewind_frame* frame = (const rewind_frame*)history_payload(index, &size);
    return frame && size == sizeof(rewind_frame) ? frame : NULL;
}

static void say(host_state* host, const char* text) {
    snprintf(host->rewind.title, sizeof(host->rewind.title), "%s", text);
    title_show_loop(host->window, host->rewind.title);
}

static void say_where(host_state* host) {
    const rewind_frame* shown = kept_frame(host->rewind.shown);
    const rewind_frame* newest = kept_frame(history_frames() - 1);
    if (!shown || !newest) {
        return;
    }
    char text[REWIND_TITLE_CAPACITY];
    f64 back = (f64)(newest->frame.counter - shown->frame.counter) / (f64)counter_frequency;
    // Before a reload that took the kept memory along, no step can be made.
    const char* why = host->rewind.shown < history_first_steppable()
                          ? " - can't step: the reload took these frames' memory along (alt+R "
                            "replays them)"
                          : "";
    snprintf(text, sizeof(text), "rewind: frame %llu of %llu (-%.2f s), paused%s",
             (unsigned long long)shown->number, (unsigned long long)newest->number, back, why);
    say(host, text);
}

// Memory to the start of frame target.
static void step_to(host_state* host, i64 target) {
    rewind_state* rewind = &host->rewind;
    i64 first = history_first_steppable();
    if ((i64)rewind->shown < first) {
        say_where(host);
        return;
    }
    i64 last = (i64)history_frames() - 1;
    // Past the newest the state is that after it, not a frame to show.
    target = target < first ? first : target > last ? last : target;
    rewind->shown = history_step(rewind->shown, (u32)target);
    heap_refresh();
    rewind->show = 1;
    if ((i64)rewind->shown != target) {
        say(host, "rewind: can't step further: a block's place is taken");
    }
}

static void pause(host_state* host) {
    rewind_state* rewind = &host->rewind;
    // The last frame's writes reach the history at the next frame's start:
    // taken in now, with no call, so memory and history agree.
    undo_begin_frame(&host->module.slot);
    undo_commit();
    rewind->paused = 1;
    rewind->shown = history_frames();
    rewind->live = host->input;
    rewind->copies_seen = host->module.copies;
    history_pause(1);
}

static void go_live(host_state* host) {
    rewind_state* rewind = &host->rewind;
    // The shown frame runs again as the next live one, with its number.
    const rewind_frame* shown = kept_frame(rewind->shown);
    if (shown) {
        rewind->frames = shown->number - 1;
    }
    history_drop_from(rewind->shown);
    history_pause(0);
    rewind->paused = 0;
    host->input = rewind->live;
    say(host, "");
}

// The kept frames from the shown one to the newest, replayed by the loop.
static void play_from_shown(host_state* host, bool32 repeats) {
    u32 first = host->rewind.shown;
    u32 count = history_frames() - first;
    recorded_frame* frames = (recorded_frame*)malloc((u64)count * sizeof(recorded_frame) + 1);
    for (u32 i = 0; frames && i < count; ++i) {
        const rewind_frame* kept = kept_frame(first + i);
        if (!kept) {
            count = i;
            break;
        }
        frames[i] = kept->frame;
    }
    go_live(host);
    if (frames && count) {
        loop_play_frames(&host->loop, frames, count, repeats, &host->module.slot, &host->input);
    }
    free(frames);
}

// The kept input from the shown frame (live: the oldest) to the newest, as
// a recording the command line replays: "history-0001.rec" and on, in the
// working directory. The module's state at its first frame is not in it: a
// replay starts from a fresh start-up.
static void save(host_state* host) {
    u32 first = host->rewind.paused ? host->rewind.shown : 0;
    char name[32];
    FILE* taken = NULL;
    u32 number = 0;
    do {
        snprintf(name, sizeof(name), "history-%04u.rec", ++number);
        taken = fopen(name, "rb");
        if (taken) {
            fclose(taken);
        }
    } while (taken && number < 9999);
    recording_file file;
    char reason[128];
    char text[REWIND_TITLE_CAPACITY];
    u32 written = 0;
    if (recording_create(&file, name, reason, sizeof(reason))) {
        for (u32 i = first; i < history_frames(); ++i) {
            const rewind_frame* kept = kept_frame(i);
            written += kept && recording_write(&file, &kept->frame);
        }
        recording_close(&file);
        snprintf(text, sizeof(text), "saved %u frames to %s", written, name);
    } else {
        snprintf(text, sizeof(text), "can't save the history: %s %s", name, reason);
    }
    fprintf(stderr, "Engine: %s\n", text);
    say(host, text);
}

static void take_key(host_state* host, rewind_key key) {
    rewind_state* rewind = &host->rewind;
    if (key == REWIND_SAVE) {
        save(host);
        return;
    }
    if (!rewind->paused) {
        if (key == REWIND_RESUME || key == REWIND_REPLAY || !history_frames() ||
            history_first_steppable() >= history_frames()) {
            return;
        }
        pause(host);
    }
    i64 at = rewind->shown;
    switch (key) {
    case REWIND_BACK: step_to(host, at - 1); break;
    case REWIND_FORWARD: step_to(host, at + 1); break;
    case REWIND_SECOND_BACK: step_to(host, at - REWIND_SECOND_FRAMES); break;
    case REWIND_SECOND_FORWARD: step_to(host, at + REWIND_SECOND_FRAMES); break;
    case REWIND_OLDEST: step_to(host, 0); break;
    case REWIND_NEWEST: step_to(host, (i64)history_frames() - 1); break;
    case REWIND_RESUME: go_live(host); break;
    case REWIND_REPLAY: play_from_shown(host, 0); break;
    default: break;
    }
}

bool32 rewind_begin_frame(host_state* host, u32 loop_presses) {
    rewind_key keys[64];
    u32 count = chords_take(keys, 64);
    rewind_state* rewind = &host->rewind;
    // Loop editing has the frames while it records or replays.
    if (!rewind->on || host->loop.mode != LOOP_LIVE) {
        loop_take_chords(&host->loop, loop_presses);
        return 0;
    }
    for (u32 i = 0; i < count; ++i) {
        take_key(host, keys[i]);
    }
    if (rewind->paused && loop_presses) {
        play_from_shown(host, 1);
    } else if (!rewind->paused) {
        loop_take_chords(&host->loop, loop_presses);
    }
    return rewind->paused;
}

// The shown frame run from its start with its recorded input, shown, and
// its writes undone; again whenever a new build came.
void rewind_paused_frame(host_state* host) {
    rewind_state* rewind = &host->rewind;
    module_state* module = &host->module;
    // Each load makes a copy of its own: a new count is a new build.
    if (module->copies != rewind->copies_seen) {
        rewind->show = 1;
    }
    const rewind_frame* kept = kept_frame(rewind->shown);
    if (!rewind->show || !kept || !module->running.entry || module->faulted) {
        return;
    }
    rewind->show = 0;
    rewind->copies_seen = module->copies;
    host->input = kept->frame.input;
    resize_back_buffer(&host->buffer, (u32)kept->frame.input.width,
                       (u32)kept->frame.input.height);
    host->buffer_copy = host->buffer;
    loop_fix_counter(&host->loop, 1, kept->frame.counter);
    undo_begin_frame(&module->slot);
    module_fault fault = {};
    bool32 returned = guarded_entry_call(&fault, module->running.entry, &host->running,
                                         &host->buffer_copy, &host->input,
                                         kept->frame.frame_seconds, &host->services,
                                         &module->slot);
    undo_rollback();
    loop_fix_counter(&host->loop, 0, 0);
    say_where(host);
    if (!returned) {
        fault_title(&fault, module->running.library);
        title_report_event(host->window, fault.title, NULL);
    }
}

void rewind_note_frame(host_state* host, f32 frame_seconds) {
    if (!host->rewind.on || host->rewind.paused) {
        return;
    }
    rewind_frame frame;
    fill_bytes(&frame, 0, sizeof(frame));
    frame.frame.counter = host->frame_start;
    frame.frame.frame_seconds = frame_seconds;
    frame.frame.input = host->input;
    frame.number = ++host->rewind.frames;
    history_note_payload(&frame, sizeof(frame));
}
