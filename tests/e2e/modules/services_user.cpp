// A test module that uses the services table the host hands it, one step
// per frame, and records what every slot returned.
//
// Files live under "services/" in the working directory (the run's data/).
// The test writes "given.txt" there before the start. Each step appends one
// line of key=value fields to "services.log", written with the C library so
// that a broken service can't hide its own result; the pages and the counter
// are checked against the system's own view of them. After the last step the
// module only draws; the test closes the window.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <xmmintrin.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <time.h>
#endif

#include "engine/module.h"
#include "engine/platform_api.h"
#include "log.h"

// Kept behind the slot: the record of a file watched across frames, the
// table's address and a counter reading from an earlier frame.
typedef struct module_state {
    u64 frames;
    platform_api* table;
    file_handle watched;
    u64 counter;
} module_state;

static void record(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    append_log_line("services.log", format, arguments);
    va_end(arguments);
}

// What the system says of the page holding an address.
typedef enum page_state {
    PAGE_UNMAPPED,
    PAGE_NO_ACCESS,
    PAGE_ACCESSIBLE,
} page_state;

#ifdef _WIN32
static page_state page_at(const void* address) {
    MEMORY_BASIC_INFORMATION info = {};
    if (!VirtualQuery(address, &info, sizeof(info)) || info.State == MEM_FREE) {
        return PAGE_UNMAPPED;
    }
    return info.Protect == PAGE_NOACCESS ? PAGE_NO_ACCESS : PAGE_ACCESSIBLE;
}

// The counter the host's clock is documented to read, and its rate.
static u64 system_counter(void) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (u64)now.QuadPart;
}

static double system_counter_frequency(void) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)frequency.QuadPart;
}

