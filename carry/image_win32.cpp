// PE images: sections from the headers, the objects and functions from the
// COFF symbol table MinGW's linker leaves in the image, and the variables'
// keys, sizes and types from the DWARF it writes beside them (dwarf.h).
// Everything is read from the file; only the base comes from the loaded
// library.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "carry/code.h"
#include "carry/dwarf.h"
#include "carry/image.h"
#include "carry/types.h"

#define PAGE 4096ull
#define SYMBOL_BYTES 18u
#define COFF_EXTERNAL 2
#define COFF_STATIC 3
#define COFF_FILE 103
#define COFF_FUNCTION 0x20

// A regular file in memory, up to most bytes of it; null when it can't be
// read.
static u8* read_start(const char* path, u64 most, u64* size) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return NULL;
    }
    LARGE_INTEGER length;
    u8* bytes = NULL;
    if (GetFileSizeEx(file, &length) && length.QuadPart > 0 && length.QuadPart < (1ll << 32)) {
        length.QuadPart = (u64)length.QuadPart < most ? length.QuadPart : (LONGLONG)most;
        bytes = (u8*)malloc((size_t)length.QuadPart);
        DWORD got = 0;
        if (bytes && (!ReadFile(file, bytes, (DWORD)length.QuadPart, &got, NULL) ||
                      got != (DWORD)length.QuadPart)) {
            free(bytes);
            bytes = NULL;
        }
        *size = (u64)length.QuadPart;
    }
    CloseHandle(file);
    return bytes;
}

// ---------------------------------------------------------------------------
// The headers.

typedef struct pe_file {
    const u8* bytes;
    u64 size;
    const IMAGE_NT_HEADERS64* nt;
    const IMAGE_SECTION_HEADER* sections;
    u32 section_count;
    const u8* symbols;  // COFF symbol table, null when stripped
    u32 symbol_count;
    const char* strings;  // its string table
    u32 strings_size;
} pe_file;

static bool in_file(const pe_file* pe, u64 offset, u64 length) {
    return offset <= pe->size && length <= pe->size - offset;
}

static bool32 open_pe(const u8* bytes, u64 size, pe_file* pe, image_layout* layout) {
    memset(pe, 0, sizeof(*pe));
    pe->bytes = bytes;
    pe->size = size;
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)bytes;
    if (!in_file(pe, 0, sizeof(*dos)) || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        !in_file(pe, (u64)dos->e_lfanew, sizeof(IMAGE_NT_HEADERS64))) {
        return image_problem(layout, "is not a PE image this host reads");
    }
    pe->nt = (const IMAGE_NT_HEADERS64*)(bytes + dos->e_lfanew);
    const IMAGE_FILE_HEADER* header = &pe->nt->FileHeader;
    if (pe->nt->Signature != IMAGE_NT_SIGNATURE || header->Machine != IMAGE_FILE_MACHINE_AMD64 ||
        pe->nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return image_problem(layout, "is not an x86-64 PE image this host reads");
    }
    u64 sections = (u64)dos->e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                   header->SizeOfOptionalHeader;
    if (!in_file(pe, sections, (u64)header->NumberOfSections * sizeof(IMAGE_SECTION_HEADER))) {
        return image_problem(layout, "has section headers that can't be read");
    }
    pe->sections = (const IMAGE_SECTION_HEADER*)(bytes + sections);
    pe->section_count = header->NumberOfSections;
    u64 table = header->PointerToSymbolTable;
    u64 table_bytes = (u64)header->NumberOfSymbols * SYMBOL_BYTES;
    if (table && header->NumberOfSymbols && in_file(pe, table, table_bytes + 4)) {
        pe->symbols = bytes + table;
        pe->symbol_count = header->NumberOfSymbols;
        pe->strings = (const char*)(bytes + table + table_bytes);
        memcpy(&pe->strings_size, pe->strings, 4);
        if (!in_file(pe, table + table_bytes, pe->strings_size) || pe->strings_size < 4) {
            pe->strings_size = 4;
        }
    }
    return 1;
}

// A name from the string table, "" when outside it.
static const char* long_name(const pe_file* pe, u64 offset) {
    if (offset < 4 || offset >= pe->strings_size) {
        return "";
    }
    const char* name = pe->strings + offset;
    return memchr(name, 0, pe->strings_size - offset) ? name : "";
}

