// The portable DWARF reader against the ELF reader's elfutils on real
// builds (keys, type hashes, sizes), and on damaged copies of real debug
// sections, each in a heap block of exactly its size so that a read past
// one is a read past the block.
#include <gtest/gtest.h>

#include "tests/carry/file_bytes.h"

#include <gelf.h>
#include <stdlib.h>
#include <string.h>
#include <stdio.h>

#include <string>

#include "carry/dwarf.h"
#include "carry/image.h"
#include "host/os.h"

namespace {

const char* const section_names[] = {".debug_info", ".debug_abbrev", ".debug_str",
                                     ".debug_line_str", ".debug_addr", ".debug_str_offsets"};
const u32 SECTION_COUNT = 6;

// The sections in dwarf_sections' order, as pointer and size pairs.
struct debug_file {
    u8* bytes[SECTION_COUNT];
    u64 sizes[SECTION_COUNT];
    u64 lowest_address;  // of the loadable segments: addresses are the loaded ones less it
};

dwarf_sections spans(const debug_file* file) {
    const u8* const* b = file->bytes;
    const u64* n = file->sizes;
    return {b[0], n[0], b[1], n[1], b[2], n[2], b[3], n[3], b[4], n[4], b[5], n[5]};
}

void copy_section(debug_file* file, u32 index, const void* bytes, u64 size) {
    file->bytes[index] = (u8*)malloc(size ? size : 1);
    file->sizes[index] = size;
    memcpy(file->bytes[index], bytes, size);
}

void free_file(debug_file* file) {
    for (u32 i = 0; i < SECTION_COUNT; ++i) {
        free(file->bytes[i]);
    }
    memset(file, 0, sizeof(*file));
}

bool read_file(const char* path, debug_file* file) {
    memset(file, 0, sizeof(*file));
    std::string image;
    if (!file_bytes(path, &image)) {
        return false;
    }
    elf_version(EV_CURRENT);
    Elf* elf = elf_memory(&image[0], image.size());
    size_t names = 0, segments = 0;
    if (!elf || elf_getshdrstrndx(elf, &names) != 0 || elf_getphdrnum(elf, &segments) != 0) {
        return false;
    }
    file->lowest_address = ~0ull;
    for (size_t i = 0; i < segments; ++i) {
        GElf_Phdr segment;
        if (gelf_getphdr(elf, (int)i, &segment) && segment.p_type == PT_LOAD &&
            segment.p_vaddr < file->lowest_address) {
            file->lowest_address = segment.p_vaddr;
        }
    }
    for (Elf_Scn* section = NULL; (section = elf_nextscn(elf, section));) {
        GElf_Shdr header;
        gelf_getshdr(section, &header);
        if (header.sh_flags & SHF_COMPRESSED) {
            elf_compress(section, 0, 0);
        }
        const char* name = elf_strptr(elf, names, header.sh_name);
        Elf_Data* data = elf_getdata(section, NULL);
        for (u32 k = 0; k < SECTION_COUNT && name && data; ++k) {
            if (strcmp(name, section_names[k]) == 0) {
                copy_section(file, k, data->d_buf, data->d_size);
            }
        }
    }
    elf_end(elf);
    return file->bytes[0] != NULL;
}

// What the ELF reader makes of a build, against ours of the same file:
// every kept object with a type hash has ours too, by the same key and
// with its symbol's size; at least `least` of them. Returns the type hash
// of `watched`.
u64 compare_readers(const char* path, const char* watched, u32 least) {
    char reason[128];
    void* library = library_load(path, reason, sizeof(reason));
    EXPECT_NE(library, nullptr) << reason;
    image_layout layout;
    EXPECT_TRUE(image_read(library, path, &layout)) << layout.problem;
    EXPECT_TRUE(layout.has_debug);
    debug_file file;
    EXPECT_TRUE(read_file(path, &file));
    dwarf_sections sections = spans(&file);
    dwarf_variables variables;
    EXPECT_TRUE(dwarf_read(&sections, &variables));
    u64 bias = layout.base - file.lowest_address, watched_hash = 0;
    u32 compared = 0, hashed = 0;
    for (u32 i = 0; i < layout.symbol_count; ++i) {
        const image_symbol* symbol = &layout.symbols[i];
        if (symbol->kind != IMAGE_KEPT || !symbol->type_hash) {
            continue;
        }
        ++hashed;
        const char* key = image_key(&layout, symbol);
        const dwarf_variable* variable = dwarf_at(&variables, symbol->address - bias);
        if (!variable) {
            ADD_FAILURE() << path << ": nothing at " << key;
            continue;
        }
        // Global symbols keep their own name as key; local ones the DWARF's.
        std::string ours = dwarf_key(&variables, variable);
        bool same_key = strchr(key, ':') ? ours == key
                                         : ours.size() > strlen(key) &&
                                               ours.compare(ours.size() - strlen(key) - 1,
                                                            std::string::npos,
                                                            std::string(":") + key) == 0;
        EXPECT_TRUE(same_key) << key << " against " << ours;
        // A file's own: named by its file's name, told apart by its path.
        if (strchr(key, ':')) {
            EXPECT_STREQ(dwarf_path(&variables, variable), layout.names + symbol->path) << key;
            EXPECT_NE(strchr(dwarf_path(&variables, variable), '/'), nullptr) << key;
            EXPECT_EQ(strchr(key, '/'), nullptr) << key;
        }
        EXPECT_EQ(variable->type_hash, symbol->type_hash) << key;
        EXPECT_EQ(variable->size, symbol->size) << key;
        compared += same_key && variable->type_hash == symbol->type_hash &&
                    variable->size == symbol->size;
        if (strcmp(key, watched) == 0) {
            watched_hash = variable->type_hash;
        }
    }
    EXPECT_GE(hashed, least) << path;
    EXPECT_EQ(compared, hashed) << path;
    // Sorted, with every key inside the names.
    for (u64 i = 0; i < variables.count; ++i) {
        EXPECT_TRUE(i == 0 || variables.variables[i - 1].address <= variables.variables[i].address);
        EXPECT_LT(variables.variables[i].key, variables.names_size);
    }
    dwarf_free(&variables);
    free_file(&file);
    image_free(&layout);
    library_free(library);
    return watched_hash;
}

#ifdef WHOLER_V1
TEST(DwarfRead, AgreesWithElfutilsOnRealBuilds) {
    u64 player_v1 = compare_readers(WHOLER_V1, "player", 1000);
    u64 player_v4 = compare_readers(WHOLER_V4, "player", 1000);
    compare_readers(TEST_MODULE_WHOLE, "", 2);
    // Version 4 changed player's layout, not its size.
    EXPECT_NE(player_v1, 0u);
    EXPECT_NE(player_v4, 0u);
    EXPECT_NE(player_v1, player_v4);
}
#endif

// Damage of every kind a file can have: sections cut short, bits flipped,
// runs of bytes overwritten. Whatever is read names keys inside the names
// and lies sorted.
TEST(DwarfRead, DamagedSectionsAreReadOrRefused) {
#ifdef WHOLER_V1
    const char* path = WHOLER_V1;  // thousands of variables, C and C++
#else
    const char* path = TEST_MODULE_WHOLE;
#endif
    debug_file original;
    ASSERT_TRUE(read_file(path, &original));
    dwarf_sections sections = spans(&original);
    dwarf_variables variables;
    ASSERT_TRUE(dwarf_read(&sections, &variables));
    u64 intact = variables.count;
    dwarf_free(&variables);
    u32 seed = 2024, refused = 0, changed = 0;
    for (u32 round = 0; round < 400; ++round) {
        debug_file copy;
        memset(&copy, 0, sizeof(copy));
        u32 target = round % SECTION_COUNT;
        for (u32 k = 0; k < SECTION_COUNT; ++k) {
            u64 size = original.sizes[k];
            if (k == target && round % 3 == 0) {
                size = size * (round % 97) / 97;
            }
            if (original.bytes[k]) {
                copy_section(&copy, k, original.bytes[k], size);
            }
        }
        for (u32 flips = 0; round % 3 != 0 && copy.sizes[target] && flips < 1 + round % 12;
             ++flips) {
            seed = seed * 1103515245 + 12345;
            u64 at = (seed >> 4) % copy.sizes[target];
            copy.bytes[target][at] ^= round % 3 == 1 ? (u8)(1 << (seed % 8)) : (u8)(seed >> 24);
        }
        sections = spans(&copy);
        if (dwarf_read(&sections, &variables)) {
            changed += variables.count != intact;
            for (u64 i = 0; i < variables.count; ++i) {
                ASSERT_TRUE(i == 0 ||
                            variables.variables[i - 1].address <= variables.variables[i].address);
                ASSERT_LT(variables.variables[i].key, variables.names_size);
            }
            ASSERT_EQ(variables.names[variables.names_size - 1], '\0');
        } else {
            ++refused;
            EXPECT_EQ(variables.count, 0u);
        }
        dwarf_free(&variables);
        free_file(&copy);
    }
    // The damage reached the reader: some copies were refused, some read differently.
    EXPECT_GT(refused, 0u);
    EXPECT_GT(changed, 0u);
    printf("%u of 400 refused, %u read with other variables\n", refused, changed);
    free_file(&original);
}

}  // namespace
