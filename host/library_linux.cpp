// The contract's headers first: they keep glibc's own struct file_handle
// out of the way.
#include "host/os.h"

#include <dlfcn.h>
#include <stdio.h>
#include <errno.h>
#include <signal.h>
#include <elf.h>
#include <link.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/base/text.h"

u32 process_id(void) { return (u32)getpid(); }

// Folds one value into a running hash (FNV-1a over its bytes).
static u64 fold(u64 hash, u64 value) {
    for (u32 i = 0; i < 8; ++i) {
        hash = (hash ^ ((value >> (i * 8)) & 0xFF)) * 0x100000001B3ull;
    }
    return hash;
}

u64 library_file_identity(const char* path) {
    struct stat about;
    if (stat(path, &about) != 0) {
        return 0;
    }
    u64 hash = 0xCBF29CE484222325ull;
    hash = fold(hash, (u64)about.st_dev);
    hash = fold(hash, (u64)about.st_ino);
    hash = fold(hash, (u64)about.st_size);
    hash = fold(hash, (u64)about.st_ctim.tv_sec);
    hash = fold(hash, (u64)about.st_ctim.tv_nsec);
    return hash ? hash : 1;
}

// stat is what the identity costs already.
u64 library_file_glance(const char* path) { return library_file_identity(path); }

bool32 process_alive(u32 id) { return kill((pid_t)id, 0) == 0 || errno == EPERM; }

static bool32 write_all(int fd, const u8* data, ssize_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, (size_t)size);
        if (written <= 0) {
            return 0;
        }
        data += written;
        size -= written;
    }
    return 1;
}

