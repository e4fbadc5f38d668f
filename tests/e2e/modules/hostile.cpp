// A test module that attacks the host through the services table, one
// attack per frame, and records what each call returned and what the system
// says happened, in "hostile.log" (key=value lines, written with the C
// library). The test prepares the run's data/ first (see test_hostile.py)
// and checks the host survived every step.
//
// Steps that only exist on one system are skipped on the other, with a line
// that says so: texts of 4 GiB and more (they need the POSIX mappings of
// tests/base/big_span.h), devices and FIFOs, and directory names that hold
// a backslash or are deeper than PATH_MAX.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/module.h"
#include "engine/platform_api.h"
#include "log.h"

#ifdef _WIN32
#include <float.h>
#else
#include <dirent.h>
#include <fenv.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/base/big_span.h"
#endif

typedef struct hostile_state {
    u64 frames;
} hostile_state;

static void record(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    append_log_line("hostile.log", format, arguments);
    va_end(arguments);
}

// The size of a file as the C library sees it; -1 when it can't be opened.
static long size_on_disk(const char* path) {
    FILE* file = fopen(path, "rb");
    if (!file) {
        return -1;
    }
    fseek(file, 0, SEEK_END);
    long size = ftell(file);
    fclose(file);
    return size;
}

// write_file_at_path with no bytes still creates or empties the file.
static void write_nothing(platform_api* services) {
    FILE* file = fopen("precious.txt", "wb");
    if (file) {
        fputs("precious", file);
        fclose(file);
    }
    remove("created.txt");
    u32 emptied = services->write_file_at_path("precious.txt", NULL, 0, 0);
    u32 created = services->write_file_at_path("created.txt", NULL, 0, 0);
    record("step=write_nothing emptied=%u emptied_size=%ld created=%u created_size=%ld", emptied,
           size_on_disk("precious.txt"), created, size_on_disk("created.txt"));
}

// seconds_between with the inexact exception unmasked by the module itself:
// the call returns, and the module's setting is still there afterwards.
static void unmasked_inexact(platform_api* services) {
#ifdef _WIN32
    unsigned int before = _control87(0, 0);
    _clearfp();
    _control87(before & ~(unsigned int)_EM_INEXACT, _MCW_EM);
    f32 seconds = services->seconds_between(0, 12345);
    bool32 kept = (_control87(0, 0) & _EM_INEXACT) == 0;
    _clearfp();
    _control87(before, _MCW_EM);
#else
    feclearexcept(FE_ALL_EXCEPT);
    feenableexcept(FE_INEXACT);
    f32 seconds = services->seconds_between(0, 12345);
    bool32 kept = (fegetexcept() & FE_INEXACT) != 0;
    fedisableexcept(FE_INEXACT);
    feclearexcept(FE_ALL_EXCEPT);
#endif
    record("step=inexact positive=%d kept=%u", seconds > 0.0f ? 1 : 0, kept);
}

#ifndef _WIN32
// Entries in the working directory, "." and ".." included.
static u32 count_entries(void) {
    DIR* directory = opendir(".");
    u32 count = 0;
    if (directory) {
        while (readdir(directory)) {
            ++count;
        }
        closedir(directory);
    }
    return count;
}

// Every by-path service with one text of `length` characters (2^32 and
// more); returns how many calls did not fail.
static u32 call_with_path(platform_api* services, const char* path) {
    u32 wrong = 0;
    char buffer[16] = "0123456789";
    dir_entry entries[4];
    file_handle opened = services->open_file(path, 0, FILE_OPEN_WRITE);
    wrong += opened.handle != NULL;
    wrong += services->read_file_at_path(path, buffer, sizeof(buffer), 0) != 0;
    wrong += services->write_file_at_path(path, buffer, 10, 0) != 0;
    wrong += services->list_directory(path, entries, 4) != 0;
    wrong += services->file_exists(path) != 0;
    wrong += services->file_time_at_path(path, FILE_TIME_LAST_WRITE) != 0;
    wrong += services->file_size_at_path(path) != 0;
    wrong += services->delete_file(path) != 0;
    wrong += services->move_file(path, "moved.txt") != 0;
    wrong += services->move_file("precious.txt", path) != 0;
    wrong += services->set_working_directory(path) != 0;
    wrong += services->make_directory(path) != 0;
    wrong += services->remove_directory(path) != 0;
    return wrong;
}

// Paths of 2^32, 2^32 + 10 and 2^32 + 255 characters: each fails as for a
// missing file, and nothing appears in the working directory.
static void huge_paths(platform_api* services, bool32 print) {
    big_span span;
    if (!big_span_map(&span, 'a', 'a')) {
        record("step=huge mapped=0");
        return;
    }
    static const u32 extra[] = {0, 10, 255};
    char before[4096];
    char after[4096];
    u32 entries = count_entries();
    bool32 cwd = getcwd(before, sizeof(before)) != NULL;
    u32 wrong = 0;
    for (u32 i = 0; i < 3; ++i) {
        span.tail[extra[i]] = 0;
        wrong += call_with_path(services, (const char*)span.start);
        span.tail[extra[i]] = 'a';
    }
    cwd = cwd && getcwd(after, sizeof(after)) && strcmp(before, after) == 0;
    record("step=huge mapped=1 wrong=%u entries_kept=%d cwd_kept=%d", wrong,
           count_entries() == entries ? 1 : 0, cwd ? 1 : 0);
    if (print) {
        // The whole text goes to the debugger, not its length modulo 2^32.
        span.tail[10] = 0;
        services->debug_print((const char*)span.start);
        record("step=huge_print printed=%llu", (unsigned long long)(BIG_SPAN_BODY + 10));
    }
    big_span_unmap(&span);
}

