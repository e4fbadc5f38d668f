// What the services cost over the system calls they wrap, against real
// files in the working directory. Each case is timed in rounds against a
// reference doing the same work with the bare calls, interleaved so that a
// noisy machine slows both alike; the table shows the medians per operation
// and their ratio.
//
// Usage: services_bench.exe [rounds]   (run in a scratch directory)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "platform/clock.h"
#include "platform/file_win32.h"
#include "platform/services.h"

#define OPERATIONS_PER_ROUND 200
#define FILE_BYTES 65536
#define PIECE_BYTES 4096
#define LISTED_FILES 100

static const char* const deep_path = "bench/one/two/three/file.bin";
static const char* const deep_system_path = "bench\\one\\two\\three\\file.bin";

static u8 piece[PIECE_BYTES];
static dir_entry entries[LISTED_FILES + 2];

typedef void operation(u32 i);

// Microseconds per operation: the median over rounds.
static double median_micros(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

static double round_micros(operation* run) {
    u64 start = (u64)read_counter();
    for (u32 i = 0; i < OPERATIONS_PER_ROUND; ++i) {
        run(i);
    }
    u64 end = (u64)read_counter();
    return (double)(end - start) * 1e6 / (double)counter_frequency / OPERATIONS_PER_ROUND;
}

static void compare(const char* name, operation* service, operation* reference, int rounds) {
    std::vector<double> service_times;
    std::vector<double> reference_times;
    for (int r = 0; r < rounds; ++r) {
        service_times.push_back(round_micros(service));
        reference_times.push_back(round_micros(reference));
    }
    double s = median_micros(service_times);
    double b = median_micros(reference_times);
    printf("%-34s %12.2f %12.2f %8.2f\n", name, s, b, s / b);
}

static void open_close_service(u32) {
    file_handle file = open_file(deep_path, 0, FILE_OPEN_READ);
    close_file(&file);
}

static void open_close_reference(u32) {
    HANDLE file = CreateFileA(deep_system_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    CloseHandle(file);
}

static void read_path_service(u32 i) {
    read_file_at_path(deep_path, piece, PIECE_BYTES, (i * PIECE_BYTES) % FILE_BYTES);
}

static void read_path_reference(u32 i) {
    HANDLE file = CreateFileA(deep_system_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    SetFilePointer(file, (LONG)((i * PIECE_BYTES) % FILE_BYTES), NULL, FILE_BEGIN);
    DWORD count = 0;
    ReadFile(file, piece, PIECE_BYTES, &count, NULL);
    CloseHandle(file);
}

static file_handle open_record;

static void read_record_service(u32 i) {
    read_file(&open_record, piece, PIECE_BYTES, (i * PIECE_BYTES) % FILE_BYTES);
}

static void read_record_reference(u32 i) {
    SetFilePointer(open_record.handle, (LONG)((i * PIECE_BYTES) % FILE_BYTES), NULL, FILE_BEGIN);
    DWORD count = 0;
    ReadFile(open_record.handle, piece, PIECE_BYTES, &count, NULL);
}

static void changed_service(u32) { file_changed(&open_record); }

static void changed_reference(u32) {
    FILETIME write;
    GetFileTime(open_record.handle, NULL, NULL, &write);
}

static void list_service(u32) { list_directory("bench/listed/*", entries, LISTED_FILES + 2); }

static void list_reference(u32) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("bench/listed/*", &found);
    u32 count = 0;
    do {
        lstrcpynA(entries[count].name, found.cFileName, sizeof(entries[count].name));
        entries[count].size = found.nFileSizeLow;
        ++count;
    } while (count < LISTED_FILES + 2 && FindNextFileA(search, &found));
    FindClose(search);
}

static void size_service(u32) { file_size_at_path(deep_path); }

static void size_reference(u32) {
    HANDLE file = CreateFileA(deep_system_path, GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    CloseHandle(file);
}

static void guarded_service(u32) {
    memory_block block = allocate_memory(FILE_BYTES, NULL, MEMORY_GUARD_PAGE);
    ((u8*)block.memory)[0] = 1;
    free_memory(&block);
}

static void guarded_reference(u32) {
    void* memory = VirtualAlloc(NULL, FILE_BYTES, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ((u8*)memory)[0] = 1;
    VirtualFree(memory, 0, MEM_RELEASE);
}

static void prepare_files(void) {
    static u8 contents[FILE_BYTES];
    write_file_at_path(deep_path, contents, FILE_BYTES, 0);
    for (u32 i = 0; i < LISTED_FILES; ++i) {
        char name[64];
        snprintf(name, sizeof(name), "bench/listed/file%03u.txt", i);
        write_file_at_path(name, name, 8, 0);
    }
}

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 21;
    clock_start();
    prepare_files();
    open_record = open_file(deep_path, 0, FILE_OPEN_READ);

    printf("%-34s %12s %12s %8s\n", "operation (us each, median)", "service", "bare calls",
           "ratio");
    compare("open_file + close_file (3 parents)", open_close_service, open_close_reference,
            rounds);
    compare("read_file_at_path 4 KiB", read_path_service, read_path_reference, rounds);
    compare("read_file 4 KiB, open record", read_record_service, read_record_reference, rounds);
    compare("file_changed, open record", changed_service, changed_reference, rounds);
    compare("file_size_at_path", size_service, size_reference, rounds);
    compare("list_directory, 102 entries", list_service, list_reference, rounds);
    compare("allocate_memory guarded + free", guarded_service, guarded_reference, rounds);
    close_file(&open_record);
    return 0;
}