// Opens a regular file for reading, or fails: a FIFO or a device at the
// module path would block the open or the reads, and the frame with them.
// Non-blocking while it opens (a FIFO's open waits for a writer), checked
// before and after, in case the file was swapped in between.
static int open_regular(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0 || !S_ISREG(status.st_mode)) {
        return -1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

u32 read_regular_file(const char* path, void* buffer, u32 capacity) {
    int fd = open_regular(path);
    if (fd < 0) {
        return 0;
    }
    u32 count = 0;
    while (count < capacity) {
        ssize_t got = read(fd, (u8*)buffer + count, capacity - count);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        count += (u32)got;
    }
    close(fd);
    return count;
}

// Copies the whole file at from into target, which stays open; false when
// from can't be read or the copy is incomplete.
static bool32 copy_into(const char* from, int target) {
    int source = open_regular(from);
    if (source < 0) {
        return 0;
    }
    bool32 copied = target >= 0;
    static u8 chunk[1 << 16];
    while (copied) {
        ssize_t got = read(source, chunk, sizeof(chunk));
        if (got == 0) {
            break;
        }
        copied = got > 0 && write_all(target, chunk, got);
    }
    close(source);
    return copied;
}

bool32 library_copy(const char* from, const char* to) {
    int target = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    bool32 copied = copy_into(from, target);
    if (target >= 0) {
        copied = close(target) == 0 && copied;
    }
    return copied;
}

// Appends up to length characters of text within capacity, terminated.
static u32 append_bounded(char* out, u32 capacity, u32 at, const char* text, u32 length) {
    for (u32 i = 0; i < length && text[i] && at + 1 < capacity; ++i) {
        out[at++] = text[i];
    }
    out[at] = 0;
    return at;
}

static bool32 starts_with(const char* text, const char* prefix) {
    for (; *prefix; ++prefix, ++text) {
        if (*text != *prefix) {
            return 0;
        }
    }
    return 1;
}

// dlerror's words: "libfoo.so: cannot open shared object file: ..." names
// the missing library; other messages start with the copy's path, which the
// programmer knows by the build's own name.
static void load_failure_reason(const char* path, const char* error, char* reason,
                                u32 capacity) {
    if (!capacity) {
        return;
    }
    reason[0] = 0;
    if (!error) {
        append_bounded(reason, capacity, 0, "unknown error", ~0u);
        return;
    }
    u32 missing = find_text(": cannot open shared object file", error);
    if (missing != TEXT_NOT_FOUND) {
        u32 start = 0;
        for (u32 i = 0; i < missing; ++i) {
            if (error[i] == '/') {
                start = i + 1;
            }
        }
        u32 at = append_bounded(reason, capacity, 0, "missing library ", ~0u);
        append_bounded(reason, capacity, at, error + start, missing - start);
        return;
    }
    if (starts_with(error, path)) {
        u32 at = append_bounded(reason, capacity, 0, MODULE_NAME, ~0u);
        append_bounded(reason, capacity, at, error + text_length(path), ~0u);
        return;
    }
    append_bounded(reason, capacity, 0, error, ~0u);
}

// A library runs from a sealed in-memory copy of its file: nothing, the
// module's own open_file included, can write to it or cut it short while its
// code runs. It is loaded through /proc by this process's id, a path a
// debugger can open too; the copy's descriptor stays open until the library
// is freed.
typedef struct sealed_library {
    void* library;
    int file;
} sealed_library;

#define SEALED_MAX 32
static sealed_library sealed[SEALED_MAX];

static int sealed_copy(const char* path) {
    int file = memfd_create(MODULE_NAME, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    int seals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
    if (file >= 0 && (!copy_into(path, file) || fcntl(file, F_ADD_SEALS, seals) != 0)) {
        close(file);
        return -1;
    }
    return file;
}

// The copy's path; a number the loader still knows by name (a library it
// could not unload) is not taken again.
static bool32 sealed_path(int* file, char* path, u32 capacity) {
    for (u32 tries = 0; tries < SEALED_MAX; ++tries) {
        snprintf(path, capacity, "/proc/%d/fd/%d", (int)getpid(), *file);
        void* known = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        if (!known) {
            return 1;
        }
        dlclose(known);
        int moved = fcntl(*file, F_DUPFD_CLOEXEC, *file + 1);
        close(*file);
        *file = moved;
        if (moved < 0) {
            return 0;
        }
    }
    return 0;
}

static sealed_library* free_sealed_entry(void) {
    for (u32 i = 0; i < SEALED_MAX; ++i) {
        if (!sealed[i].library) {
            return &sealed[i];
        }
    }
    return NULL;
}

void* library_load(const char* path, char* reason, u32 capacity) {
    sealed_library* entry = free_sealed_entry();
    int file = entry ? sealed_copy(path) : -1;
    char sealed_name[64];
    // Without a sealed copy the file itself is loaded, as it always was.
    const char* loaded = file >= 0 && sealed_path(&file, sealed_name, sizeof(sealed_name))
                             ? sealed_name
                             : path;
    void* library = dlopen(loaded, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        load_failure_reason(loaded, dlerror(), reason, capacity);
    }
    if (library && loaded == sealed_name) {
        entry->library = library;
        entry->file = file;
    } else if (file >= 0) {
        close(file);
    }
    return library;
}

void* library_symbol(void* library, const char* name) { return dlsym(library, name); }

static bool32 read_exactly_at(int fd, u64 offset, void* buffer, u32 size);

// The extent of the loadable segments, and the kept table's section, from
// the file's own headers (section headers are not mapped).
static bool32 image_from_file(int fd, u64 bias, library_image* image) {
    Elf64_Ehdr header;
    if (!read_exactly_at(fd, 0, &header, sizeof(header)) ||
        header.e_phentsize < sizeof(Elf64_Phdr) || header.e_shentsize < sizeof(Elf64_Shdr)) {
        return 0;
    }
    u64 low = ~0ull;
    u64 high = 0;
    for (u32 i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment;
        if (!read_exactly_at(fd, header.e_phoff + (u64)i * header.e_phentsize, &segment,
                             sizeof(segment))) {
            return 0;
        }
        if (segment.p_type == PT_LOAD) {
            low = segment.p_vaddr < low ? segment.p_vaddr : low;
            u64 end = segment.p_vaddr + segment.p_memsz;
            high = end > high ? end : high;
        }
    }
    if (high <= low) {
        return 0;
    }
    image->base = (u8*)(bias + low);
    image->size = high - low;
    Elf64_Shdr names;
    if (header.e_shstrndx >= header.e_shnum ||
        !read_exactly_at(fd, header.e_shoff + (u64)header.e_shstrndx * header.e_shentsize,
                         &names, sizeof(names))) {
        return 1;
    }
    for (u32 i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        char name[sizeof(ENGINE_KEPT_SECTION)] = {0};
        if (read_exactly_at(fd, header.e_shoff + (u64)i * header.e_shentsize, &section,
                            sizeof(section)) &&
            read_exactly_at(fd, names.sh_offset + section.sh_name, name, sizeof(name)) &&
            text_equal(name, ENGINE_KEPT_SECTION) && section.sh_addr) {
            image->table = (u8*)(bias + section.sh_addr);
            image->table_size = section.sh_size;
        }
    }
    return 1;
}

bool32 library_image_of(void* library, const char* path, library_image* image) {
    image->base = image->table = NULL;
    image->size = image->table_size = 0;
    struct link_map* map = NULL;
    if (!library || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || !map) {
        return 0;
    }
    int fd = open_regular(path);
    if (fd < 0) {
        return 0;
    }
    bool32 known = image_from_file(fd, (u64)map->l_addr, image);
    close(fd);
    return known;
}

void library_free(void* library) {
    dlclose(library);
    for (u32 i = 0; i < SEALED_MAX; ++i) {
        if (sealed[i].library == library) {
            close(sealed[i].file);
            sealed[i].library = NULL;
        }
    }
}

static bool32 read_exactly_at(int fd, u64 offset, void* buffer, u32 size) {
    return pread(fd, buffer, size, (off_t)offset) == (ssize_t)size;
}

// The end of the file's last byte that the headers account for: the program
// and section header tables and every segment and section with file bytes.
static bool32 elf_extent(int fd, u64* end) {
    Elf64_Ehdr header;
    if (!read_exactly_at(fd, 0, &header, sizeof(header)) ||
        header.e_ident[EI_MAG0] != ELFMAG0 || header.e_ident[EI_MAG1] != ELFMAG1 ||
        header.e_ident[EI_MAG2] != ELFMAG2 || header.e_ident[EI_MAG3] != ELFMAG3 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_type != ET_DYN) {
        return 0;
    }
    *end = sizeof(header);
    u64 tables[2] = {header.e_phoff + (u64)header.e_phnum * header.e_phentsize,
                     header.e_shoff + (u64)header.e_shnum * header.e_shentsize};
    for (u32 i = 0; i < 2; ++i) {
        *end = tables[i] > *end ? tables[i] : *end;
    }
    for (u32 i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment;
        if (header.e_phentsize < sizeof(segment) ||
            !read_exactly_at(fd, header.e_phoff + (u64)i * header.e_phentsize, &segment,
                             sizeof(segment))) {
            return 0;
        }
        u64 segment_end = segment.p_offset + segment.p_filesz;
        *end = segment_end > *end ? segment_end : *end;
    }
    for (u32 i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        if (header.e_shentsize < sizeof(section) ||
            !read_exactly_at(fd, header.e_shoff + (u64)i * header.e_shentsize, &section,
                             sizeof(section))) {
            return 0;
        }
        u64 section_end = section.sh_type == SHT_NOBITS ? 0 : section.sh_offset + section.sh_size;
        *end = section_end > *end ? section_end : *end;
    }
    return 1;
}

#if defined(__x86_64__)
#define HOST_MACHINE EM_X86_64
#elif defined(__aarch64__)
#define HOST_MACHINE EM_AARCH64
#endif

// Whether any program header of the image asks for an interpreter: an
// executable, even a position-independent one.
static bool32 has_interpreter(int fd, const Elf64_Ehdr* header) {
    for (u32 i = 0; i < header->e_phnum && header->e_phentsize >= sizeof(Elf64_Phdr); ++i) {
        Elf64_Phdr segment;
        if (read_exactly_at(fd, header->e_phoff + (u64)i * header->e_phentsize, &segment,
                            sizeof(segment)) &&
            segment.p_type == PT_INTERP) {
            return 1;
        }
    }
    return 0;
}

static const char* foreign_reason(int fd) {
    Elf64_Ehdr header;
    if (!read_exactly_at(fd, 0, &header, sizeof(header)) || header.e_ident[EI_MAG0] != ELFMAG0 ||
        header.e_ident[EI_MAG1] != ELFMAG1 || header.e_ident[EI_MAG2] != ELFMAG2 ||
        header.e_ident[EI_MAG3] != ELFMAG3) {
        return NULL;
    }
    if (header.e_ident[EI_CLASS] != ELFCLASS64) {
        return "a 32-bit library";
    }
    if (header.e_machine != HOST_MACHINE) {
        return "a library for another machine";
    }
    if (header.e_type == ET_EXEC || (header.e_type == ET_DYN && has_interpreter(fd, &header))) {
        return "an executable, not a library";
    }
    return NULL;
}

bool32 library_file_foreign(const char* path, char* reason, u32 capacity) {
    int fd = open_regular(path);
    if (fd < 0) {
        return 0;
    }
    const char* found = foreign_reason(fd);
    close(fd);
    if (found) {
        snprintf(reason, capacity, "%s", found);
    }
    return found != NULL;
}

// Only a regular file is a candidate; nothing here waits.
bool32 library_file_complete(const char* path) {
    int fd = open_regular(path);
    if (fd < 0) {
        return 0;
    }
    struct stat status;
    u64 end = 0;
    bool32 complete = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && elf_extent(fd, &end) &&
                      (u64)status.st_size >= end;
    close(fd);
    return complete;
}