// A section's name: eight bytes, or "/<offset>" into the string table.
static void section_name(const pe_file* pe, const IMAGE_SECTION_HEADER* section, char* out, u32 capacity) {
    char short_name[9];
    memcpy(short_name, section->Name, 8);
    short_name[8] = 0;
    const char* name = short_name;
    if (short_name[0] == '/') {
        name = long_name(pe, strtoul(short_name + 1, NULL, 10));
    }
    snprintf(out, capacity, "%s", name);
}

// ---------------------------------------------------------------------------
// Sections.

typedef struct section_info {
    u64 start, end;  // in memory
    u32 kind;        // image_kind of objects in it; ~0u: none of ours
    char name[16];
} section_info;

// Writable sections the runtime and the loader own.
static const char* const not_ours[] = {".idata", ".CRT", ".tls", "engkept", "engall"};

static void note_section(const pe_file* pe, u32 index, image_layout* layout, section_info* info) {
    const IMAGE_SECTION_HEADER* section = &pe->sections[index];
    char name[64];
    section_name(pe, section, name, sizeof(name));
    snprintf(info->name, sizeof(info->name), "%s", name);
    info->start = layout->base + section->VirtualAddress;
    info->end = info->start + section->Misc.VirtualSize;
    info->kind = ~0u;
    DWORD flags = section->Characteristics;
    if (strcmp(name, "engall") == 0) {
        layout->keeps_all = 1;
    }
    if (info->end < info->start || section->VirtualAddress + (u64)section->Misc.VirtualSize >
                                        layout->size || (flags & IMAGE_SCN_MEM_DISCARDABLE)) {
        return;
    }
    if (flags & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE)) {
        info->kind = IMAGE_CODE;
    } else if (!(flags & IMAGE_SCN_MEM_WRITE)) {
        // Unwind tables, exports and relocations hold nothing a pointer of
        // the module's reaches.
        if (strcmp(name, ".rdata") == 0 || strncmp(name, ".rdata$", 7) == 0 || strcmp(name, ".rodata") == 0) {
            info->kind = IMAGE_READ_ONLY;
            image_add_range(layout->read_only, &layout->read_only_count, info->start, info->end);
        }
    } else if (image_name_in(name, not_ours, sizeof(not_ours) / sizeof(not_ours[0]))) {
        info->kind = IMAGE_DATA;
    } else {
        info->kind = IMAGE_KEPT;
        // The writable data the undo watches and a snapshot copies: one
        // span from the first to the last of the module's own writable
        // sections (what lies between is read-only and never changes).
        u64 start = info->start & ~(PAGE - 1);
        u64 end = (info->end + PAGE - 1) & ~(PAGE - 1);
        if (!layout->data.start || start < layout->data.start) {
            layout->data.start = start;
        }
        layout->data.end = end > layout->data.end ? end : layout->data.end;
    }
}

// ---------------------------------------------------------------------------
// The DWARF, when the image carries it.

static bool section_bytes(const pe_file* pe, const char* wanted, const u8** bytes, u64* size) {
    for (u32 i = 0; i < pe->section_count; ++i) {
        const IMAGE_SECTION_HEADER* section = &pe->sections[i];
        char name[64];
        section_name(pe, section, name, sizeof(name));
        if (strcmp(name, wanted) != 0) {
            continue;
        }
        u64 length = section->Misc.VirtualSize < section->SizeOfRawData ? section->Misc.VirtualSize
                                                                        : section->SizeOfRawData;
        if (!in_file(pe, section->PointerToRawData, length)) {
            return false;
        }
        *bytes = pe->bytes + section->PointerToRawData;
        *size = length;
        return true;
    }
    return false;
}

// The debug sections' bytes; false without .debug_info and .debug_abbrev.
static bool debug_sections(const pe_file* pe, dwarf_sections* sections) {
    memset(sections, 0, sizeof(*sections));
    if (!section_bytes(pe, ".debug_info", &sections->info, &sections->info_size) ||
        !section_bytes(pe, ".debug_abbrev", &sections->abbrev, &sections->abbrev_size)) {
        return false;
    }
    section_bytes(pe, ".debug_str", &sections->str, &sections->str_size);
    section_bytes(pe, ".debug_line_str", &sections->line_str, &sections->line_str_size);
    section_bytes(pe, ".debug_addr", &sections->addr, &sections->addr_size);
    section_bytes(pe, ".debug_str_offsets", &sections->str_offsets, &sections->str_offsets_size);
    return true;
}

