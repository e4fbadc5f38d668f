// PE images. The Windows host reads which builds ask to keep their whole
// state and where their image lies; carrying that state (the COFF symbols,
// the DWARF that MinGW writes into the image, the allocator through the
// import table) is the Linux host's alone so far, and such a build starts
// afresh at each reload, said in the title.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "host/image.h"

bool32 image_keeps_all(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    DWORD got = 0;
    bool32 found = 0;
    if (ReadFile(file, &dos, sizeof(dos), &got, NULL) && got == sizeof(dos) &&
        dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 &&
        SetFilePointer(file, dos.e_lfanew, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
        ReadFile(file, &nt, sizeof(nt), &got, NULL) && got == sizeof(nt) &&
        nt.Signature == IMAGE_NT_SIGNATURE) {
        LONG sections = dos.e_lfanew + (LONG)offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                        nt.FileHeader.SizeOfOptionalHeader;
        SetFilePointer(file, sections, NULL, FILE_BEGIN);
        for (u32 i = 0; !found && i < nt.FileHeader.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section;
            if (!ReadFile(file, &section, sizeof(section), &got, NULL) || got != sizeof(section)) {
                break;
            }
            found = memcmp(section.Name, "engall", 7) == 0;
        }
    }
    CloseHandle(file);
    return found;
}

bool32 image_read(void* library, const char* path, image_layout* layout) {
    (void)path;
    memset(layout, 0, sizeof(*layout));
    const u8* base = (const u8*)library;
    if (base) {
        const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
        const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)(base + dos->e_lfanew);
        layout->base = (u64)base;
        layout->size = nt->OptionalHeader.SizeOfImage;
    }
    layout->keeps_all = 1;
    snprintf(layout->problem, sizeof(layout->problem),
             "is a Windows build, whose whole state only the Linux host keeps so far");
    return 0;
}

bool32 image_disarm_destructors(const image_layout* layout) {
    (void)layout;
    return 1;
}
