#include "platform/services.h"

platform_api* fill_platform_api(platform_api* services) {
    services->open_file = open_file;
    services->close_file = close_file;
    services->read_file = read_file;
    services->write_file = write_file;
    services->read_file_at_path = read_file_at_path;
    services->write_file_at_path = write_file_at_path;
    services->list_directory = list_directory;
    services->file_exists = file_exists;
    services->file_changed = file_changed;
    services->file_time_at_path = file_time_at_path;
    services->file_time_of_handle = file_time_of_handle;
    services->file_size = file_size;
    services->file_size_at_path = file_size_at_path;
    services->file_size_of_handle = file_size_of_handle;
    services->delete_file = delete_file;
    services->move_file = move_file;
    services->set_cursor_position = set_cursor_position;
    services->get_counter = get_counter;
    services->seconds_between = seconds_between;
    services->allocate_memory = allocate_memory;
    services->free_memory = free_memory;
    services->debug_print = debug_print;
    services->debug_break = debug_break;
    services->disable_float_exceptions = disable_float_exceptions;
    services->enable_float_exceptions = enable_float_exceptions;
    services->get_working_directory = get_working_directory;
    services->set_working_directory = set_working_directory;
    services->make_directory = make_directory;
    services->remove_directory = remove_directory;
    services->last_file_error = last_file_error;
    return services;
}