static bool32 read_debug(const pe_file* pe, dwarf_variables* debug) {
    dwarf_sections sections;
    return debug_sections(pe, &sections) && dwarf_read(&sections, debug);
}

// ---------------------------------------------------------------------------
// Symbols. The linker writes each input object's local symbols after its
// file symbol, with section symbols that give the extent of what that
// object put in each section; the global symbols follow at the end, and
// belong to the object whose extent holds them.

typedef struct coff_symbol {
    char short_name[8];
    u32 value;
    i16 section;
    u16 type;
    u8 storage;
    u8 aux_count;
} coff_symbol;

static void coff_at(const pe_file* pe, u32 index, coff_symbol* symbol) {
    const u8* at = pe->symbols + (u64)index * SYMBOL_BYTES;
    memcpy(symbol->short_name, at, 8);
    memcpy(&symbol->value, at + 8, 4);
    memcpy(&symbol->section, at + 12, 2);
    memcpy(&symbol->type, at + 14, 2);
    symbol->storage = at[16];
    symbol->aux_count = at[17];
}

static void coff_name(const pe_file* pe, const coff_symbol* symbol, char* out, u32 capacity) {
    u32 zeros, offset;
    memcpy(&zeros, symbol->short_name, 4);
    memcpy(&offset, symbol->short_name + 4, 4);
    if (zeros == 0) {
        snprintf(out, capacity, "%s", long_name(pe, offset));
    } else {
        snprintf(out, capacity, "%.8s", symbol->short_name);
    }
}

typedef struct extent {
    u64 start, end;
    u32 group;
} extent;

typedef struct symbol_reader {
    const pe_file* pe;
    const section_info* sections;
    const dwarf_variables* debug;
    u64 link_base;  // where the DWARF's addresses assume the image
    image_layout* layout;
    char (*groups)[20];  // each input object's file name
    bool* runtime;       // whether that object is the toolchain's
    u32 group_count;
    extent* extents;
    u32 extent_count;
} symbol_reader;

// MinGW's start-up objects come before the module's own; its libraries
// (the C++ library's objects are named "fake") after them.
static const char* const startup_files[] = {"crtdll.c", "dllcrt1.c", "dllcrt2.c", "cygming-crtbeg",
                                            "cygming-crtend", "crtbegin.c", "crtend.c"};
static const char* const library_files[] = {"fake",         "gccmain.c",     "natstart.c",
                                            "tlssup.c",     "cinitexe.c",    "mingw_helpers.",
                                            "pseudo-reloc.c", "tlsthrd.c",   "tlsmcrt.c",
                                            "pesect.c",     "CRT_fp10.c",    "dllentry.c",
                                            "dllmain.c"};

static bool32 add_group(symbol_reader* reader, const u8* aux, u32 aux_count) {
    u32 index = reader->group_count++;
    char (*groups)[20] = (char (*)[20])realloc(reader->groups, (u64)reader->group_count * 20);
    bool* runtime = (bool*)realloc(reader->runtime, reader->group_count);
    if (groups) {
        reader->groups = groups;
    }
    if (runtime) {
        reader->runtime = runtime;
    }
    if (!groups || !runtime) {
        return 0;
    }
    u32 length = aux_count ? SYMBOL_BYTES : 0;
    memcpy(groups[index], aux, length < 19 ? length : 19);
    groups[index][length < 19 ? length : 19] = 0;
    const char* name = groups[index];
    bool library = image_name_in(name, library_files, sizeof(library_files) / sizeof(library_files[0]));
    bool after_library = index > 0 && runtime[index - 1] &&
                         !image_name_in(reader->groups[index - 1], startup_files,
                                  sizeof(startup_files) / sizeof(startup_files[0]));
    runtime[index] = library || after_library ||
                     image_name_in(name, startup_files, sizeof(startup_files) / sizeof(startup_files[0]));
    return 1;
}

