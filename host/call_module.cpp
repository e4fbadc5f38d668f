#include "host/call_module.h"

#include <stdio.h>

#include "engine/base/memory.h"
#include "engine/base/text.h"
#include "guard/undo.h"
#include "platform/clock.h"
#include "host/title.h"

// The module's exit(0) is no fault: the frame's writes stand, and the host
// ends after the frame as if the module had cleared the running flag.
static bool32 ended_by_module(const module_fault* fault, host_window* window, i32* running) {
    if (fault->kind != FAULT_EXIT || fault->code != 0) {
        return 0;
    }
    undo_commit();
    *running = 0;
    char words[64];
    char title[MODULE_TITLE_CAPACITY];
    exit_words(fault, words, sizeof(words));
    snprintf(title, sizeof(title), WINDOW_TITLE " - %s", words);
    title_show_event(window, title);
    fprintf(stderr, "Engine: %s\n", words);
    return 1;
}

// Calls the running build, entry and then entry_sound; false when either
// faulted.
static bool32 call_running(module_fault* fault, module_state* module, host_window* window,
                           i32* running, const back_buffer* buffer, back_buffer* buffer_copy,
                           input_state* input, f32 frame_seconds, platform_api* services,
                           host_sound* sound) {
    *buffer_copy = *buffer;
    undo_begin_frame(&module->slot);
    // A reload's line ends with the start that follows it.
    phase_mark("next start");
    phase_end();
    bool32 returned = guarded_entry_call(fault, module->running.entry, running, buffer_copy,
                                         input, frame_seconds, services, &module->slot) &&
                      sound_call(sound, fault, module->running.sound, services, &module->slot);
    if (sound->news) {
        title_show_event(window, sound->news);
        sound->news = 0;
    }
    if (returned) {
        undo_commit();
        return 1;
    }
    if (ended_by_module(fault, window, running)) {
        return 1;
    }
    fault->build_time = module->running.time;
    return 0;
}

// With no build to go back to, the faulted one is held: not called again.
static void hold_fault(module_fault* fault, module_state* module, host_window* window) {
    module->faulted = 1;
    make_title_guarded(fault_title, fault, module->running.library);
    title_report_event(window, fault->title, NULL);
}

// Memory that could not be put back is said plainly, and no build runs on it
// until a new one is loaded.
static void hold_unrestored(module_fault* fault, module_state* module, host_window* window) {
    module->faulted = 1;
    make_title_guarded(unrestored_title, fault, module->running.library);
    title_report_event(window, fault->title, NULL);
}

// What the faulted build's memory holds goes back to the previous build's
// layouts while the faulted build is still loaded. When that can't be done
// exactly the previous build comes back as it did before layouts were
// converted, and why goes into `why` (else "").
static void convert_back(module_state* module, char* why, u32 capacity) {
    whole_returning(&module->whole, 1);
    bool32 converted = whole_may_replace(&module->whole, module->previous.copy_path,
                                         &module->slot, why, capacity);
    whole_returning(&module->whole, 0);
    if (converted) {
        why[0] = 0;
    } else if (!why[0]) {
        copy_text(why, "its state can't be carried back");
    }
}

// Back to the previous build, loaded again from its copy after the faulted
// one is unloaded. The frame is undone first, while the faulted build is
// still loaded, so its kept variables and whole state go on into the
// previous build as the faulting frame found them; whatever its shut-down
// writes is undone too.
static bool32 roll_back(module_fault* fault, module_state* module, host_window* window) {
    make_title_guarded(rollback_title, fault, module->running.library);
    bool32 restored = undo_rollback();
    module_build faulted = module->running;
    fill_bytes(&module->running, 0, sizeof(module->running));
    char why[MODULE_WHY_CAPACITY] = "";
    if (restored) {
        library_image image = build_image(&faulted);
        kept_take(&module->kept, &image);
        // Before the undo watches again: the shut-down's writes are undone,
        // the conversion's stand.
        convert_back(module, why, sizeof(why));
    }
    undo_begin_frame(&module->slot);
    // Its shut-down may fault as well; the title already says what matters.
    module_fault unloading = {};
    unload_build(module, &faulted, &unloading);
    restored = undo_rollback() && restored;
    if (!restored) {
        hold_unrestored(fault, module, window);
        return 0;
    }
    if (!reload_previous(module)) {
        hold_fault(fault, module, window);
        return 0;
    }
    title_report_event(window, fault->title, NULL);
    if (why[0]) {
        long_text line = {};
        long_text_append(&line, "the previous build takes the state as it is, not converted back: ");
        long_text_append(&line, why);
        title_say_line(long_text_view(&line));
        long_text_free(&line);
    }
    // What the previous build took of the state, when there is anything to say.
    if (module->kept_line.length) {
        long_text line = {};
        long_text_append(&line, "the previous build: ");
        long_text_append(&line, long_text_view(&module->kept_line));
        title_say_line(long_text_view(&line));
        long_text_free(&line);
    }
    return 1;
}

void call_module(module_fault* fault, module_state* module, host_window* window, i32* running,
                 const back_buffer* buffer, back_buffer* buffer_copy, input_state* input,
                 f32 frame_seconds, platform_api* services, host_sound* sound) {
    if (module->title_changed) {
        module->title_changed = 0;
        title_report_event(window, module->title, long_text_view(&module->title_line));
    }
    if (!module->running.entry || module->faulted) {
        return;
    }
    if (call_running(fault, module, window, running, buffer, buffer_copy, input, frame_seconds,
                     services, sound)) {
        return;
    }
    if (!module->previous.copy_path[0]) {
        if (undo_rollback()) {
            hold_fault(fault, module, window);
        } else {
            hold_unrestored(fault, module, window);
        }
        return;
    }
    // The previous build is called in this same frame.
    if (!roll_back(fault, module, window)) {
        return;
    }
    module_fault again = {};
    if (!call_running(&again, module, window, running, buffer, buffer_copy, input,
                      frame_seconds, services, sound)) {
        *fault = again;
        if (undo_rollback()) {
            hold_fault(fault, module, window);
        } else {
            hold_unrestored(fault, module, window);
        }
    }
}
