// ELF images: sections, segments and the symbol table through elfutils'
// libelf, the variables' files, functions and types from the DWARF through
// its libdw. Everything is read from the file; only the load's bias comes
// from the loaded library.
#include "carry/code.h"
#include "carry/image.h"
#include "carry/types.h"

#include <dlfcn.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#define PAGE 4096ull

// Opens a regular file's ELF; null when it is none.
static Elf* open_elf(const char* path, int* fd) {
    elf_version(EV_CURRENT);
    struct stat status;
    *fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (*fd < 0) {
        return NULL;
    }
    if (fstat(*fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(*fd);
        *fd = -1;
        return NULL;
    }
    Elf* elf = elf_begin(*fd, ELF_C_READ_MMAP, NULL);
    if (elf && elf_kind(elf) != ELF_K_ELF) {
        elf_end(elf);
        elf = NULL;
    }
    if (!elf) {
        close(*fd);
        *fd = -1;
    }
    return elf;
}

static void close_elf(Elf* elf, int fd) {
    elf_end(elf);
    close(fd);
}

static const char* section_name(Elf* elf, size_t names, const GElf_Shdr* header) {
    const char* name = elf_strptr(elf, names, header->sh_name);
    return name ? name : "";
}

bool32 image_keeps_all(const char* path) {
    int fd;
    Elf* elf = open_elf(path, &fd);
    if (!elf) {
        return 0;
    }
    size_t names = 0;
    bool32 found = 0;
    if (elf_getshdrstrndx(elf, &names) == 0) {
        for (Elf_Scn* section = NULL; !found && (section = elf_nextscn(elf, section));) {
            GElf_Shdr header;
            found = gelf_getshdr(section, &header) &&
                    strcmp(section_name(elf, names, &header), "engall") == 0;
        }
    }
    close_elf(elf, fd);
    return found;
}

// ---------------------------------------------------------------------------
// Segments: the image's extent and the pages left writable after relocation.

#define WRITABLE_MAX 8

static bool32 read_segments(Elf* elf, u64 bias, image_layout* layout) {
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) {
        return image_problem(layout, "has no program headers");
    }
    u64 low = ~0ull, high = 0, relro_end = 0;
    image_range writable[WRITABLE_MAX];
    u32 writable_count = 0;
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr segment;
        if (!gelf_getphdr(elf, (int)i, &segment)) {
            return image_problem(layout, "has program headers that can't be read");
        }
        u64 end = segment.p_vaddr + segment.p_memsz;
        if (end < segment.p_vaddr) {
            return image_problem(layout, "has a segment past the end of memory");
        }
        if (segment.p_type == PT_LOAD) {
            low = segment.p_vaddr < low ? segment.p_vaddr : low;
            high = end > high ? end : high;
            if ((segment.p_flags & PF_W) && writable_count == WRITABLE_MAX) {
                return image_problem(layout, "has too many writable segments");
            }
            if (segment.p_flags & PF_W) {
                writable[writable_count++] = {segment.p_vaddr, end};
            }
        } else if (segment.p_type == PT_GNU_RELRO) {
            relro_end = end & ~(PAGE - 1);
        }
    }
    if (high <= low) {
        return image_problem(layout, "has no loadable segment");
    }
    layout->base = bias + low;
    layout->size = high - low;
    // What stays writable: the writable segments past the read-only-after-
    // relocation part, which must be one span (the loader leaves the gaps
    // between segments inaccessible).
    u64 data_low = ~0ull, data_high = 0, bytes = 0;
    for (u32 i = 0; i < writable_count; ++i) {
        u64 start = writable[i].start > relro_end ? writable[i].start : relro_end;
        if (writable[i].end > start) {
            data_low = start < data_low ? start : data_low;
            data_high = writable[i].end > data_high ? writable[i].end : data_high;
            bytes += ((writable[i].end + PAGE - 1) & ~(PAGE - 1)) - (start & ~(PAGE - 1));
        }
    }
    if (data_high > data_low) {
        layout->data.start = bias + (data_low & ~(PAGE - 1));
        layout->data.end = bias + ((data_high + PAGE - 1) & ~(PAGE - 1));
        if (layout->data.end - layout->data.start > bytes) {
            return image_problem(layout, "has its writable data in pieces apart (link with -z now)");
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Sections.

typedef struct section_info {
    u64 start, end;
    u32 kind;  // image_kind of objects in it; ~0u: none of ours
} section_info;

#define SECTIONS_MAX 4096

static const char* const not_ours[] = {".got", ".got.plt", ".dynamic", ".init_array",
                                       ".fini_array", ".preinit_array", ".tm_clone_table",
                                       "engkept", "engall", ".jcr", ".data.rel.ro"};

static void note_section(Elf* elf, size_t names, const GElf_Shdr* header, u64 bias,
                         image_layout* layout, section_info* info) {
    const char* name = section_name(elf, names, header);
    u64 start = bias + header->sh_addr;
    u64 end = start + header->sh_size;
    info->start = start;
    info->end = end;
    info->kind = ~0u;
    if (!(header->sh_flags & SHF_ALLOC) || (header->sh_flags & SHF_TLS) || end < start ||
        start < layout->base || end > layout->base + layout->size) {
        return;
    }
    if (header->sh_flags & SHF_EXECINSTR) {
        info->kind = IMAGE_CODE;
    } else if (!(header->sh_flags & SHF_WRITE)) {
        info->kind = IMAGE_READ_ONLY;
        image_add_range(layout->read_only, &layout->read_only_count, start, end);
        if (header->sh_flags & SHF_STRINGS) {
            image_add_range(layout->strings, &layout->string_count, start, end);
        }
    } else if (image_name_in(name, not_ours, sizeof(not_ours) / sizeof(not_ours[0])) ||
               start < layout->data.start || end > layout->data.end) {
        info->kind = IMAGE_DATA;
    } else {
        info->kind = IMAGE_KEPT;
    }
    if (strcmp(name, ".fini_array") == 0) {
        layout->destructors = start;
        layout->destructor_count = header->sh_size / 8;
    }
    if (strcmp(name, "engall") == 0) {
        layout->keeps_all = 1;
    }
}

// ---------------------------------------------------------------------------
// The DWARF's variables: for each address, its key and its type's layout.

typedef struct debug_variable {
    u64 address;
    u64 type_hash;
    u32 key;   // offset in the names below
    u32 path;  // of its file's path, likewise
} debug_variable;

typedef struct debug_info {
    debug_variable* variables;
    u64 count, capacity;
    char* names;
    u64 names_size, names_capacity;
    // Type hashes by DIE offset, open addressing.
    u64* type_offsets;
    u64* type_hashes;
    u64 type_slots;
} debug_info;

static u64 mix(u64 hash, u64 value) { return image_hash_number(value, hash); }

static u64 attribute_number(Dwarf_Die* die, int name) {
    Dwarf_Attribute attribute;
    Dwarf_Word value = 0;
    if (dwarf_attr_integrate(die, name, &attribute)) {
        dwarf_formudata(&attribute, &value);
    }
    return value;
}

static bool type_of(Dwarf_Die* die, Dwarf_Die* type) {
    Dwarf_Attribute attribute;
    return dwarf_attr_integrate(die, DW_AT_type, &attribute) && dwarf_formref_die(&attribute, type);
}

static u64 type_hash(debug_info* info, Dwarf_Die* type, u32 depth);

static u64* cached_type(debug_info* info, u64 offset) {
    if (!info->type_slots) {
        info->type_slots = 1 << 14;
        info->type_offsets = (u64*)calloc(info->type_slots, sizeof(u64));
        info->type_hashes = (u64*)calloc(info->type_slots, sizeof(u64));
        if (!info->type_offsets || !info->type_hashes) {
            info->type_slots = 0;
            return NULL;
        }
    }
    u64 mask = info->type_slots - 1;
    for (u64 slot = (offset * 0x9E3779B97F4A7C15ull) >> 40 & mask, probes = 0;
         probes < info->type_slots; slot = (slot + 1) & mask, ++probes) {
        if (info->type_offsets[slot] == offset + 1 || !info->type_offsets[slot]) {
            info->type_offsets[slot] = offset + 1;
            return &info->type_hashes[slot];
        }
    }
    return NULL;
}

// The members of a record, each by name, place and type.
static u64 members_hash(debug_info* info, Dwarf_Die* record, u64 hash, u32 depth) {
    Dwarf_Die member;
    if (dwarf_child(record, &member) != 0) {
        return hash;
    }
    do {
        int tag = dwarf_tag(&member);
        if (tag != DW_TAG_member && tag != DW_TAG_inheritance) {
            continue;
        }
        const char* name = dwarf_diename(&member);
        hash = image_hash_text(name ? name : "", hash);
        hash = mix(hash, attribute_number(&member, DW_AT_data_member_location));
        hash = mix(hash, attribute_number(&member, DW_AT_data_bit_offset));
        hash = mix(hash, attribute_number(&member, DW_AT_bit_size));
        Dwarf_Die type;
        hash = mix(hash, type_of(&member, &type) ? type_hash(info, &type, depth + 1) : 0);
    } while (dwarf_siblingof(&member, &member) == 0);
    return hash;
}

static u64 array_hash(debug_info* info, Dwarf_Die* array, u64 hash, u32 depth) {
    Dwarf_Die bound;
    if (dwarf_child(array, &bound) == 0) {
        do {
            hash = mix(hash, attribute_number(&bound, DW_AT_count));
            hash = mix(hash, attribute_number(&bound, DW_AT_upper_bound));
        } while (dwarf_siblingof(&bound, &bound) == 0);
    }
    Dwarf_Die element;
    return mix(hash, type_of(array, &element) ? type_hash(info, &element, depth + 1) : 0);
}

// The layout of a type: what its bytes mean. Pointers take in what they
// point at, so a changed record behind a kept pointer counts as a change;
// a record met again inside itself counts by its name alone.
static u64 type_hash(debug_info* info, Dwarf_Die* type, u32 depth) {
    int tag = dwarf_tag(type);
    const char* name = dwarf_diename(type);
    u64 hash = mix(IMAGE_HASH_SEED, (u64)tag);
    hash = image_hash_text(name ? name : "", hash);
    if (depth > 12) {
        return hash;
    }
    u64* cached = cached_type(info, dwarf_dieoffset(type));
    if (cached && *cached) {
        return *cached;
    }
    if (cached) {
        *cached = hash | 1;  // while it is worked out: its name alone
    }
    Dwarf_Die inner;
    hash = mix(hash, attribute_number(type, DW_AT_byte_size));
    switch (tag) {
    case DW_TAG_base_type:
    case DW_TAG_enumeration_type:
        hash = mix(hash, attribute_number(type, DW_AT_encoding));
        break;
    case DW_TAG_structure_type:
    case DW_TAG_class_type:
    case DW_TAG_union_type:
        hash = members_hash(info, type, hash, depth);
        break;
    case DW_TAG_array_type:
        hash = array_hash(info, type, hash, depth);
        break;
    case DW_TAG_subroutine_type:
        break;
    default:  // typedefs, qualifiers, pointers and references
        hash = mix(hash, type_of(type, &inner) ? type_hash(info, &inner, depth + 1) : 0);
        break;
    }
    hash |= 1;
    if (cached) {
        *cached = hash;
    }
    return hash;
}

// A variable's static address, from DW_OP_addr or DW_OP_addrx.
static bool variable_address(Dwarf_Die* die, u64* address) {
    Dwarf_Attribute attribute;
    Dwarf_Op* ops = NULL;
    size_t count = 0;
    if (!dwarf_attr(die, DW_AT_location, &attribute) ||
        dwarf_getlocation(&attribute, &ops, &count) != 0 || count != 1) {
        return false;
    }
    if (ops[0].atom == DW_OP_addr) {
        *address = ops[0].number;
        return true;
    }
    if (ops[0].atom == DW_OP_addrx || ops[0].atom == DW_OP_GNU_addr_index) {
        Dwarf_Attribute at;
        Dwarf_Addr value;
        if (dwarf_getlocation_attr(&attribute, &ops[0], &at) == 0 &&
            dwarf_formaddr(&at, &value) == 0) {
            *address = value;
            return true;
        }
    }
    return false;
}

static bool add_name(debug_info* info, const char* text, u32* offset) {
    u64 length = strlen(text) + 1;
    if (info->names_size + length > info->names_capacity) {
        u64 grown = info->names_capacity ? info->names_capacity * 2 : 65536;
        while (grown < info->names_size + length) {
            grown *= 2;
        }
        void* moved = realloc(info->names, grown);
        if (!moved) {
            return false;
        }
        info->names = (char*)moved;
        info->names_capacity = grown;
    }
    memcpy(info->names + info->names_size, text, length);
    *offset = (u32)info->names_size;
    info->names_size += length;
    return true;
}

static bool add_variable(debug_info* info, u64 address, const char* key, const char* path,
                         u64 hash) {
    u32 key_at, path_at;
    if (info->count == info->capacity) {
        u64 grown = info->capacity ? info->capacity * 2 : 1024;
        void* moved = realloc(info->variables, grown * sizeof(debug_variable));
        if (!moved) {
            return false;
        }
        info->variables = (debug_variable*)moved;
        info->capacity = grown;
    }
    if (!add_name(info, key, &key_at)) {
        return false;
    }
    // The variables of one file follow each other: its path once.
    const debug_variable* last = info->count ? &info->variables[info->count - 1] : NULL;
    if (last && strcmp(info->names + last->path, path) == 0) {
        path_at = last->path;
    } else if (!add_name(info, path, &path_at)) {
        return false;
    }
    info->variables[info->count++] = {address, hash, key_at, path_at};
    return true;
}

// The variables under die, with the function they are inside ("" for a
// file's own). Keys name the file by its name alone, so that a build from
// another folder finds them; its path tells two files of one name apart.
static void walk_scope(debug_info* info, Dwarf_Die* scope, const char* file,
                       const char* function, u32 depth) {
    Dwarf_Die child;
    if (depth > 32 || dwarf_child(scope, &child) != 0) {
        return;
    }
    do {
        int tag = dwarf_tag(&child);
        if (tag == DW_TAG_variable) {
            u64 address;
            const char* name = dwarf_diename(&child);
            if (name && variable_address(&child, &address)) {
                char key[512];
                snprintf(key, sizeof(key), function[0] ? "%s:%s:%s" : "%s:%s%s",
                         image_file_name(file), function, name);
                Dwarf_Die type;
                add_variable(info, address, key, file,
                             type_of(&child, &type) ? type_hash(info, &type, 0) : 0);
            }
        } else if (tag == DW_TAG_subprogram || tag == DW_TAG_lexical_block ||
                   tag == DW_TAG_namespace || tag == DW_TAG_inlined_subroutine) {
            const char* inside = function;
            if (tag == DW_TAG_subprogram) {
                Dwarf_Attribute linkage;
                const char* name = dwarf_formstring(
                    dwarf_attr_integrate(&child, DW_AT_linkage_name, &linkage));
                inside = name ? name : dwarf_diename(&child);
                inside = inside ? inside : "";
            }
            walk_scope(info, &child, file, inside, depth + 1);
        }
    } while (dwarf_siblingof(&child, &child) == 0);
}

static int by_debug_address(const void* a, const void* b) {
    u64 x = ((const debug_variable*)a)->address;
    u64 y = ((const debug_variable*)b)->address;
    return x < y ? -1 : x > y ? 1 : 0;
}

static bool32 read_debug(Elf* elf, debug_info* info) {
    Dwarf* dwarf = dwarf_begin_elf(elf, DWARF_C_READ, NULL);
    if (!dwarf) {
        return 0;
    }
    Dwarf_Off offset = 0, next = 0;
    size_t header_size = 0;
    while (dwarf_nextcu(dwarf, offset, &next, &header_size, NULL, NULL, NULL) == 0) {
        Dwarf_Die unit;
        if (dwarf_offdie(dwarf, offset + header_size, &unit)) {
            const char* file = dwarf_diename(&unit);
            walk_scope(info, &unit, file ? file : "", "", 0);
        }
        offset = next;
    }
    dwarf_end(dwarf);
    if (!info->count) {
        return 0;
    }
    qsort(info->variables, info->count, sizeof(debug_variable), by_debug_address);
    return 1;
}

static const debug_variable* debug_at(const debug_info* info, u64 address) {
    u64 low = 0, high = info->count;
    while (low < high) {
        u64 middle = low + (high - low) / 2;
        if (info->variables[middle].address < address) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low < info->count && info->variables[low].address == address ? &info->variables[low]
                                                                          : NULL;
}

static void free_debug(debug_info* info) {
    free(info->variables);
    free(info->names);
    free(info->type_offsets);
    free(info->type_hashes);
}

// ---------------------------------------------------------------------------
// Symbols.

// The runtime's start-up files ("crtstuff.c", "crti.S", ...): theirs, not
// the module's.
static bool runtime_file(const char* file) { return strncmp(file, "crt", 3) == 0; }

static bool32 read_symbols(Elf* elf, Elf_Scn* table, const GElf_Shdr* table_header, u64 bias,
                           const section_info* sections, size_t section_count,
                           const debug_info* debug, image_layout* layout) {
    Elf_Data* data = elf_getdata(table, NULL);
    if (!data || !table_header->sh_entsize) {
        return image_problem(layout, "has a symbol table that can't be read");
    }
    u64 count = table_header->sh_size / table_header->sh_entsize;
    const char* file = "";
    for (u64 i = 1; i < count; ++i) {
        GElf_Sym symbol;
        if (!gelf_getsym(data, (int)i, &symbol)) {
            return image_problem(layout, "has a symbol table that can't be read");
        }
        const char* name = elf_strptr(elf, table_header->sh_link, symbol.st_name);
        int type = GELF_ST_TYPE(symbol.st_info);
        // File symbols group the local ones; the global ones that follow
        // belong to no file.
        if (i == table_header->sh_info) {
            file = "";
        }
        if (type == STT_FILE) {
            file = name ? name : "";
            continue;
        }
        if (!name || !name[0] || (type != STT_OBJECT && type != STT_FUNC) ||
            symbol.st_shndx == SHN_UNDEF || symbol.st_shndx >= section_count ||
            sections[symbol.st_shndx].kind == ~0u) {
            continue;
        }
        const section_info* section = &sections[symbol.st_shndx];
        u64 address = bias + symbol.st_value;
        if (address < section->start || address + symbol.st_size > section->end ||
            address + symbol.st_size < address) {
            continue;  // a symbol outside its own section: not trusted
        }
        bool local = GELF_ST_BIND(symbol.st_info) == STB_LOCAL;
        u32 kind = section->kind;
        if (kind == IMAGE_KEPT && (runtime_file(file) || !symbol.st_size)) {
            kind = IMAGE_DATA;
        }
        if ((type == STT_FUNC) != (kind == IMAGE_CODE)) {
            continue;
        }
        const debug_variable* variable = debug_at(debug, symbol.st_value);
        char key[600];
        const char* path = local ? file : "";
        if (variable && local) {
            snprintf(key, sizeof(key), "%s", debug->names + variable->key);
            path = debug->names + variable->path;
        } else {
            snprintf(key, sizeof(key), local ? "%s:%s" : "%.0s%s", image_file_name(file), name);
        }
        if (strcmp(name, "__do_global_dtors_aux") == 0) {
            layout->runtime_destructor = address;
        }
        if (!image_add(layout, address, symbol.st_size, (image_kind)kind, key, path,
                       variable ? variable->type_hash : 0)) {
            return image_problem(layout, "needs more memory than there is");
        }
    }
    return 1;
}

static bool32 read_layout(Elf* elf, u64 bias, image_layout* layout) {
    GElf_Ehdr header;
    if (!gelf_getehdr(elf, &header) || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_machine != EM_X86_64) {
        return image_problem(layout, "is not an x86-64 ELF image this host reads");
    }
    layout->bias = bias;
    if (!read_segments(elf, bias, layout)) {
        return 0;
    }
    size_t names = 0, section_count = 0;
    if (elf_getshdrstrndx(elf, &names) != 0 || elf_getshdrnum(elf, &section_count) != 0 ||
        section_count > SECTIONS_MAX) {
        return image_problem(layout, "has section headers that can't be read");
    }
    static section_info sections[SECTIONS_MAX];
    Elf_Scn* symbols = NULL;
    GElf_Shdr symbols_header;
    for (size_t i = 0; i < section_count; ++i) {
        GElf_Shdr section_header;
        Elf_Scn* section = elf_getscn(elf, i);
        sections[i].kind = ~0u;
        if (!section || !gelf_getshdr(section, &section_header)) {
            continue;
        }
        note_section(elf, names, &section_header, bias, layout, &sections[i]);
        if (section_header.sh_type == SHT_SYMTAB) {
            symbols = section;
            symbols_header = section_header;
        }
    }
    if (!layout->keeps_all) {
        return 1;
    }
    if (!symbols) {
        return image_problem(layout, "has no symbol table");
    }
    debug_info debug;
    memset(&debug, 0, sizeof(debug));
    layout->has_debug = read_debug(elf, &debug);
    bool32 read = read_symbols(elf, symbols, &symbols_header, bias, sections, section_count,
                               &debug, layout) &&
                  (image_finish(layout) || image_problem(layout, "needs more memory than there is"));
    free_debug(&debug);
    if (read) {
        code_fingerprint(layout);
    }
    return read;
}

// The segments the loader mapped readable, from the program headers it
// keeps in memory: the file read later may say otherwise.
typedef struct mapped_search {
    const struct link_map* map;
    image_layout* layout;
} mapped_search;

static int note_mapped(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size;
    const struct link_map* map = ((mapped_search*)data)->map;
    image_layout* layout = ((mapped_search*)data)->layout;
    if (info->dlpi_addr != map->l_addr || !info->dlpi_name || !map->l_name ||
        strcmp(info->dlpi_name, map->l_name) != 0) {
        return 0;
    }
    for (u32 i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)* segment = &info->dlpi_phdr[i];
        if (segment->p_type == PT_LOAD && (segment->p_flags & PF_R)) {
            u64 start = info->dlpi_addr + segment->p_vaddr;
            image_add_range(layout->mapped, &layout->mapped_count, start,
                            start + segment->p_memsz);
        }
    }
    return 1;
}

bool32 image_read(void* library, const char* path, image_layout* layout) {
    memset(layout, 0, sizeof(*layout));
    struct link_map* map = NULL;
    if (!library || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || !map) {
        return image_problem(layout, "can't be found in memory");
    }
    int fd;
    Elf* elf = open_elf(path, &fd);
    if (!elf) {
        return image_problem(layout, "can't be read as an ELF image");
    }
    mapped_search search = {map, layout};
    dl_iterate_phdr(note_mapped, &search);
    bool32 read = read_layout(elf, (u64)map->l_addr, layout);
    close_elf(elf, fd);
    return read;
}

static void no_destructor(void) {}

bool32 image_disarm_destructors(const image_layout* layout) {
    if (!layout->destructors || !layout->destructor_count) {
        return 1;
    }
    u64* entries = (u64*)layout->destructors;
    u64 first = layout->destructors & ~(PAGE - 1);
    u64 last = (layout->destructors + layout->destructor_count * 8 + PAGE - 1) & ~(PAGE - 1);
    // The array is read-only after relocation.
    if (mprotect((void*)first, last - first, PROT_READ | PROT_WRITE) != 0) {
        return 0;
    }
    for (u64 i = 0; i < layout->destructor_count; ++i) {
        if (entries[i] != layout->runtime_destructor) {
            entries[i] = (u64)no_destructor;
        }
    }
    // Back to read-only where the loader had made it so.
    u64 writable = layout->data.start && layout->data.start < last ? layout->data.start : last;
    if (writable > first) {
        mprotect((void*)first, writable - first, PROT_READ);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// The type graph: the debug sections' bytes, decompressed where the linker
// compressed them, handed to the portable reader (types.h).

bool32 types_read_file(const char* path, type_graph* out) {
    memset(out, 0, sizeof(*out));
    int fd;
    Elf* elf = open_elf(path, &fd);
    size_t names = 0;
    if (!elf || elf_getshdrstrndx(elf, &names) != 0) {
        if (elf) {
            close_elf(elf, fd);
        }
        return 0;
    }
    static const char* const wanted[] = {".debug_info", ".debug_abbrev", ".debug_str",
                                         ".debug_line_str", ".debug_addr", ".debug_str_offsets"};
    const u8* bytes[6] = {NULL};
    u64 sizes[6] = {0};
    for (Elf_Scn* section = NULL; (section = elf_nextscn(elf, section));) {
        GElf_Shdr header;
        if (!gelf_getshdr(section, &header) || header.sh_type == SHT_NOBITS) {
            continue;
        }
        const char* name = section_name(elf, names, &header);
        for (u32 k = 0; k < 6; ++k) {
            if (strcmp(name, wanted[k]) != 0) {
                continue;
            }
            // Decompressed in place, in libelf's memory, for as long as elf lives.
            if ((header.sh_flags & SHF_COMPRESSED) && elf_compress(section, 0, 0) < 0) {
                break;
            }
            Elf_Data* data = elf_getdata(section, NULL);
            if (data && data->d_buf) {
                bytes[k] = (const u8*)data->d_buf;
                sizes[k] = data->d_size;
            }
        }
    }
    dwarf_sections sections = {bytes[0], sizes[0], bytes[1], sizes[1], bytes[2], sizes[2],
                               bytes[3], sizes[3], bytes[4], sizes[4], bytes[5], sizes[5]};
    bool32 read = types_read(&sections, out);
    close_elf(elf, fd);
    return read;
}