static bool32 add_extent(symbol_reader* reader, u64 start, u64 end) {
    if (!reader->group_count || end <= start) {
        return 1;
    }
    extent* grown = (extent*)realloc(reader->extents, ((u64)reader->extent_count + 1) * sizeof(extent));
    if (!grown) {
        return 0;
    }
    reader->extents = grown;
    reader->extents[reader->extent_count++] = {start, end, reader->group_count - 1};
    return 1;
}

static int by_start(const void* a, const void* b) {
    u64 x = ((const extent*)a)->start, y = ((const extent*)b)->start;
    return x < y ? -1 : x > y ? 1 : 0;
}

// The extent holding address, or null.
static const extent* extent_at(const symbol_reader* reader, u64 address) {
    u32 low = 0, high = reader->extent_count;
    while (low < high) {
        u32 middle = low + (high - low) / 2;
        if (reader->extents[middle].start <= address) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low && address < reader->extents[low - 1].end ? &reader->extents[low - 1] : NULL;
}

static const section_info* section_of(const symbol_reader* reader, i16 number) {
    return number >= 1 && (u32)number <= reader->pe->section_count ? &reader->sections[number - 1]
                                                                   : NULL;
}

static bool section_definition(const coff_symbol* symbol, const char* name) {
    return symbol->storage == COFF_STATIC && symbol->aux_count && name[0] == '.' &&
           (symbol->type & 0xF0) != COFF_FUNCTION;
}

// One object or function: its kind by where it lies and whose it is, its
// key by name (a static's by its file), its size from the DWARF (the gaps
// between symbols give the others theirs once all are in).
static bool32 add_symbol(symbol_reader* reader, const coff_symbol* symbol, const char* name) {
    const section_info* section = section_of(reader, symbol->section);
    if (!section || section->kind == ~0u || !name[0] || name[0] == '.') {
        return 1;
    }
    u64 address = section->start + symbol->value;
    if (address < section->start || address >= section->end) {
        return 1;  // outside its own section: not trusted
    }
    u32 kind = section->kind;
    bool local = symbol->storage == COFF_STATIC;
    if (kind != IMAGE_CODE && (symbol->type & 0xF0) == COFF_FUNCTION) {
        return 1;
    }
    const extent* owner = extent_at(reader, address);
    u32 group = local ? reader->group_count - 1 : owner ? owner->group : ~0u;
    bool runtime = group != ~0u && reader->runtime[group];
    if (kind == IMAGE_KEPT && (runtime || strncmp(name, "__emutls_v.", 11) == 0)) {
        kind = IMAGE_DATA;  // the runtime's, and each thread's own
    }
    const dwarf_variable* variable =
        reader->debug ? dwarf_at(reader->debug, address - reader->layout->base + reader->link_base)
                      : NULL;
    u64 size = variable && address + variable->size <= section->end ? variable->size : 0;
    char key[600];
    const char* file = group != ~0u ? reader->groups[group] : "";
    const char* path = local ? file : "";
    if (variable && local) {
        snprintf(key, sizeof(key), "%s", dwarf_key(reader->debug, variable));
        path = dwarf_path(reader->debug, variable);
    } else {
        snprintf(key, sizeof(key), local ? "%s:%s" : "%.0s%s", image_file_name(file), name);
    }
    if (strcmp(name, "atexit_table") == 0 && local && runtime) {
        reader->layout->destructors = address;
        reader->layout->destructor_count = 1;
    }
    if (!image_add(reader->layout, address, size, (image_kind)kind, key, path,
                   variable ? variable->type_hash : 0)) {
        return image_problem(reader->layout, "needs more memory than there is");
    }
    return 1;
}

static bool32 walk_symbols(symbol_reader* reader) {
    const pe_file* pe = reader->pe;
    // Files and extents first: the global symbols at the end need them all.
    for (int pass = 0; pass < 2; ++pass) {
        reader->group_count = 0;
        for (u32 i = 0; i < pe->symbol_count; i += 1 + (u32)pe->symbols[(u64)i * SYMBOL_BYTES + 17]) {
            coff_symbol symbol;
            coff_at(pe, i, &symbol);
            if ((u64)i + 1 + symbol.aux_count > pe->symbol_count) {
                return image_problem(reader->layout, "has a symbol table that can't be read");
            }
            const u8* aux = pe->symbols + ((u64)i + 1) * SYMBOL_BYTES;
            char name[512];
            coff_name(pe, &symbol, name, sizeof(name));
            if (symbol.storage == COFF_FILE) {
                if (!add_group(reader, aux, symbol.aux_count)) {
                    return image_problem(reader->layout, "needs more memory than there is");
                }
            } else if (section_definition(&symbol, name)) {
                const section_info* section = section_of(reader, symbol.section);
                u32 length;
                memcpy(&length, aux, 4);
                if (pass == 0 && section &&
                    !add_extent(reader, section->start + symbol.value,
                                section->start + symbol.value + length)) {
                    return image_problem(reader->layout, "needs more memory than there is");
                }
            } else if (pass == 1 && reader->group_count &&
                       (symbol.storage == COFF_EXTERNAL || symbol.storage == COFF_STATIC) &&
                       !add_symbol(reader, &symbol, name)) {
                return 0;
            }
        }
        if (pass == 0) {
            qsort(reader->extents, reader->extent_count, sizeof(extent), by_start);
        }
    }
    return 1;
}

// What the symbol table does not say: how far each object and function
// without a size from the DWARF reaches, up to the next symbol, the end of
// what its object put there, or the end of its section.
static void fill_sizes(const symbol_reader* reader) {
    image_layout* layout = reader->layout;
    for (u32 i = 0; i < layout->symbol_count; ++i) {
        image_symbol* symbol = &layout->symbols[i];
        if (symbol->size) {
            continue;
        }
        u64 end = ~0ull;
        for (u32 s = 0; s < reader->pe->section_count; ++s) {
            const section_info* section = &reader->sections[s];
            if (symbol->address >= section->start && symbol->address < section->end) {
                end = section->end;
            }
        }
        const extent* owner = extent_at(reader, symbol->address);
        end = owner && owner->end < end ? owner->end : end;
        for (u32 next = i + 1; next < layout->symbol_count; ++next) {
            if (layout->symbols[next].address > symbol->address) {
                end = layout->symbols[next].address < end ? layout->symbols[next].address : end;
                break;
            }
        }
        symbol->size = end != ~0ull ? end - symbol->address : 0;
    }
}

static bool32 read_symbols(const pe_file* pe, const section_info* sections, image_layout* layout) {
    symbol_reader reader;
    memset(&reader, 0, sizeof(reader));
    reader.pe = pe;
    reader.sections = sections;
    reader.layout = layout;
    reader.link_base = pe->nt->OptionalHeader.ImageBase;
    layout->bias = layout->base - reader.link_base;
    dwarf_variables debug;
    memset(&debug, 0, sizeof(debug));
    layout->has_debug = read_debug(pe, &debug);
    reader.debug = layout->has_debug ? &debug : NULL;
    bool32 read = walk_symbols(&reader);
    if (read && !reader.group_count) {
        read = image_problem(layout, "was built by a toolchain this host doesn't know");
    }
    if (read && !image_finish(layout)) {
        read = image_problem(layout, "needs more memory than there is");
    }
    if (read) {
        fill_sizes(&reader);
        code_fingerprint(layout);
    }
    if (read && !layout->destructors) {
        read = image_problem(layout, "was built by a toolchain this host doesn't know");
    }
    dwarf_free(&debug);
    free(reader.groups);
    free(reader.runtime);
    free(reader.extents);
    return read;
}

// The file offset of an address inside a section's raw data; 0 for none.
static u64 file_offset(const pe_file* pe, u64 rva, u64 length) {
    for (u32 i = 0; i < pe->section_count; ++i) {
        const IMAGE_SECTION_HEADER* section = &pe->sections[i];
        if (rva >= section->VirtualAddress && rva + length <= section->VirtualAddress +
                                                                 (u64)section->SizeOfRawData) {
            u64 offset = section->PointerToRawData + (rva - section->VirtualAddress);
            return in_file(pe, offset, length) ? offset : 0;
        }
    }
    return 0;
}

// Whether its debug information is in a PDB (MSVC's linkers), which has
// the symbols the image then lacks.
static bool has_pdb(const pe_file* pe) {
    const IMAGE_DATA_DIRECTORY* directory =
        &pe->nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    u64 count = directory->Size / sizeof(IMAGE_DEBUG_DIRECTORY);
    u64 offset = count ? file_offset(pe, directory->VirtualAddress, count * sizeof(IMAGE_DEBUG_DIRECTORY)) : 0;
    for (u64 i = 0; offset && i < count; ++i) {
        IMAGE_DEBUG_DIRECTORY entry;
        memcpy(&entry, pe->bytes + offset + i * sizeof(entry), sizeof(entry));
        if (entry.Type == IMAGE_DEBUG_TYPE_CODEVIEW) {
            return true;
        }
    }
    return false;
}

static bool32 read_layout(const pe_file* pe, image_layout* layout) {
    section_info* sections = (section_info*)calloc(pe->section_count + 1, sizeof(section_info));
    if (!sections) {
        return image_problem(layout, "needs more memory than there is");
    }
    for (u32 i = 0; i < pe->section_count; ++i) {
        note_section(pe, i, layout, &sections[i]);
    }
    bool32 read = 1;
    if (layout->keeps_all) {
        read = pe->symbols ? read_symbols(pe, sections, layout)
               : has_pdb(pe) ? image_problem(layout, "keeps its debug information in a PDB, which this "
                                               "host doesn't read")
                             : image_problem(layout, "has no symbol table");
    }
    free(sections);
    return read;
}

bool32 image_keeps_all(const char* path) {
    u64 size = 0;
    // The headers lie at the start: asked at every load, the rest is not read.
    u8* bytes = read_start(path, 65536, &size);
    pe_file pe;
    image_layout layout;
    memset(&layout, 0, sizeof(layout));
    bool32 found = 0;
    if (bytes && open_pe(bytes, size, &pe, &layout)) {
        for (u32 i = 0; !found && i < pe.section_count; ++i) {
            found = memcmp(pe.sections[i].Name, "engall", 7) == 0;
        }
    }
    free(bytes);
    return found;
}

// The sections the loader mapped readable, from the headers it left in
// memory (the file read later may say otherwise), runs of them joined.
static void note_mapped(void* library, image_layout* layout) {
    const u8* base = (const u8*)library;
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    u64 size = nt->OptionalHeader.SizeOfImage;
    image_range* last = NULL;
    for (u32 i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        u64 start = sections[i].VirtualAddress;
        u64 end = start + sections[i].Misc.VirtualSize;
        if (!(sections[i].Characteristics & IMAGE_SCN_MEM_READ) || end > size || end <= start) {
            last = NULL;
            continue;
        }
        if (last && ((last->end + PAGE - 1) & ~(PAGE - 1)) >= (u64)base + start) {
            last->end = (u64)base + end;
        } else {
            u32 before = layout->mapped_count;
            image_add_range(layout->mapped, &layout->mapped_count, (u64)base + start,
                            (u64)base + end);
            last = layout->mapped_count > before ? &layout->mapped[before] : NULL;
        }
    }
}

bool32 image_read(void* library, const char* path, image_layout* layout) {
    memset(layout, 0, sizeof(*layout));
    if (!library) {
        return image_problem(layout, "can't be found in memory");
    }
    note_mapped(library, layout);
    u64 size = 0;
    u8* bytes = read_start(path, ~0ull, &size);
    if (!bytes) {
        return image_problem(layout, "can't be read");
    }
    pe_file pe;
    bool32 read = open_pe(bytes, size, &pe, layout);
    if (read) {
        layout->base = (u64)library;
        layout->size = pe.nt->OptionalHeader.SizeOfImage;
        read = read_layout(&pe, layout);
    }
    free(bytes);
    return read;
}

// MinGW's start-up runs the exit table its atexit filled (static
// destructors included) when the library goes: emptied, it runs none and
// gives back its room.
bool32 image_disarm_destructors(const image_layout* layout) {
    if (!layout->destructors) {
        return 1;
    }
    void** table = (void**)layout->destructors;  // first, last, end
    table[1] = table[0];
    return 1;
}

// The graph holds copies of what it needs: the file's bytes go after it is read.
bool32 types_read_file(const char* path, type_graph* out) {
    memset(out, 0, sizeof(*out));
    u64 size = 0;
    u8* bytes = read_start(path, ~0ull, &size);
    pe_file pe;
    image_layout layout;
    memset(&layout, 0, sizeof(layout));
    dwarf_sections sections;
    bool32 read = bytes && open_pe(bytes, size, &pe, &layout) && debug_sections(&pe, &sections) &&
                  types_read(&sections, out);
    free(bytes);
    return read;
}
