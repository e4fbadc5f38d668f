// A minimal debugger for the end-to-end tests: starts "engine.exe" from the
// current directory under the debugging interface and writes one line per
// exception it is told about to the log file named by its one argument:
//   exception code=80000003 first=1 at_instruction=1
// Breakpoints are stepped over and continued, as a programmer's debugger
// does when told to go on; other exceptions are passed back to the program
// on the first chance; a second chance ends the program with exit code 3.
// The last line is "exit code=N".
#include <windows.h>

#include <stdio.h>

static HANDLE log_file;

static void log_line(const char* line) {
    DWORD written = 0;
    WriteFile(log_file, line, (DWORD)lstrlenA(line), &written, NULL);
}

// A breakpoint instruction leaves the thread on it or just past it depending
// on the system; going on means going past it.
static bool step_over_breakpoint(DWORD thread_id, const EXCEPTION_RECORD* record) {
    HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, thread_id);
    if (!thread) {
        return false;
    }
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    bool at_instruction = GetThreadContext(thread, &context) &&
                          context.Rip == (DWORD64)record->ExceptionAddress;
    if (at_instruction) {
        context.Rip += 1;
        SetThreadContext(thread, &context);
    }
    CloseHandle(thread);
    return at_instruction;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    log_file = CreateFileA(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    char command[] = "engine.exe";
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, DEBUG_ONLY_THIS_PROCESS, NULL, NULL,
                        &startup, &process)) {
        log_line("could not start engine.exe\n");
        return 2;
    }
    for (;;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, INFINITE)) {
            return 2;
        }
        DWORD status = DBG_CONTINUE;
        char line[160];
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_DEBUG_INFO* info = &event.u.Exception;
            const EXCEPTION_RECORD* record = &info->ExceptionRecord;
            int at_instruction = -1;
            if (record->ExceptionCode == EXCEPTION_BREAKPOINT) {
                at_instruction = step_over_breakpoint(event.dwThreadId, record) ? 1 : 0;
            } else if (info->dwFirstChance) {
                status = DBG_EXCEPTION_NOT_HANDLED;
            } else {
                TerminateProcess(process.hProcess, 3);
            }
            snprintf(line, sizeof(line), "exception code=%08lX first=%lu at_instruction=%d\n",
                     record->ExceptionCode, info->dwFirstChance, at_instruction);
            log_line(line);
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            snprintf(line, sizeof(line), "exit code=%lu\n", event.u.ExitProcess.dwExitCode);
            log_line(line);
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
            return 0;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
}
