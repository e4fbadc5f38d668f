// What the services cost over the Windows calls they wrap, against real
// files in the working directory. Every service is called through the
// filled table, as a module calls it; each reference makes the calls a
// program would make itself to get the same result. Rows and names match
// the POSIX benchmark's (services_bench_posix.cpp), see rounds.h.
//
// Usage: services_bench.exe [rounds]   (run in a scratch directory)
#include <windows.h>

#include <stdlib.h>

#include "bench/platform/rounds.h"
#include "platform/services.h"

#define FILE_BYTES 65536
#define PIECE_BYTES 4096
#define LISTED_FILES 100
#define FILE_OPERATIONS 200
#define TRANSFER_OPERATIONS 1000
#define COUNTER_OPERATIONS 20000

static const char* const deep_path = "bench/one/two/three/file.bin";
static const char* const deep_system_path = "bench\\one\\two\\three\\file.bin";
static const char* const written_path = "bench/one/two/three/written.bin";
static const char* const written_system_path = "bench\\one\\two\\three\\written.bin";
static const char* const listed_pattern = "bench/listed/*";

static platform_api services;
static u8 piece[PIECE_BYTES];
static dir_entry entries[LISTED_FILES + 2];
static file_handle read_record;
static file_handle write_record;
static volatile u64 sink;

static u32 offset_of(u32 i) { return (i * PIECE_BYTES) % FILE_BYTES; }

static HANDLE open_shared(const char* path, DWORD access, DWORD disposition) {
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, disposition,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

// ---------------------------------------------------------------------------
// Files by record.

static void open_close_service(u32) {
    file_handle file = services.open_file(deep_path, 0, FILE_OPEN_READ);
    services.close_file(&file);
}

static void open_close_reference(u32) {
    CloseHandle(open_shared(deep_system_path, GENERIC_READ, OPEN_EXISTING));
}

static void read_record_service(u32 i) {
    services.read_file(&read_record, piece, PIECE_BYTES, offset_of(i));
}

static void read_record_reference(u32 i) {
    SetFilePointer(read_record.handle, (LONG)offset_of(i), NULL, FILE_BEGIN);
    DWORD count = 0;
    ReadFile(read_record.handle, piece, PIECE_BYTES, &count, NULL);
    sink += count;
}

static void write_record_service(u32 i) {
    services.write_file(&write_record, piece, PIECE_BYTES, offset_of(i));
}

static void write_record_reference(u32 i) {
    SetFilePointer(write_record.handle, (LONG)offset_of(i), NULL, FILE_BEGIN);
    DWORD count = 0;
    WriteFile(write_record.handle, piece, PIECE_BYTES, &count, NULL);
    sink += count;
}

static void changed_service(u32) { sink += services.file_changed(&read_record); }

static void changed_reference(u32) {
    FILETIME write;
    GetFileTime(read_record.handle, NULL, NULL, &write);
    sink += write.dwLowDateTime;
}

static void size_service(u32) { sink += services.file_size(&read_record); }

static void size_reference(u32) {
    LARGE_INTEGER size;
    GetFileSizeEx(read_record.handle, &size);
    sink += (u64)size.QuadPart;
}

// ---------------------------------------------------------------------------
// Files by path.

static void read_path_service(u32 i) {
    services.read_file_at_path(deep_path, piece, PIECE_BYTES, offset_of(i));
}

static void read_path_reference(u32 i) {
    HANDLE file = open_shared(deep_system_path, GENERIC_READ, OPEN_EXISTING);
    SetFilePointer(file, (LONG)offset_of(i), NULL, FILE_BEGIN);
    DWORD count = 0;
    ReadFile(file, piece, PIECE_BYTES, &count, NULL);
    CloseHandle(file);
    sink += count;
}

static void write_path_service(u32) {
    services.write_file_at_path(written_path, piece, PIECE_BYTES, 0);
}

static void write_path_reference(u32) {
    HANDLE file = open_shared(written_system_path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    DWORD count = 0;
    WriteFile(file, piece, PIECE_BYTES, &count, NULL);
    CloseHandle(file);
    sink += count;
}

static void time_path_service(u32) {
    sink += services.file_time_at_path(deep_path, FILE_TIME_LAST_WRITE);
}

static void time_path_reference(u32) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    GetFileAttributesExA(deep_system_path, GetFileExInfoStandard, &data);
    sink += data.ftLastWriteTime.dwLowDateTime;
}

// Opened for shared reading only, as the service does: a file someone is
// writing has no size.
static void size_path_service(u32) { sink += services.file_size_at_path(deep_path); }

static void size_path_reference(u32) {
    HANDLE file = CreateFileA(deep_system_path, GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    CloseHandle(file);
    sink += (u64)size.QuadPart;
}

static void list_service(u32) {
    sink += services.list_directory(listed_pattern, entries, LISTED_FILES + 2);
}

// Names, sizes and kinds, as the entries hold them.
static void list_reference(u32) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("bench\\listed\\*", &found);
    u32 count = 0;
    do {
        dir_entry* entry = &entries[count++];
        lstrcpynA(entry->name, found.cFileName, sizeof(entry->name));
        entry->size = found.nFileSizeLow;
        entry->is_directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    } while (count < LISTED_FILES + 2 && FindNextFileA(search, &found));
    FindClose(search);
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
    void* memory = VirtualAlloc(NULL, FILE_BYTES, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ((u8*)memory)[0] = 1;
    VirtualFree(memory, 0, MEM_RELEASE);
}

static void guarded_service(u32) {
    memory_block block = services.allocate_memory(FILE_BYTES, NULL, MEMORY_GUARD_PAGE);
    ((u8*)block.memory)[0] = 1;
    services.free_memory(&block);
}

// The same layout: the pages, one more, then the no-access page.
static void guarded_reference(u32) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    SIZE_T page = info.dwPageSize;
    SIZE_T length = (FILE_BYTES / page + 2) * page;
    u8* memory = (u8*)VirtualAlloc(NULL, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old;
    VirtualProtect(memory + length - page, page, PAGE_NOACCESS, &old);
    memory[length - page - FILE_BYTES] = 1;
    VirtualFree(memory, 0, MEM_RELEASE);
}

static void counter_service(u32) { sink += services.get_counter(); }

static void counter_reference(u32) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    sink += (u64)now.QuadPart;
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
    bench_print_header("Windows (Wine)", rounds);
    for (const bench_case& c : cases) {
        bench_compare(&c, rounds);
    }
    services.close_file(&read_record);
    services.close_file(&write_record);
    return 0;
}
