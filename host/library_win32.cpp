#include <windows.h>

#include "host/os.h"
#include "platform/path.h"

bool32 library_copy_path(char* out, u32 capacity, const char* directory, const char* name,
                         u32 load) {
    (void)load;
    char copy_name[MODULE_PATH_CAPACITY];
    return system_path(copy_name, sizeof(copy_name), "active_", name) &&
           system_path(out, capacity, directory, copy_name);
}

bool32 library_copy(const char* from, const char* to) {
    char converted[MAX_PATH];
    return system_path(converted, sizeof(converted), "", from) &&
           CopyFileA(converted, to, FALSE);
}

void* library_load(const char* path) { return (void*)LoadLibraryA(path); }

void* library_symbol(void* library, const char* name) {
    return (void*)GetProcAddress((HMODULE)library, name);
}

void library_free(void* library) { FreeLibrary((HMODULE)library); }

static bool read_exactly_at(HANDLE file, u32 offset, void* buffer, u32 size) {
    OVERLAPPED at = {};
    at.Offset = offset;
    DWORD got = 0;
    return ReadFile(file, buffer, size, &got, &at) && got == size;
}

static bool image_complete(HANDLE file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        return false;
    }
    IMAGE_DOS_HEADER dos;
    if (!read_exactly_at(file, 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        dos.e_lfanew <= 0) {
        return false;
    }
    IMAGE_NT_HEADERS64 nt;
    if (!read_exactly_at(file, (u32)dos.e_lfanew, &nt, sizeof(nt)) ||
        nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return false;
    }
    u64 end = nt.OptionalHeader.SizeOfHeaders;
    u32 sections = (u32)dos.e_lfanew + (u32)offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                   nt.FileHeader.SizeOfOptionalHeader;
    for (u32 i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section;
        if (!read_exactly_at(file, sections + i * (u32)sizeof(section), &section,
                             sizeof(section))) {
            return false;
        }
        u64 section_end = (u64)section.PointerToRawData + section.SizeOfRawData;
        if (section.SizeOfRawData && section_end > end) {
            end = section_end;
        }
    }
    return (u64)size.QuadPart >= end;
}

bool32 library_file_complete(const char* path) {
    char converted[MAX_PATH];
    if (!system_path(converted, sizeof(converted), "", path)) {
        return 0;
    }
    HANDLE file = CreateFileA(converted, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    bool complete = image_complete(file);
    CloseHandle(file);
    return complete;
}
