// What reading a build's type graph costs a reload, beside reading its
// variables from the same sections in the same run (dwarf_read, what the
// Windows host reads at every reload): the median of 15 reads of each.
//
// Usage: types_bench IMAGE... (ELF files; by default the bench's own
// types_big.so). Prints per image: .debug_info's size, DIEs' worth of
// types, members and globals, both readers' times and types_read's per MB.
#include <fcntl.h>
#include <gelf.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "carry/types.h"

#define RUNS 15

static double now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int by_value(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static double median(double* times) {
    qsort(times, RUNS, sizeof(double), by_value);
    return times[RUNS / 2];
}

static bool measure(const char* path) {
    static const char* const wanted[] = {".debug_info", ".debug_abbrev", ".debug_str",
                                         ".debug_line_str", ".debug_addr", ".debug_str_offsets"};
    elf_version(EV_CURRENT);
    int fd = open(path, O_RDONLY);
    Elf* elf = fd >= 0 ? elf_begin(fd, ELF_C_READ, NULL) : NULL;
    size_t names = 0;
    if (!elf || elf_getshdrstrndx(elf, &names) != 0) {
        fprintf(stderr, "%s: not an ELF file\n", path);
        return false;
    }
    const u8* bytes[6] = {NULL};
    u64 sizes[6] = {0};
    for (Elf_Scn* section = NULL; (section = elf_nextscn(elf, section));) {
        GElf_Shdr header;
        gelf_getshdr(section, &header);
        const char* name = elf_strptr(elf, names, header.sh_name);
        for (u32 k = 0; k < 6 && name; ++k) {
            if (strcmp(name, wanted[k]) == 0) {
                if (header.sh_flags & SHF_COMPRESSED) {
                    elf_compress(section, 0, 0);
                }
                Elf_Data* data = elf_getdata(section, NULL);
                bytes[k] = data ? (const u8*)data->d_buf : NULL;
                sizes[k] = data ? data->d_size : 0;
            }
        }
    }
    dwarf_sections sections = {bytes[0], sizes[0], bytes[1], sizes[1], bytes[2], sizes[2],
                               bytes[3], sizes[3], bytes[4], sizes[4], bytes[5], sizes[5]};
    double types_ms[RUNS], variables_ms[RUNS];
    type_graph graph;
    memset(&graph, 0, sizeof(graph));
    bool read = true;
    for (u32 i = 0; i < RUNS && read; ++i) {
        types_free(&graph);
        double start = now_ms();
        read = types_read(&sections, &graph);
        types_ms[i] = now_ms() - start;
        dwarf_variables variables;
        start = now_ms();
        dwarf_read(&sections, &variables);
        variables_ms[i] = now_ms() - start;
        dwarf_free(&variables);
    }
    if (read) {
        double megabytes = sizes[0] / 1048576.0;
        double types_median = median(types_ms);
        printf("%-40s %7.2f MB %7u types %7u members %6u globals  types_read %7.2f ms "
               "(%5.2f ms/MB)  dwarf_read %7.2f ms\n",
               path, megabytes, graph.type_count, graph.member_count, graph.global_count,
               types_median, types_median / megabytes, median(variables_ms));
    } else {
        fprintf(stderr, "%s: types_read refused it\n", path);
    }
    types_free(&graph);
    elf_end(elf);
    close(fd);
    return read;
}

int main(int argc, char** argv) {
    bool all = true;
    if (argc < 2) {
        all = measure(TYPES_BIG);
    }
    for (int i = 1; i < argc; ++i) {
        all = measure(argv[i]) && all;
    }
    return all ? 0 : 1;
}