// A device that never delivers, and a FIFO the test made, read and written:
// the calls return.
static void devices(platform_api* services) {
    static char buffer[1 << 20];
    u32 kmsg = services->read_file_at_path("/dev/kmsg", buffer, sizeof(buffer), 0);
    FILE* copy = fopen("kmsg.bin", "wb");
    if (copy) {
        fwrite(buffer, 1, kmsg, copy);
        fclose(copy);
    }
    file_handle device = services->open_file("/dev/kmsg", 0, 0);
    u32 by_record = services->read_file(&device, buffer, sizeof(buffer), 0);
    services->close_file(&device);
    file_handle fifo = services->open_file("fifo", 0, 0);
    bool32 fifo_open = fifo.handle != NULL;
    u32 fifo_read = services->read_file(&fifo, buffer, sizeof(buffer), 0);
    services->close_file(&fifo);
    u32 fifo_path = services->read_file_at_path("fifo", buffer, sizeof(buffer), 0);
    u32 fifo_write = services->write_file_at_path("fifo", "x", 1, 0);
    record("step=devices kmsg=%u by_record=%u fifo_open=%d fifo_read=%u fifo_path=%u "
           "fifo_write=%u",
           kmsg, by_record, fifo_open, fifo_read, fifo_path, fifo_write);
}

// The test made "back\slash" and a link "plain" to it.
static void backslash_directory(platform_api* services) {
    static char text[8192];
    bool32 entered = services->set_working_directory("plain");
    u32 n = services->get_working_directory(text, sizeof(text));
    char system[8192];
    bool32 same = getcwd(system, sizeof(system)) && strcmp(system, text) == 0;
    bool32 left = services->set_working_directory("..");
    record("step=backslash entered=%u n=%u same=%d left=%u cwd=%s", entered, n, same ? 1 : 0,
           left, text);
}

// 25 directories of 200 characters, one inside the other: a working
// directory of over 5,000 characters, past PATH_MAX.
#define DEEP_LEVELS 25
#define DEEP_NAME_LENGTH 200
static void deep_directory(platform_api* services) {
    static char start[8192];
    static char expected[16384];
    static char text[16384];
    char name[DEEP_NAME_LENGTH + 1];
    memset(name, 'd', DEEP_NAME_LENGTH);
    name[DEEP_NAME_LENGTH] = 0;
    u32 start_length = services->get_working_directory(start, sizeof(start));
    strcpy(expected, start);
    u32 entered = 0;
    for (u32 i = 0; i < DEEP_LEVELS; ++i) {
        services->make_directory(name);
        entered += services->set_working_directory(name) ? 1 : 0;
        strcat(expected, "/");
        strcat(expected, name);
    }
    u32 needed = services->get_working_directory(NULL, 0);
    u32 n = services->get_working_directory(text, sizeof(text));
    bool32 same = strcmp(text, expected) == 0;
    for (u32 i = 0; i < entered; ++i) {
        services->set_working_directory("..");
    }
    u32 back = services->get_working_directory(text, sizeof(text));
    record("step=deep entered=%u n=%u expected=%u needed=%u same=%d back=%d", entered, n,
           (u32)strlen(expected), needed, same ? 1 : 0,
           back == start_length && strcmp(text, start) == 0 ? 1 : 0);
}
#endif

static void attack(platform_api* services, u64 frame) {
    switch (frame) {
    case 2:
        write_nothing(services);
        break;
    case 3:
        unmasked_inexact(services);
        break;
#ifndef _WIN32
    case 4:
        huge_paths(services, environment_number("HOSTILE_PRINT") != 0);
        break;
    case 5:
        devices(services);
        break;
    case 6:
        backslash_directory(services);
        break;
    case 7:
        deep_directory(services);
        break;
#endif
    case 8:
        // Far beyond any screen: the pointer stops at its bottom-right corner.
        services->set_cursor_position(100000.0f, -100000.0f);
        record("step=cursor");
        break;
    case 10:
        record("step=done");
        break;
    default:
        break;
    }
}

ENTRY_EXPORT void entry(u64, u64, i32*, back_buffer* buffer, struct input_state*, f32,
                        struct platform_api* services, void** module_slot) {
    hostile_state* state =
        (hostile_state*)slot_state(module_slot, services, sizeof(hostile_state));
    state->frames += 1;
    for (u32 y = 0; y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        for (u32 x = 0; x < buffer->width; ++x) {
            row[x] = 0x202040u;
        }
    }
    attack(services, state->frames);
}
