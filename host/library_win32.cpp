#include <windows.h>

#include <stdio.h>

#include "engine/base/memory.h"
#include "engine/base/number.h"
#include "engine/base/text.h"
#include "host/os.h"
#include "platform/path.h"

u32 process_id(void) { return (u32)GetCurrentProcessId(); }

// Folds one value into a running hash (FNV-1a over its bytes).
static u64 fold(u64 hash, u64 value) {
    for (u32 i = 0; i < 8; ++i) {
        hash = (hash ^ ((value >> (i * 8)) & 0xFF)) * 0x100000001B3ull;
    }
    return hash;
}

// Opens an existing file without standing in the way of its writer.
static HANDLE open_shared(const char* path, DWORD access) {
    char converted[MAX_PATH];
    if (!system_path(converted, sizeof(converted), "", path)) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(converted, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

u64 library_file_identity(const char* path) {
    HANDLE file = open_shared(path, FILE_READ_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION about = {};
    FILE_BASIC_INFO basic = {};
    bool32 known = GetFileInformationByHandle(file, &about);
    GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic));
    CloseHandle(file);
    if (!known) {
        return 0;
    }
    u64 hash = 0xCBF29CE484222325ull;
    hash = fold(hash, ((u64)about.nFileIndexHigh << 32) | about.nFileIndexLow);
    hash = fold(hash, ((u64)about.nFileSizeHigh << 32) | about.nFileSizeLow);
    hash = fold(hash, (u64)basic.ChangeTime.QuadPart);
    return hash ? hash : 1;
}

u64 library_file_glance(const char* path) {
    char converted[MAX_PATH];
    WIN32_FILE_ATTRIBUTE_DATA about;
    if (!system_path(converted, sizeof(converted), "", path) ||
        !GetFileAttributesExA(converted, GetFileExInfoStandard, &about)) {
        return 0;
    }
    u64 hash = 0xCBF29CE484222325ull;
    hash = fold(hash, ((u64)about.ftLastWriteTime.dwHighDateTime << 32) |
                          about.ftLastWriteTime.dwLowDateTime);
    hash = fold(hash, ((u64)about.nFileSizeHigh << 32) | about.nFileSizeLow);
    hash = fold(hash, ((u64)about.ftCreationTime.dwHighDateTime << 32) |
                          about.ftCreationTime.dwLowDateTime);
    return hash ? hash : 1;
}

// Only a file on disk: a pipe or a device could keep ReadFile waiting.
u32 read_regular_file(const char* path, void* buffer, u32 capacity) {
    HANDLE file = open_shared(path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION about = {};
    u32 count = 0;
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &about) &&
        !(about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DWORD got = 0;
        while (count < capacity &&
               ReadFile(file, (u8*)buffer + count, capacity - count, &got, NULL) && got) {
            count += got;
        }
    }
    CloseHandle(file);
    return count;
}

bool32 process_alive(u32 id) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)id);
    if (!process) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD code = 0;
    bool32 alive = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return alive;
}

bool32 library_copy(const char* from, const char* to) {
    char converted[MAX_PATH];
    return system_path(converted, sizeof(converted), "", from) &&
           CopyFileA(converted, to, FALSE);
}

static u32 append_bounded(char* out, u32 capacity, u32 at, const char* text) {
    for (; *text && at + 1 < capacity; ++text) {
        out[at++] = *text;
    }
    out[at] = 0;
    return at;
}

static bool read_exactly_at(HANDLE file, u32 offset, void* buffer, u32 size);

// The file offset of a relative virtual address, through the section table.
static bool file_offset(HANDLE file, u32 sections, u32 count, u32 rva, u32* offset) {
    for (u32 i = 0; i < count; ++i) {
        IMAGE_SECTION_HEADER section;
        if (!read_exactly_at(file, sections + i * (u32)sizeof(section), &section,
                             sizeof(section))) {
            return false;
        }
        u32 size = section.Misc.VirtualSize ? section.Misc.VirtualSize : section.SizeOfRawData;
        if (rva >= section.VirtualAddress && rva < section.VirtualAddress + size) {
            *offset = rva - section.VirtualAddress + section.PointerToRawData;
            return true;
        }
    }
    return false;
}

