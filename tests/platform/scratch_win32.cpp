#include "tests/platform/scratch_win32.h"

#include <stdio.h>

#include <gtest/gtest.h>

// Wide calls with the "\\?\" prefix: the over-long path tests leave trees
// deeper than the 260 characters the 8-bit calls can reach.
static void delete_tree_wide(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                delete_tree_wide(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

void delete_tree(const char* path) {
    char full[MAX_PATH];
    if (!GetFullPathNameA(path, sizeof(full), full, NULL)) {
        return;
    }
    std::wstring wide = L"\\\\?\\";
    for (const char* c = full; *c; ++c) {
        wide += (wchar_t)(u8)*c;
    }
    delete_tree_wide(wide);
}

void scratch_enter(scratch_folder* scratch) {
    static u32 serial;
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof(temp), temp), 0u);
    snprintf(scratch->path, sizeof(scratch->path), "%splatform-test-%lu-%u", temp,
             GetCurrentProcessId(), ++serial);
    delete_tree(scratch->path);
    ASSERT_TRUE(CreateDirectoryA(scratch->path, NULL)) << scratch->path << " " << GetLastError();
    GetCurrentDirectoryA(sizeof(scratch->previous), scratch->previous);
    ASSERT_TRUE(SetCurrentDirectoryA(scratch->path));
}

void scratch_leave(scratch_folder* scratch) {
    SetCurrentDirectoryA(scratch->previous);
    delete_tree(scratch->path);
    EXPECT_FALSE(path_present(scratch->path)) << "left behind: " << scratch->path;
}

void write_text(const char* path, const std::string& text) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
    ASSERT_EQ(written, text.size());
}

std::string read_text(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return "<missing>";
    }
    std::string text;
    char piece[4096];
    DWORD count = 0;
    while (ReadFile(file, piece, sizeof(piece), &count, NULL) && count > 0) {
        text.append(piece, count);
    }
    CloseHandle(file);
    return text;
}

bool path_present(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool is_directory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string long_path(u32 length) {
    std::string path;
    while (path.size() + 11 + 1 <= length) {
        path += "d123456789/";
    }
    while (path.size() < length) {
        path += 'n';
    }
    return path;
}

static LONG WINAPI exit_with_code(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

void exit_with_exception_code(void) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(exit_with_code);
}

HWND make_host_window(bool show) {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hInstance = GetModuleHandleA(NULL);
    window_class.lpszClassName = "engine_window_application";
    RegisterClassExA(&window_class);
    HWND window = CreateWindowExA(0, "engine_window_application", "Engine", WS_OVERLAPPEDWINDOW,
                                  100, 120, 400, 300, NULL, NULL, GetModuleHandleA(NULL), NULL);
    if (show) {
        ShowWindow(window, SW_SHOW);
        UpdateWindow(window);
    }
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
    return window;
}
