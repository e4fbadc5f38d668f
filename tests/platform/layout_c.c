/* The services header compiled as C, as a C module would include it. */
#include <stddef.h>

#include "platform/platform_api.h"

size_t c_file_handle_size(void) { return sizeof(file_handle); }
size_t c_handle_offset(void) { return offsetof(file_handle, handle); }
size_t c_dir_entry_size(void) { return sizeof(dir_entry); }
size_t c_memory_block_size(void) { return sizeof(memory_block); }
size_t c_file_error_size(void) { return sizeof(file_error); }
size_t c_table_size(void) { return sizeof(platform_api); }
size_t c_last_slot_offset(void) { return offsetof(platform_api, last_file_error); }
