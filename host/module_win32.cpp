#include "host/module_win32.h"

#include "platform/file_win32.h"
#include "platform/path_win32.h"

module_entry* load_module(const char* name, const char* directory, const char* export_name,
                          HMODULE* handle_slot) {
    if (*handle_slot) {
        FreeLibrary(*handle_slot);
    }
    *handle_slot = NULL;

    char module_path[MAX_PATH];
    char copy_name[MAX_PATH];
    char copy_path[MAX_PATH];
    bool fits = system_path(module_path, MAX_PATH, directory, name) &&
                system_path(copy_name, MAX_PATH, MODULE_COPY_PREFIX, name) &&
                system_path(copy_path, MAX_PATH, directory, copy_name);
    // A failed copy would leave the previous build in place under the copy's
    // name; loading that would pass an old build off as the new one.
    if (!fits || !CopyFileA(module_path, copy_path, FALSE)) {
        return NULL;
    }
    *handle_slot = LoadLibraryA(copy_path);
    if (!*handle_slot) {
        return NULL;
    }
    return (module_entry*)(void*)GetProcAddress(*handle_slot, export_name);
}

// The same reading the file-time service gives for the module's path.
u64 module_file_time(void) { return file_time_at_path(MODULE_PATH, FILE_TIME_LAST_WRITE); }

bool32 module_time_present(u64 time) { return (u32)time != 0; }

bool32 module_needs_load(u64 current, u64 recorded) {
    if (!module_time_present(current)) {
        return 0;
    }
    if (!module_time_present(recorded)) {
        return 1;
    }
    return (u32)current != (u32)recorded || (u32)(current >> 32) != (u32)(recorded >> 32);
}

static bool read_at(HANDLE file, u32 offset, void* buffer, u32 size) {
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
    if (!read_at(file, 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        dos.e_lfanew <= 0) {
        return false;
    }
    IMAGE_NT_HEADERS64 nt;
    if (!read_at(file, (u32)dos.e_lfanew, &nt, sizeof(nt)) || nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return false;
    }
    u64 end = nt.OptionalHeader.SizeOfHeaders;
    u32 sections = (u32)dos.e_lfanew + (u32)offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                   nt.FileHeader.SizeOfOptionalHeader;
    for (u32 i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section;
        if (!read_at(file, sections + i * (u32)sizeof(section), &section, sizeof(section))) {
            return false;
        }
        u64 section_end = (u64)section.PointerToRawData + section.SizeOfRawData;
        if (section.SizeOfRawData && section_end > end) {
            end = section_end;
        }
    }
    return (u64)size.QuadPart >= end;
}

bool32 module_file_complete(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    bool complete = image_complete(file);
    CloseHandle(file);
    return complete;
}

void poll_module(module_state* module) {
    u64 current = module_file_time();
    if (!module_needs_load(current, module->time) || !module_file_complete(MODULE_PATH)) {
        return;
    }
    module->entry = load_module(MODULE_NAME, MODULE_DIRECTORY, MODULE_EXPORT, &module->handle);
    // A build that loaded without an "entry" export is recorded too: trying it
    // again every frame would not give it one.
    if (module->handle) {
        module->time = current;
    }
}