// A fresh page holding bytes, then made read-only.
static void* read_only_copy(const void* bytes, u32 count) {
    void* page = VirtualAlloc(NULL, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    memcpy(page, bytes, count);
    DWORD old = 0;
    VirtualProtect(page, 4096, PAGE_READONLY, &old);
    return page;
}
#else
// The mapping that holds the address, from the kernel's list of them.
static page_state page_at(const void* address) {
    FILE* maps = fopen("/proc/self/maps", "r");
    if (!maps) {
        return PAGE_UNMAPPED;
    }
    page_state state = PAGE_UNMAPPED;
    char line[512];
    while (fgets(line, sizeof(line), maps)) {
        unsigned long long start = 0, end = 0;
        char access[5] = {0};
        if (sscanf(line, "%llx-%llx %4s", &start, &end, access) == 3 &&
            (u64)address >= start && (u64)address < end) {
            state = strncmp(access, "---", 3) == 0 ? PAGE_NO_ACCESS : PAGE_ACCESSIBLE;
            break;
        }
    }
    fclose(maps);
    return state;
}

// CLOCK_MONOTONIC in 100-nanosecond ticks, as the host's clock counts.
static u64 system_counter(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (u64)now.tv_sec * 10000000ull + (u64)now.tv_nsec / 100;
}

static double system_counter_frequency(void) { return 10000000.0; }

static void* read_only_copy(const void* bytes, u32 count) {
    void* page = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    memcpy(page, bytes, count);
    mprotect(page, 4096, PROT_READ);
    return page;
}
#endif

// Bytes as text without spaces: zeros as ".", anything unprintable as "?".
static const char* shown(const void* bytes, u32 count) {
    static char text[512];
    const u8* in = (const u8*)bytes;
    u32 i = 0;
    for (; i < count && i < sizeof(text) - 1; ++i) {
        text[i] = in[i] == 0 ? '.' : (in[i] > ' ' && in[i] < 127) ? (char)in[i] : '?';
    }
    text[i] = 0;
    return text;
}

static bool is_zero_record(const file_handle* file) {
    const u8* bytes = (const u8*)file;
    for (u32 i = 0; i < sizeof(*file); ++i) {
        if (bytes[i]) {
            return false;
        }
    }
    return true;
}

// Frame 1: the table itself, then a file written and read at offsets
// through one record, and a second one written by path.
static void step_write(module_state* state, platform_api* api) {
    void* const* slots = (void* const*)api;
    u32 filled = 0;
    for (u32 i = 0; i < 30; ++i) {
        filled += slots[i] != NULL;
    }
    record("step=table filled=%u", filled);

    file_handle file = api->open_file("services/notes/log.txt", 0, FILE_OPEN_WRITE);
    u32 first = api->write_file(&file, "hello", 5, 0);
    u32 second = api->write_file(&file, "world", 5, 10);
    u32 written_position = file.position;
    char buffer[64];
    memset(buffer, '#', sizeof(buffer));
    u32 read = api->read_file(&file, buffer, (u64)sizeof(buffer), 0);
    record("step=write name=%s open=%d w=%u,%u wpos=%u r=%u rpos=%u read=%u written=%u "
           "text=%s size=%llu size_of_handle=%llu",
           file.name, file.handle != NULL, first, second, written_position, read, file.position,
           file.bytes_read, file.bytes_written, shown(buffer, read),
           (unsigned long long)api->file_size(&file),
           (unsigned long long)api->file_size_of_handle(file.handle));
    api->close_file(&file);

    u32 by_path = api->write_file_at_path("services/notes/second.txt", "abc", 3, 2);
    record("step=write_path n=%u size=%llu", by_path,
           (unsigned long long)api->file_size_at_path("services/notes/second.txt"));
    (void)state;
}

// Frame 2: reads by path (a file the test wrote, one the module wrote),
// existence, times, a listing, and a record kept open for writing.
static void step_read(module_state* state, platform_api* api) {
    char buffer[64];
    memset(buffer, 0, sizeof(buffer));
    u32 given = api->read_file_at_path("given.txt", buffer, sizeof(buffer), 0);
    record("step=given n=%u text=%s size=%llu exists=%u", given, shown(buffer, given),
           (unsigned long long)api->file_size_at_path("given.txt"), api->file_exists("given.txt"));

    u32 tail = api->read_file_at_path("services/notes/second.txt", buffer, sizeof(buffer), 1);
    record("step=read_path n=%u text=%s", tail, shown(buffer, tail));

    dir_entry entries[8];
    u32 count = api->list_directory("services/notes/*", entries, 8);
    char listing[1024] = "";
    for (u32 i = 0; i < count && i < 8; ++i) {
        char item[300];
        snprintf(item, sizeof(item), "%s%s:%u:%u", i ? "," : "", entries[i].name,
                 entries[i].is_directory, entries[i].size);
        strncat(listing, item, sizeof(listing) - strlen(listing) - 1);
    }
    memset(entries, 0x5A, sizeof(entries));
    u32 capped = api->list_directory("services/notes/*", entries, 2);
    record("step=list n=%u entries=%s capped=%u untouched=%d", count, listing, capped,
           entries[2].name[0] == 0x5A && entries[1].name[0] != 0x5A);

    state->watched =
        api->open_file("services/notes/log.txt", 10, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    file_handle* watched = &state->watched;
    u64 write_time = api->file_time_at_path("services/notes/log.txt", FILE_TIME_LAST_WRITE);
    u64 handle_time = api->file_time_of_handle(watched->handle, FILE_TIME_LAST_WRITE);
    u32 changed = api->file_changed(watched);
    record("step=watch open=%d pos=%u changed=%u kept_time=%d time=%d same_time=%d kind3=%llu "
           "exists=%u missing=%u size_while_writing=%llu size=%llu",
           watched->handle != NULL, watched->position, changed,
           watched->last_write_time == handle_time, write_time != 0, write_time == handle_time,
           (unsigned long long)api->file_time_at_path("services/notes/log.txt", 3),
           api->file_exists("services/notes/log.txt"), api->file_exists("services/none.txt"),
           (unsigned long long)api->file_size_at_path("services/notes/log.txt"),
           (unsigned long long)api->file_size(watched));
}

// Frame 3: moving, deleting, a failed open and its error, directories and
// the working directory, over-long paths; the watched file is modified.
static void step_tidy(module_state* state, platform_api* api) {
    bool32 moved = api->move_file("services/notes/second.txt", "services/moved.txt");
    u32 doomed = api->write_file_at_path("services/doomed.txt", "x", 1, 0);
    bool32 deleted = api->delete_file("services/doomed.txt");
    record("step=move moved=%u doomed=%u deleted=%u gone=%u again=%u", moved, doomed, deleted,
           api->file_exists("services/doomed.txt") == 0, api->delete_file("services/doomed.txt"));

    file_handle missing = api->open_file("services/missing/deeper/x.txt", 0, FILE_OPEN_READ);
    file_error error = api->last_file_error();
    char message[64];
    snprintf(message, sizeof(message), "%s", error.message);
    for (char* c = message; *c; ++c) {
        *c = *c == ' ' ? '_' : *c;
    }
    bool zero = is_zero_record(&missing);
    char buffer[8];
    u32 read = api->read_file(&missing, buffer, sizeof(buffer), 3);
    record("step=failed zero=%d read=%u pos=%u code=%llu message=%s", zero, read,
           missing.position, (unsigned long long)error.code, message);

    char directory[300];
    u32 length = api->get_working_directory(directory, sizeof(directory));
    char small[4];
    u32 needed = api->get_working_directory(small, sizeof(small));
    bool32 made = api->make_directory("services/made");
    bool32 entered = api->set_working_directory("services/made");
    char inside[300];
    api->get_working_directory(inside, sizeof(inside));
    bool32 left = api->set_working_directory("../..");
    char back[300];
    api->get_working_directory(back, sizeof(back));
    bool32 removed = api->remove_directory("services/made");
    record("step=dirs cwd=%s n=%u needed=%u made=%u entered=%u inside=%s left=%u back=%d "
           "removed=%u kept=%u nested=%u",
           directory, length, needed, made, entered, inside, left, strcmp(back, directory) == 0,
           removed, api->make_directory("services/kept"), api->make_directory("services/a/b"));

    char long_path[300];
    memset(long_path, 'n', sizeof(long_path));
    memcpy(long_path, "services/long/", 14);
    long_path[sizeof(long_path) - 1] = 0;
    file_handle refused = api->open_file(long_path, 0, FILE_OPEN_WRITE);
    record("step=long open_zero=%d write=%u read=%u exists=%u size=%llu time=%llu mkdir=%u "
           "cd=%u rmdir=%u",
           is_zero_record(&refused), api->write_file_at_path(long_path, "x", 1, 0),
           api->read_file_at_path(long_path, buffer, sizeof(buffer), 0),
           api->file_exists(long_path), (unsigned long long)api->file_size_at_path(long_path),
           (unsigned long long)api->file_time_at_path(long_path, FILE_TIME_LAST_WRITE),
           api->make_directory(long_path), api->set_working_directory(long_path),
           api->remove_directory(long_path));

    u32 appended = api->write_file(&state->watched, "!", 1, 15);
    record("step=modify n=%u pos=%u written=%u", appended, state->watched.position,
           state->watched.bytes_written);
}

// Frame 4: the modification seen once, then pages with and without a guard,
// and a counter reading for the next frame.
static void step_memory(module_state* state, platform_api* api) {
    file_handle* watched = &state->watched;
    u32 first = api->file_changed(watched);
    u32 second = api->file_changed(watched);
    api->close_file(watched);
    record("step=changed first=%u second=%u size=%llu", first, second,
           (unsigned long long)api->file_size_at_path("services/notes/log.txt"));

    memory_block guarded = api->allocate_memory(100, NULL, MEMORY_GUARD_PAGE);
    u8* bytes = (u8*)guarded.memory;
    bool zeroed = bytes != NULL;
    for (u32 i = 0; bytes && i < 100; ++i) {
        zeroed = zeroed && bytes[i] == 0;
        bytes[i] = (u8)i;
    }
    page_state past = page_at(bytes + 100);
    api->free_memory(&guarded);
    // Gone for the module: its pages are released, or (while the host keeps
    // the spot from a stale copy of the record, or defers the release to
    // the frame's end) no longer accessible.
    page_state freed = page_at(bytes);
    record("step=guarded size=%llu reserved=%llu zeroed=%d mod8=%llu end_on_page=%d "
           "past_noaccess=%d freed=%d",
           (unsigned long long)guarded.size, (unsigned long long)guarded.reserved, zeroed,
           (unsigned long long)((u64)bytes % 8), (u64)(bytes + 100) % 4096 == 0,
           past == PAGE_NO_ACCESS, freed != PAGE_ACCESSIBLE);

    memory_block plain = api->allocate_memory(1 << 20, NULL, 0);
    u8* pages = (u8*)plain.memory;
    zeroed = pages != NULL;
    for (u32 i = 0; pages && i < (1u << 20); i += 997) {
        zeroed = zeroed && pages[i] == 0;
        pages[i] = 1;
    }
    api->free_memory(&plain);
    record("step=plain size=%llu zeroed=%d page_aligned=%d freed=%d",
           (unsigned long long)plain.size, zeroed, (u64)pages % 4096 == 0,
           page_at(pages) != PAGE_ACCESSIBLE);

    u64 before = system_counter();
    state->counter = api->get_counter();
    u64 after = system_counter();
    record("step=counter ordered=%d", before <= state->counter && state->counter <= after);
}

// Frame 5: the clock across a frame, the floating-point control word as the
// processor holds it, the cursor and the debugger.
static void step_system(module_state* state, platform_api* api, back_buffer* buffer,
                        f32 frame_seconds) {
    u64 now = api->get_counter();
    double expected = (double)(now - state->counter) / system_counter_frequency();
    record("step=clock seconds=%.9g expected=%.9g dt=%.6f zero=%.1f",
           (double)api->seconds_between(state->counter, now), expected, (double)frame_seconds,
           (double)api->seconds_between(now, now));

    api->enable_float_exceptions();
    u32 enabled = _mm_getcsr();
    api->disable_float_exceptions();
    u32 disabled = _mm_getcsr();
    record("step=float enabled=0x%x disabled=0x%x", enabled, disabled);

    api->set_cursor_position(100.9f, 50.7f);
    api->debug_print("services_user: hello from entry");
    record("step=cursor width=%u height=%u", buffer->width, buffer->height);
}

// Frame 6: what a hostile module tries. Every call must return without
// harming the host, a file or a block the module still owns.
static void step_hostile(platform_api* api, back_buffer* buffer) {
    u32 no_buffer = api->get_working_directory(NULL, 64);
    char own[8] = {'a', '\\', 'b', '\\', 0, 'x', 'x', 'x'};
    u32 small = api->get_working_directory(own, sizeof(own));
    record("step=hostile_cwd no_buffer=%u small=%u unchanged=%d", no_buffer, small,
           memcmp(own, "a\\b\\\0xxx", 8) == 0);

    // A denormal coordinate while the module traps on denormals; then the
    // pointer goes back where the cursor step put it.
    volatile f32 tiny = 1e-40f;
    api->enable_float_exceptions();
    api->set_cursor_position(tiny, tiny);
    api->disable_float_exceptions();
    api->set_cursor_position(100.9f, 50.7f);

    // Pages the host owns: the back buffer's, whole and from its pixels.
    memory_block pixels = {buffer->memory, (u64)buffer->allocated_pixels * 4, 0};
    api->free_memory(&pixels);
    memory_block image = {buffer->pixels, (u64)buffer->pitch * buffer->height * 4, 0};
    api->free_memory(&image);
    // A stale copy of a freed block against its same-sized successor.
    memory_block block = api->allocate_memory(8192, NULL, 0);
    memory_block stale = block;
    api->free_memory(&block);
    memory_block successor = api->allocate_memory(8192, NULL, 0);
    api->free_memory(&stale);
    bool successor_kept = successor.memory && page_at(successor.memory) == PAGE_ACCESSIBLE;
    api->free_memory(&successor);
    record("step=hostile_memory pixels_kept=%d successor_kept=%d", 
           page_at(buffer->memory) == PAGE_ACCESSIBLE, successor_kept);

    // Refused writes and opens leave the file as it was and create nothing.
    api->write_file_at_path("services/keep.txt", "precious", 8, 0);
    u32 null_write = api->write_file_at_path("services/keep.txt", NULL, 5, 0);
    api->open_file("services/absent/none.txt", 0, FILE_OPEN_READ);
    file_handle past_end = api->open_file("services/keep.txt", 9, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    u64 past_end_code = api->last_file_error().code;
    file_handle created = api->open_file("services/new.txt", 1, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    file_handle file = api->open_file("services/keep.txt", 0, FILE_OPEN_READ);
    api->close_file(&file);
    char text[16] = {0};
    u32 after_close = api->read_file(&file, text, sizeof(text), 0);
    u32 kept = api->read_file_at_path("services/keep.txt", text, sizeof(text), 0);
    record("step=hostile_files null_write=%u text=%s past_end_zero=%d past_end_code=%llu "
           "created_zero=%d closed_handle=%llu after_close=%u",
           null_write, shown(text, kept), is_zero_record(&past_end),
           (unsigned long long)past_end_code, is_zero_record(&created),
           (unsigned long long)(u64)file.handle, after_close);

    // Two records open for writing on one file share what they write.
    file_handle first = api->open_file("services/shared.txt", 0, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    file_handle second = api->open_file("services/shared.txt", 0, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    api->write_file(&first, "shared", 6, 0);
    char seen[8] = {0};
    u32 shared = api->read_file(&second, seen, 6, 0);
    // Records in read-only memory: closing and freeing must not write them.
    file_handle* fixed_file = (file_handle*)read_only_copy(&first, sizeof(first));
    api->close_file(fixed_file);
    memory_block scratch = api->allocate_memory(100, NULL, 0);
    memory_block* fixed_block = (memory_block*)read_only_copy(&scratch, sizeof(scratch));
    api->free_memory(fixed_block);
    api->close_file(&second);
    record("step=hostile_records shared=%s block_freed=%d", shown(seen, shared),
           page_at(scratch.memory) == PAGE_UNMAPPED);

#ifndef _WIN32
    // Files the system reports as size 0 read the same into a block as into
    // other memory.
    memory_block into = api->allocate_memory(4096, NULL, 0);
    char other[512];
    u32 status_block = api->read_file_at_path("/proc/self/status", into.memory, 512, 0);
    u32 status_other = api->read_file_at_path("/proc/self/status", other, 512, 0);
    file_handle zero = api->open_file("/dev/zero", 0, FILE_OPEN_READ);
    u32 zero_block = api->read_file(&zero, into.memory, 512, 0);
    u32 zero_other = api->read_file(&zero, other, 512, 0);
    api->close_file(&zero);
    api->free_memory(&into);
    record("step=size_zero_reads status=%d same_status=%d same_zero=%d", status_block > 0,
           status_block == status_other, zero_block == zero_other);
#endif

    // A relative name that passes MAX_PATH with the working directory in front.
    char name[256];
    u32 length = (u32)snprintf(name, sizeof(name), "services/");
    for (u32 i = 0; length < 250; ++i) {
        name[length++] = (i % 10 == 9) ? '/' : 'd';
    }
    memcpy(name + length, "f.txt", 6);
    u32 written = api->write_file_at_path(name, "x", 1, 0);
    record("step=hostile_exists length=%u written=%u exists=%u", (u32)strlen(name), written,
           api->file_exists(name));
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        struct input_state* input, f32 frame_seconds,
                        struct platform_api* services, void** module_slot) {
    (void)zero_a;
    (void)zero_b;
    (void)running;
    (void)input;
    // The C library's memory, not the memory service: that is under test.
    if (!*module_slot) {
        *module_slot = calloc(1, sizeof(module_state));
        ((module_state*)*module_slot)->table = services;
    }
    module_state* state = (module_state*)*module_slot;
    state->frames += 1;
    if (services != state->table) {
        record("step=moved_table frame=%llu", (unsigned long long)state->frames);
    }
    switch (state->frames) {
    case 1:
        step_write(state, services);
        break;
    case 2:
        step_read(state, services);
        break;
    case 3:
        step_tidy(state, services);
        break;
    case 4:
        step_memory(state, services);
        break;
    case 5:
        step_system(state, services, buffer, frame_seconds);
        break;
    case 6:
        step_hostile(services, buffer);
        break;
    default:
        break;
    }
    // The host goes on with its pages after the hostile frame: the module
    // draws into them and the host shows them.
    if (state->frames >= 6 && buffer->pixels) {
        buffer->pixels[0] = (u32)state->frames;
    }
    if (state->frames == 12) {
        record("step=survived frames=%llu", (unsigned long long)state->frames);
    }
}
