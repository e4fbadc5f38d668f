#include "tests/platform/scratch_posix.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

void scratch_enter(scratch_folder* scratch) {
    if (!getcwd(scratch->previous, sizeof(scratch->previous))) {
        abort();
    }
    snprintf(scratch->path, sizeof(scratch->path), "/tmp/services_posix.XXXXXX");
    if (!mkdtemp(scratch->path) || chdir(scratch->path) != 0) {
        abort();
    }
}

static int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    chmod(path, 0700);
    return remove(path);
}

void scratch_leave(scratch_folder* scratch) {
    if (chdir(scratch->previous) != 0) {
        abort();
    }
    nftw(scratch->path, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void write_text(const char* path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_text(const char* path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

bool path_present(const char* path) {
    struct stat status;
    return lstat(path, &status) == 0;
}

bool is_directory(const char* path) {
    struct stat status;
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

void set_file_times(const char* path, i64 access_seconds, u32 access_nanoseconds,
                    i64 write_seconds, u32 write_nanoseconds) {
    struct timespec times[2] = {{access_seconds, (long)access_nanoseconds},
                                {write_seconds, (long)write_nanoseconds}};
    if (utimensat(AT_FDCWD, path, times, 0) != 0) {
        abort();
    }
}

int raw_open(const char* path) { return open(path, O_RDONLY | O_CLOEXEC); }

bool descriptor_open(int descriptor) { return fcntl(descriptor, F_GETFD) != -1; }

std::string long_path(u32 length) {
    std::string path;
    while (path.size() + 11 < length) {
        path += "d123456789/";
    }
    return path + std::string(length - path.size(), 'n');
}

int signal_ending_child(void (*body)(void)) {
    fflush(NULL);
    pid_t child = fork();
    if (child == 0) {
        struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGTRAP, SIGILL}) {
            signal(fault, SIG_DFL);
        }
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}