// The first library the image imports that the loader cannot find, by
// walking the import table of the file and looking each one up as the
// loader would (without running anything of it); false when all are found.
static bool missing_import(const char* path, char* name, u32 capacity) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool found = false;
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    u32 directory = 0;
    if (read_exactly_at(file, 0, &dos, sizeof(dos)) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
        read_exactly_at(file, (u32)dos.e_lfanew, &nt, sizeof(nt)) &&
        nt.Signature == IMAGE_NT_SIGNATURE &&
        nt.OptionalHeader.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_IMPORT) {
        u32 sections = (u32)dos.e_lfanew + (u32)offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                       nt.FileHeader.SizeOfOptionalHeader;
        u32 count = nt.FileHeader.NumberOfSections;
        u32 rva = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
        if (rva && file_offset(file, sections, count, rva, &directory)) {
            for (u32 i = 0; !found && i < 4096; ++i) {
                IMAGE_IMPORT_DESCRIPTOR import;
                u32 name_at = 0;
                char imported[MAX_PATH] = {0};
                if (!read_exactly_at(file, directory + i * (u32)sizeof(import), &import,
                                     sizeof(import)) ||
                    !import.Name) {
                    break;
                }
                if (!file_offset(file, sections, count, import.Name, &name_at)) {
                    continue;
                }
                OVERLAPPED at = {};
                at.Offset = name_at;
                DWORD got = 0;
                ReadFile(file, imported, sizeof(imported) - 1, &got, &at);
                if (!imported[0] || GetModuleHandleA(imported)) {
                    continue;
                }
                HMODULE probe = LoadLibraryExA(imported, NULL, LOAD_LIBRARY_AS_DATAFILE);
                if (probe) {
                    FreeLibrary(probe);
                    continue;
                }
                append_bounded(name, capacity, 0, imported);
                found = true;
            }
        }
    }
    CloseHandle(file);
    return found;
}

void* library_load(const char* path, char* reason, u32 capacity) {
    HMODULE library = LoadLibraryA(path);
    if (library || !capacity) {
        return (void*)library;
    }
    DWORD error = GetLastError();
    char missing[MAX_PATH];
    u32 at = 0;
    reason[0] = 0;
    if (error == ERROR_MOD_NOT_FOUND && missing_import(path, missing, sizeof(missing))) {
        at = append_bounded(reason, capacity, at, "missing library ");
        append_bounded(reason, capacity, at, missing);
    } else if (error == ERROR_DLL_INIT_FAILED) {
        append_bounded(reason, capacity, at, "start-up routine failed");
    } else {
        char digits[12];
        digits[print_u32(digits, (u32)error)] = 0;
        at = append_bounded(reason, capacity, at, "error ");
        append_bounded(reason, capacity, at, digits);
    }
    return NULL;
}

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

static const char* foreign_reason(HANDLE file) {
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    if (!read_exactly_at(file, 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        dos.e_lfanew <= 0 || !read_exactly_at(file, (u32)dos.e_lfanew, &nt, sizeof(nt)) ||
        nt.Signature != IMAGE_NT_SIGNATURE) {
        return NULL;
    }
    if (nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        return "a 32-bit library";
    }
    if (nt.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64) {
        return "a library for another machine";
    }
    if (!(nt.FileHeader.Characteristics & IMAGE_FILE_DLL)) {
        return "an executable, not a library";
    }
    return NULL;
}

bool32 library_file_foreign(const char* path, char* reason, u32 capacity) {
    HANDLE file = open_shared(path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    const char* found = foreign_reason(file);
    CloseHandle(file);
    if (found) {
        snprintf(reason, capacity, "%s", found);
    }
    return found != NULL;
}

// The image's own headers are mapped with it.
bool32 library_image_of(void* library, const char* path, library_image* image) {
    (void)path;
    image->base = image->table = NULL;
    image->size = image->table_size = 0;
    u8* base = (u8*)library;
    if (!base) {
        return 0;
    }
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)(base + dos->e_lfanew);
    image->base = base;
    image->size = nt->OptionalHeader.SizeOfImage;
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (u32 i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        char name[IMAGE_SIZEOF_SHORT_NAME + 1] = {0};
        copy_bytes(name, section->Name, IMAGE_SIZEOF_SHORT_NAME);
        if (text_equal(name, ENGINE_KEPT_SECTION)) {
            image->table = base + section->VirtualAddress;
            image->table_size = section->Misc.VirtualSize;
        }
    }
    return 1;
}

bool32 library_file_complete(const char* path) {
    HANDLE file = open_shared(path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    bool complete = image_complete(file);
    CloseHandle(file);
    return complete;
}
