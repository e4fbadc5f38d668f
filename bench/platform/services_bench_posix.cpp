// What the services cost over the POSIX calls they wrap, against real files
// in the working directory. Every service is called through the filled
// table, as a module calls it; each reference makes the calls a program
// would make itself to get the same result. Rows and names match the
// Windows benchmark's (services_bench_win32.cpp), see rounds.h.
//
// Usage: services_bench [rounds]   (run in a scratch directory)
#include "platform/services.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "bench/platform/rounds.h"

#define FILE_BYTES 65536
#define PIECE_BYTES 4096
#define LISTED_FILES 100
#define FILE_OPERATIONS 200
#define TRANSFER_OPERATIONS 1000
#define COUNTER_OPERATIONS 20000

static const char* const deep_path = "bench/one/two/three/file.bin";
static const char* const written_path = "bench/one/two/three/written.bin";
static const char* const listed_pattern = "bench/listed/*";
static const char* const listed_directory = "bench/listed";

static platform_api services;
static u8 piece[PIECE_BYTES];
static dir_entry entries[LISTED_FILES + 2];
static file_handle read_record;
static file_handle write_record;
static volatile u64 sink;

static int descriptor(const file_handle* file) { return (int)(intptr_t)file->handle; }

static u32 offset_of(u32 i) { return (i * PIECE_BYTES) % FILE_BYTES; }

static u64 page_size(void) { return (u64)sysconf(_SC_PAGESIZE); }

// ---------------------------------------------------------------------------
// Files by record.

static void open_close_service(u32) {
    file_handle file = services.open_file(deep_path, 0, FILE_OPEN_READ);
    services.close_file(&file);
}

static void open_close_reference(u32) { close(open(deep_path, O_RDONLY | O_CLOEXEC)); }

static void read_record_service(u32 i) {
    services.read_file(&read_record, piece, PIECE_BYTES, offset_of(i));
}

static void read_record_reference(u32 i) {
    sink += (u64)pread(descriptor(&read_record), piece, PIECE_BYTES, offset_of(i));
}

static void write_record_service(u32 i) {
    services.write_file(&write_record, piece, PIECE_BYTES, offset_of(i));
}

static void write_record_reference(u32 i) {
    sink += (u64)pwrite(descriptor(&write_record), piece, PIECE_BYTES, offset_of(i));
}

static void changed_service(u32) { sink += services.file_changed(&read_record); }

static void changed_reference(u32) {
    struct stat status;
    fstat(descriptor(&read_record), &status);
    sink += (u64)status.st_mtim.tv_nsec;
}

static void size_service(u32) { sink += services.file_size(&read_record); }

static void size_reference(u32) {
    struct stat status;
    fstat(descriptor(&read_record), &status);
    sink += (u64)status.st_size;
}

// ---------------------------------------------------------------------------
// Files by path.

static void read_path_service(u32 i) {
    services.read_file_at_path(deep_path, piece, PIECE_BYTES, offset_of(i));
}

static void read_path_reference(u32 i) {
    int file = open(deep_path, O_RDONLY | O_CLOEXEC);
    sink += (u64)pread(file, piece, PIECE_BYTES, offset_of(i));
    close(file);
}

static void write_path_service(u32) {
    services.write_file_at_path(written_path, piece, PIECE_BYTES, 0);
}

