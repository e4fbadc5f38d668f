#include <windows.h>

#include "host/undo.h"

u64 undo_page_size(void) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// The range must lie in one allocation: the undo never spans two blocks.
bool32 undo_protect(void* address, u64 bytes, u32 access) {
    DWORD protection = access == UNDO_ACCESS_READ_WRITE ? PAGE_READWRITE
                       : access == UNDO_ACCESS_READ     ? PAGE_READONLY
                                                        : PAGE_NOACCESS;
    DWORD old_protection = 0;
    return VirtualProtect(address, (SIZE_T)bytes, protection, &old_protection) != 0;
}

bool32 undo_debugger_attached(void) { return IsDebuggerPresent() != 0; }
