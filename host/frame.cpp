#include "host/frame.h"

#include "base/memory.h"
#include "host/undo.h"
#include "input/frame.h"
#include "platform/services.h"

void host_prepare(host_state* host) {
    fill_bytes(host->working_directory, 0, sizeof(host->working_directory));
    fill_bytes(&host->services, 0, sizeof(host->services));
    fill_platform_api(&host->services);
    // Services through which the system writes into module memory, or frees it.
    undo_wrap_services(&host->services);
    set_working_directory(DATA_DIRECTORY);
    get_working_directory(host->working_directory, sizeof(host->working_directory));
    debug_print(host->working_directory);
}

void host_begin(host_state* host, host_window* window) {
    fill_bytes(&host->buffer, 0, sizeof(host->buffer));
    fill_bytes(&host->marked, 0, sizeof(host->marked));
    fill_bytes(&host->module, 0, sizeof(host->module));
    fill_bytes(&host->fault, 0, sizeof(host->fault));
    host->window = window;
    host->running = 1;
    host->frame_start = 0;
    host->previous_frame_start = 0;
    host->target_frame_seconds = 1.0f / FRAMES_PER_SECOND;
    host->frame_seconds = 0.0f;
    fault_handling_start();
    poll_module(&host->module);
    fill_bytes(&host->input, 0, sizeof(host->input));
}

void host_frame(host_state* host) {
    host->frame_start = read_counter();
    host->marks[MARK_START] = host->frame_start;
    u32 width = 0;
    u32 height = 0;
    window_client_size(host->window, &width, &height);
    resize_back_buffer(&host->buffer, width, height);
    input_begin_frame(&host->input, (u64)host->previous_frame_start, host->buffer.width,
                      host->buffer.height);
    window_pump(host->window, &host->input, host->buffer.height, &host->running);
    input_end_frame(&host->input);
    host->marks[MARK_POLL] = read_counter();
    poll_module(&host->module);
    host->marks[MARK_CALL] = read_counter();
    // A build that faults rolls back to the previous one, or with none is not
    // called again until a new one is loaded.
    call_module(&host->fault, &host->module, host->window, &host->running, &host->buffer,
                &host->buffer_copy, &host->input, host->frame_seconds, &host->services);
    host->marks[MARK_SHOW] = read_counter();
    show_back_buffer(host->window, host->module.faulted, &host->buffer, &host->marked);
    host->marks[MARK_WAIT] = read_counter();
    host->frame_seconds = wait_out_frame(host->frame_start, host->target_frame_seconds);
    host->marks[MARK_END] = read_counter();
    host->previous_frame_start = host->frame_start;
}