static void write_path_reference(u32) {
    int file = open(written_path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    sink += (u64)pwrite(file, piece, PIECE_BYTES, 0);
    close(file);
}

static void time_path_service(u32) {
    sink += services.file_time_at_path(deep_path, FILE_TIME_LAST_WRITE);
}

static void time_path_reference(u32) {
    struct stat status;
    stat(deep_path, &status);
    sink += (u64)status.st_mtim.tv_nsec;
}

// The service opens the file, as the Windows host must (a file being
// written has no size there); the reference does the same.
static void size_path_service(u32) { sink += services.file_size_at_path(deep_path); }

static void size_path_reference(u32) {
    int file = open(deep_path, O_RDONLY | O_CLOEXEC);
    struct stat status;
    fstat(file, &status);
    close(file);
    sink += (u64)status.st_size;
}

static void list_service(u32) {
    sink += services.list_directory(listed_pattern, entries, LISTED_FILES + 2);
}

// Names, sizes and kinds, as the entries hold them.
static void list_reference(u32) {
    DIR* search = opendir(listed_directory);
    u32 count = 0;
    struct dirent* found;
    while (count < LISTED_FILES + 2 && (found = readdir(search)) != NULL) {
        dir_entry* entry = &entries[count++];
        strncpy(entry->name, found->d_name, sizeof(entry->name) - 1);
        struct stat status;
        fstatat(dirfd(search), found->d_name, &status, 0);
        entry->size = (u32)status.st_size;
        entry->is_directory = S_ISDIR(status.st_mode) ? 1 : 0;
    }
    closedir(search);
    sink += count;
}

// ---------------------------------------------------------------------------
// Memory and the counter.

static void plain_service(u32) {
    memory_block block = services.allocate_memory(FILE_BYTES, NULL, 0);
    ((u8*)block.memory)[0] = 1;
    services.free_memory(&block);
}

static void plain_reference(u32) {
    void* memory =
        mmap(NULL, FILE_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ((u8*)memory)[0] = 1;
    munmap(memory, FILE_BYTES);
}

static void guarded_service(u32) {
    memory_block block = services.allocate_memory(FILE_BYTES, NULL, MEMORY_GUARD_PAGE);
    ((u8*)block.memory)[0] = 1;
    services.free_memory(&block);
}

// The same layout: the pages, one more, then the no-access page.
static void guarded_reference(u32) {
    u64 page = page_size();
    u64 length = (FILE_BYTES / page + 2) * page;
    u8* memory =
        (u8*)mmap(NULL, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    mprotect(memory + length - page, page, PROT_NONE);
    memory[length - page - FILE_BYTES] = 1;
    munmap(memory, length);
}

static void counter_service(u32) { sink += services.get_counter(); }

static void counter_reference(u32) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    sink += (u64)now.tv_nsec;
}

// ---------------------------------------------------------------------------

static void prepare_files(void) {
    static u8 contents[FILE_BYTES];
    services.write_file_at_path(deep_path, contents, FILE_BYTES, 0);
    for (u32 i = 0; i < LISTED_FILES; ++i) {
        char name[64];
        snprintf(name, sizeof(name), "bench/listed/file%03u.txt", i);
        services.write_file_at_path(name, name, 8, 0);
    }
}

static const bench_case cases[] = {
    {"open_file + close_file (3 parents)", open_close_service, open_close_reference,
     FILE_OPERATIONS},
    {"read_file 4 KiB, open record", read_record_service, read_record_reference,
     TRANSFER_OPERATIONS},
    {"write_file 4 KiB, open record", write_record_service, write_record_reference,
     TRANSFER_OPERATIONS},
    {"read_file_at_path 4 KiB", read_path_service, read_path_reference, FILE_OPERATIONS},
    {"write_file_at_path 4 KiB (truncates)", write_path_service, write_path_reference,
     FILE_OPERATIONS},
    {"file_changed, open record", changed_service, changed_reference, TRANSFER_OPERATIONS},
    {"file_size, open record", size_service, size_reference, TRANSFER_OPERATIONS},
    {"file_time_at_path, last write", time_path_service, time_path_reference, FILE_OPERATIONS},
    {"file_size_at_path", size_path_service, size_path_reference, FILE_OPERATIONS},
    {"list_directory, 102 entries", list_service, list_reference, FILE_OPERATIONS / 10},
    {"allocate_memory 64 KiB + free", plain_service, plain_reference, FILE_OPERATIONS},
    {"allocate_memory 64 KiB guarded + free", guarded_service, guarded_reference,
     FILE_OPERATIONS},
    {"get_counter", counter_service, counter_reference, COUNTER_OPERATIONS},
};

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 31;
    fill_platform_api(&services);
    clock_start();
    prepare_files();
    read_record = services.open_file(deep_path, 0, FILE_OPEN_READ);
    write_record = services.open_file(written_path, 0, FILE_OPEN_WRITE);
    bench_print_header("Linux (POSIX)", rounds);
    for (const bench_case& c : cases) {
        bench_compare(&c, rounds);
    }
    services.close_file(&read_record);
    services.close_file(&write_record);
    return 0;
}
