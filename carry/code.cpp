// The decoder knows lengths, not meanings: prefixes, the one-, two- and
// three-byte maps, VEX, EVEX and XOP, ModRM, SIB, displacements and
// immediates, which is all a code hash needs to find the addresses an
// instruction names.
#include "carry/code.h"

#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Decoding.

enum immediate {
    IMM_NONE,
    IMM_8,
    IMM_16,
    IMM_Z,      // 16 with an operand-size prefix, else 32
    IMM_V,      // as IMM_Z, 64 with REX.W
    IMM_MOFFS,  // an address: 32 with an address-size prefix, else 64
    IMM_ENTER,  // 16 then 8
    IMM_REL8,
    IMM_REL32,
    IMM_GROUP3_8,   // F6: 8 for TEST (reg 0, 1), none for the rest
    IMM_GROUP3_Z,   // F7: likewise with IMM_Z
    IMM_INVALID,
};

typedef struct opcode_info {
    bool modrm;
    u8 immediate;
} opcode_info;

static opcode_info info(bool modrm, u8 immediate) {
    opcode_info i = {modrm, immediate};
    return i;
}

static opcode_info one_byte_map(u8 op) {
    if (op < 0x40) {  // the arithmetic rows; x6, x7 and xE, xF are gone in 64-bit mode
        u8 low = op & 7;
        return low < 4 ? info(true, IMM_NONE) : low == 4 ? info(false, IMM_8)
               : low == 5 ? info(false, IMM_Z) : info(false, IMM_INVALID);
    }
    if (op < 0x60) {
        return info(false, IMM_NONE);  // push, pop (REX came before)
    }
    switch (op) {
    case 0x63: return info(true, IMM_NONE);
    case 0x68: return info(false, IMM_Z);
    case 0x69: return info(true, IMM_Z);
    case 0x6A: return info(false, IMM_8);
    case 0x6B: return info(true, IMM_8);
    case 0x6C: case 0x6D: case 0x6E: case 0x6F: return info(false, IMM_NONE);
    case 0x80: case 0x83: case 0xC0: case 0xC1: case 0xC6: return info(true, IMM_8);
    case 0x81: case 0xC7: return info(true, IMM_Z);
    case 0x9A: case 0x82: case 0xCE: case 0xD4: case 0xD5: case 0xD6: case 0xEA:
        return info(false, IMM_INVALID);
    case 0xA0: case 0xA1: case 0xA2: case 0xA3: return info(false, IMM_MOFFS);
    case 0xA8: return info(false, IMM_8);
    case 0xA9: return info(false, IMM_Z);
    case 0xC2: case 0xCA: return info(false, IMM_16);
    case 0xC8: return info(false, IMM_ENTER);
    case 0xCD: return info(false, IMM_8);
    case 0xE8: case 0xE9: return info(false, IMM_REL32);
    case 0xEB: return info(false, IMM_REL8);
    case 0xF6: return info(true, IMM_GROUP3_8);
    case 0xF7: return info(true, IMM_GROUP3_Z);
    case 0xFE: case 0xFF: return info(true, IMM_NONE);
    default: break;
    }
    if (op < 0x60 + 0x10) {
        return info(false, IMM_INVALID);  // 60-62 and the prefixes 64-67
    }
    if (op < 0x80) {
        return info(false, IMM_REL8);  // jcc
    }
    if (op < 0x90) {
        return info(true, IMM_NONE);  // test, xchg, mov, lea, pop r/m
    }
    if (op < 0xB0) {
        return info(false, IMM_NONE);  // xchg, cbw.., string operations
    }
    if (op < 0xB8) {
        return info(false, IMM_8);
    }
    if (op < 0xC0) {
        return info(false, IMM_V);
    }
    if ((op >= 0xD0 && op <= 0xD3) || (op >= 0xD8 && op <= 0xDF)) {
        return info(true, IMM_NONE);  // shifts, x87
    }
    if (op >= 0xE0 && op <= 0xE3) {
        return info(false, IMM_REL8);  // loop, jrcxz
    }
    if (op >= 0xE4 && op <= 0xE7) {
        return info(false, IMM_8);  // in, out
    }
    return info(false, IMM_NONE);  // ret, leave, int3, hlt, flags, in/out dx
}

static opcode_info two_byte_map(u8 op) {
    switch (op) {
    case 0x04: case 0x0A: case 0x0C: case 0x24: case 0x25: case 0x26: case 0x27: case 0x39:
    case 0x3B: case 0x3C: case 0x3D: case 0x3E: case 0x3F: case 0x7A: case 0x7B: case 0xA6:
    case 0xA7:
        return info(false, IMM_INVALID);
    case 0x05: case 0x06: case 0x07: case 0x08: case 0x09: case 0x0B: case 0x0E: case 0x77:
    case 0xA0: case 0xA1: case 0xA2: case 0xA8: case 0xA9: case 0xAA:
        return info(false, IMM_NONE);
    case 0x0F: case 0x70: case 0x71: case 0x72: case 0x73: case 0xA4: case 0xAC: case 0xBA:
    case 0xC2: case 0xC4: case 0xC5: case 0xC6:
        return info(true, IMM_8);
    default: break;
    }
    if (op >= 0x30 && op <= 0x37) {
        return info(false, IMM_NONE);  // wrmsr, rdtsc, sysenter...
    }
    if (op >= 0x80 && op <= 0x8F) {
        return info(false, IMM_REL32);  // jcc
    }
    if (op >= 0xC8 && op <= 0xCF) {
        return info(false, IMM_NONE);  // bswap
    }
    return info(true, IMM_NONE);
}

// VEX, EVEX and XOP's maps: a ModRM always (but VEX's vzeroupper and
// vzeroall), an immediate byte in the 0F3A map and a few of the 0F map's.
static opcode_info vector_map(u32 map, u8 op) {
    if (map == 1 && op == 0x77) {
        return info(false, IMM_NONE);
    }
    if (map == 3 || map == 8 ||
        (map == 1 && ((op >= 0x70 && op <= 0x73) || op == 0xC2 || (op >= 0xC4 && op <= 0xC6)))) {
        return info(true, IMM_8);
    }
    if (map == 10) {
        return info(true, IMM_Z);
    }
    return info(true, IMM_NONE);
}

typedef struct decoding {
    const u8* code;
    u64 available;
    u32 at;
    bool ok;
} decoding;

static u8 next_byte(decoding* d) {
    if (d->at >= d->available || d->at >= 15) {
        d->ok = false;
        return 0;
    }
    return d->code[d->at++];
}

static void skip(decoding* d, u32 count) {
    for (u32 i = 0; i < count && d->ok; ++i) {
        next_byte(d);
    }
}

// The ModRM byte and what follows it up to the immediate; where a
// RIP-relative displacement lies goes to out.
static void read_modrm(decoding* d, code_instruction* out, u8* modrm_byte) {
    u8 modrm = next_byte(d);
    u8 mod = modrm >> 6, rm = modrm & 7;
    *modrm_byte = modrm;
    if (mod == 3) {
        return;
    }
    if (rm == 4) {
        u8 sib = next_byte(d);
        if ((sib & 7) == 5 && mod == 0) {
            skip(d, 4);  // an absolute displacement
            return;
        }
    } else if (mod == 0 && rm == 5) {
        out->target_at = d->at;
        out->target_size = 4;
        skip(d, 4);
        return;
    }
    skip(d, mod == 1 ? 1 : mod == 2 ? 4 : 0);
}

bool32 code_decode(const u8* code, u64 available, code_instruction* out) {
    memset(out, 0, sizeof(*out));
    decoding d = {code, available, 0, true};
    bool operand16 = false, address32 = false, rex_w = false, rex_b = false, repeat = false;
    u8 op = 0;
    // Legacy prefixes and REX (which counts only right before the opcode).
    for (;;) {
        op = next_byte(&d);
        if (!d.ok) {
            return 0;
        }
        if (op == 0x66) {
            operand16 = true;
        } else if (op == 0x67) {
            address32 = true;
        } else if (op == 0xF3 || op == 0xF2) {
            repeat = true;
        } else if (op == 0xF0 || op == 0x2E || op == 0x3E || op == 0x26 || op == 0x36 ||
                   op == 0x64 || op == 0x65) {
        } else if (op >= 0x40 && op <= 0x4F) {
            rex_w = (op & 8) != 0;
            rex_b = (op & 1) != 0;
            op = next_byte(&d);
            if (!d.ok || op == 0x66 || op == 0x67 || op == 0xF0 || op == 0xF2 || op == 0xF3 ||
                (op >= 0x40 && op <= 0x4F)) {
                return 0;  // a prefix after REX: not what a compiler writes
            }
            break;
        } else {
            break;
        }
    }
    opcode_info what;
    u32 map = 0;
    if (op == 0xC5 || op == 0xC4 || op == 0x62 ||
        (op == 0x8F && d.at < available && (code[d.at] & 0x1F) >= 8)) {
        // VEX (two or three bytes), EVEX (four), XOP (three).
        u8 first = next_byte(&d);
        if (op == 0xC5) {
            map = 1;
        } else if (op == 0x62) {
            map = first & 7;
            skip(&d, 2);
        } else {
            map = first & 0x1F;
            rex_w = (next_byte(&d) & 0x80) != 0;
        }
        if (!d.ok || map == 0 || (op != 0x8F && map > 6) || (op == 0x8F && map > 10)) {
            return 0;
        }
        u8 vector_op = next_byte(&d);
        what = vector_map(map, vector_op);
        op = vector_op;
    } else if (op == 0x0F) {
        op = next_byte(&d);
        map = 1;
        if (op == 0x38 || op == 0x3A) {
            map = op == 0x38 ? 2 : 3;
            next_byte(&d);
            what = info(true, map == 3 ? IMM_8 : IMM_NONE);
        } else {
            what = two_byte_map(op);
        }
    } else {
        what = one_byte_map(op);
    }
    if (!d.ok || what.immediate == IMM_INVALID) {
        return 0;
    }
    u8 modrm = 0;
    if (what.modrm) {
        read_modrm(&d, out, &modrm);
    }
    u8 reg = (modrm >> 3) & 7;
    if (map == 0 && op == 0xC7 && modrm == 0xF8) {
        what.immediate = IMM_REL32;  // xbegin
    }
    u32 immediate = 0;
    switch (what.immediate) {
    case IMM_8: immediate = 1; break;
    case IMM_16: immediate = 2; break;
    case IMM_Z: immediate = operand16 ? 2 : 4; break;
    case IMM_V: immediate = rex_w ? 8 : operand16 ? 2 : 4; break;
    case IMM_MOFFS: immediate = address32 ? 4 : 8; break;
    case IMM_ENTER: immediate = 3; break;
    case IMM_GROUP3_8: immediate = reg < 2 ? 1 : 0; break;
    case IMM_GROUP3_Z: immediate = reg < 2 ? (operand16 ? 2 : 4) : 0; break;
    case IMM_REL8:
    case IMM_REL32:
        out->target_at = d.at;
        out->target_size = what.immediate == IMM_REL8 ? 1 : 4;
        immediate = out->target_size;
        break;
    default: break;
    }
    skip(&d, immediate);
    if (!d.ok) {
        memset(out, 0, sizeof(*out));
        return 0;
    }
    out->length = d.at;
    out->padding = (map == 0 && ((op == 0x90 && !rex_b && !repeat) || op == 0xCC)) ||
                   (map == 1 && op == 0x1F && what.modrm);
    return 1;
}

// ---------------------------------------------------------------------------
// Hashing.

#define ROUNDS 8
#define TABLE_MOST 4096
#define STRING_MOST 4096

static u64 mix(u64 hash, u64 value) { return image_hash_number(value, hash); }

typedef struct fingerprint {
    const image_layout* layout;
    u32* counted;   // symbol indices of the functions whose names count
    u32 count;
    u32* place;     // by symbol index: its index in counted, or ~0u
    u64* own;       // each one's code, the others' it calls by their shape
    u8* whole;      // whether it names everything it refers to
    u32* edges;     // the others it refers to, each one's in a run
    u32* edge_first;
    u32 edge_count;
    u32 edge_capacity;
} fingerprint;

static bool readable(const image_layout* layout, u64 address, u64 bytes) {
    for (u32 i = 0; i < layout->mapped_count; ++i) {
        const image_range* range = &layout->mapped[i];
        if (address >= range->start && address < range->end && bytes <= range->end - address) {
            return true;
        }
    }
    return false;
}

static bool in_ranges(const image_range* ranges, u32 count, u64 address) {
    for (u32 i = 0; i < count; ++i) {
        if (address >= ranges[i].start && address < ranges[i].end) {
            return true;
        }
    }
    return false;
}

static u64 read_word(u64 address) {
    u64 value;
    memcpy(&value, (const void*)address, sizeof(value));
    return value;
}

static void add_edge(fingerprint* f, u32 callee) {
    if (f->edge_count == f->edge_capacity) {
        u32 grown = f->edge_capacity ? f->edge_capacity * 2 : 256;
        u32* moved = (u32*)realloc(f->edges, grown * sizeof(u32));
        if (!moved) {
            return;  // the hash then names it by shape alone
        }
        f->edges = moved;
        f->edge_capacity = grown;
    }
    f->edges[f->edge_count++] = callee;
}

// A jump table of the function [start, end) at table: entries relative to
// the table or absolute, each leading inside it. The places they lead to,
// or 0 when it is none.
static u64 jump_table(const image_layout* layout, u64 table, u64 start, u64 end) {
    u64 hash = 0;
    for (u32 i = 0; i < TABLE_MOST && readable(layout, table + 4 * (u64)i, 4); ++i) {
        i32 entry;
        memcpy(&entry, (const void*)(table + 4 * (u64)i), 4);
        u64 to = table + (u64)(i64)entry;
        if (to < start || to >= end) {
            break;
        }
        hash = mix(hash ? hash : 0x7AB1E, to - start);
    }
    for (u32 i = 0; !hash && i < TABLE_MOST && readable(layout, table + 8 * (u64)i, 8); ++i) {
        u64 to = read_word(table + 8 * (u64)i);
        if (to < start || to >= end) {
            break;
        }
        hash = mix(hash ? hash : 0xAB5, to - start);
    }
    return hash;
}

// A PLT stub at address ("endbr64; bnd jmp *slot(%rip)"): its slot, or 0.
static u64 stub_slot(const image_layout* layout, u64 address) {
    if (!readable(layout, address, 16)) {
        return 0;
    }
    const u8* at = (const u8*)address;
    if (at[0] == 0xF3 && at[1] == 0x0F && at[2] == 0x1E && at[3] == 0xFA) {
        at += 4;
    }
    at += at[0] == 0xF2;
    if (at[0] != 0xFF || at[1] != 0x25) {
        return 0;
    }
    i32 displacement;
    memcpy(&displacement, at + 2, 4);
    return (u64)at + 6 + (u64)(i64)displacement;
}

// What lies at target, referred to from the function at [start, end): a
// number to hash; *whole cleared when it can't be named for sure.
static u64 referred(fingerprint* f, u64 start, u64 end, u64 target, u32 depth, bool* whole) {
    const image_layout* layout = f->layout;
    if (target >= start && target < end) {
        return mix(1, target - start);
    }
    const image_symbol* symbol = image_symbol_at(layout, target);
    if (symbol) {
        u64 offset = target - symbol->address;
        u32 index = (u32)(symbol - layout->symbols);
        if (f->place[index] != ~0u) {
            add_edge(f, f->place[index]);
        } else if (symbol->flags & IMAGE_COUNTED) {
            *whole = false;  // an object whose name counts: its shape says too little
        }
        return mix(mix(2, symbol->key_hash), offset);
    }
    if (in_ranges(layout->strings, layout->string_count, target)) {
        u64 hash = 3;
        for (u32 i = 0; i < STRING_MOST && readable(layout, target + i, 1); ++i) {
            u8 c = *(const u8*)(target + i);
            hash = mix(hash, c);
            if (!c) {
                return hash;
            }
        }
        *whole = false;
        return hash;
    }
    u64 slot = depth == 0 ? stub_slot(layout, target) : 0;
    if (slot && readable(layout, slot, 8)) {
        return mix(4, referred(f, start, end, read_word(slot), depth + 1, whole));
    }
    if (!readable(layout, target, 8)) {
        if (target - layout->base >= layout->size) {
            return mix(5, target);  // another library's: where it is, the same for every build
        }
        *whole = false;
        return 6;
    }
    u64 table = jump_table(layout, target, start, end);
    if (table) {
        return table;
    }
    u64 value = read_word(target);
    if (depth == 0 && value - layout->base < layout->size) {
        // A GOT entry, or a PE reference pointer: what it points at.
        return mix(7, referred(f, start, end, value, depth + 1, whole));
    }
    if (in_ranges(layout->read_only, layout->read_only_count, target)) {
        *whole = false;  // a constant of a size the hash can't know
    }
    return mix(8, value);
}

// One function's own hash: its instructions without the addresses they
// name, and what lies there instead; trailing padding left out.
static u64 own_code(fingerprint* f, u32 self, bool* whole) {
    const image_symbol* symbol = &f->layout->symbols[f->counted[self]];
    u64 start = symbol->address, end = start + symbol->size;
    *whole = true;
    if (!symbol->size || !readable(f->layout, start, symbol->size)) {
        *whole = false;
        return mix(9, symbol->key_hash);
    }
    u64 hash = IMAGE_HASH_SEED, kept = hash;
    u32 edges_kept = f->edge_count;
    for (u64 at = start; at < end;) {
        code_instruction instruction;
        const u8* bytes = (const u8*)at;
        if (!code_decode(bytes, end - at, &instruction)) {
            // Not one this decoder knows: the rest as it lies.
            *whole = false;
            for (; at < end; ++at) {
                hash = (hash ^ *(const u8*)at) * 0x100000001B3ull;
            }
            kept = hash;
            edges_kept = f->edge_count;
            break;
        }
        for (u32 i = 0; i < instruction.length; ++i) {
            bool displacement = instruction.target_at && i >= instruction.target_at &&
                                i < instruction.target_at + instruction.target_size;
            hash = (hash ^ (displacement ? 0x100u : bytes[i])) * 0x100000001B3ull;
        }
        if (instruction.target_at) {
            i64 displacement = 0;
            if (instruction.target_size == 1) {
                displacement = (i8)bytes[instruction.target_at];
            } else {
                i32 wide;
                memcpy(&wide, bytes + instruction.target_at, 4);
                displacement = wide;
            }
            u64 target = at + instruction.length + (u64)displacement;
            hash = mix(hash, referred(f, start, end, target, 0, whole));
        }
        at += instruction.length;
        if (!instruction.padding) {
            kept = hash;
            edges_kept = f->edge_count;
        }
    }
    f->edge_count = edges_kept;
    return kept;
}

static void free_fingerprint(fingerprint* f) {
    free(f->counted);
    free(f->place);
    free(f->own);
    free(f->whole);
    free(f->edges);
    free(f->edge_first);
}

void code_fingerprint(image_layout* layout) {
    fingerprint f;
    memset(&f, 0, sizeof(f));
    f.layout = layout;
    for (u32 i = 0; i < layout->symbol_count; ++i) {
        const image_symbol* symbol = &layout->symbols[i];
        f.count += symbol->kind == IMAGE_CODE && (symbol->flags & IMAGE_COUNTED);
    }
    if (!f.count) {
        return;
    }
    f.counted = (u32*)malloc(f.count * sizeof(u32));
    f.place = (u32*)malloc(layout->symbol_count * sizeof(u32));
    f.own = (u64*)calloc(2 * (u64)f.count, sizeof(u64));
    f.whole = (u8*)calloc(2 * (u64)f.count, 1);
    f.edge_first = (u32*)calloc((u64)f.count + 1, sizeof(u32));
    if (!f.counted || !f.place || !f.own || !f.whole || !f.edge_first) {
        // Without its hash a function still has its shape: it matches only
        // where it is the one of that shape on both sides.
        free_fingerprint(&f);
        return;
    }
    u32 count = 0;
    for (u32 i = 0; i < layout->symbol_count; ++i) {
        const image_symbol* symbol = &layout->symbols[i];
        bool counted = symbol->kind == IMAGE_CODE && (symbol->flags & IMAGE_COUNTED);
        f.place[i] = counted ? count : ~0u;
        if (counted) {
            f.counted[count++] = i;
        }
    }
    for (u32 i = 0; i < f.count; ++i) {
        bool whole = true;
        f.edge_first[i] = f.edge_count;
        f.own[i] = own_code(&f, i, &whole);
        f.whole[i] = whole;
    }
    f.edge_first[f.count] = f.edge_count;
    // Rounds: each takes in the codes of those it calls, a step further.
    u64* hashes = f.own + f.count;
    u8* wholes = f.whole + f.count;
    memcpy(hashes, f.own, f.count * sizeof(u64));
    memcpy(wholes, f.whole, f.count);
    u64* next = (u64*)malloc(f.count * sizeof(u64));
    u8* next_whole = (u8*)malloc(f.count);
    for (u32 round = 0; next && next_whole && round < ROUNDS; ++round) {
        for (u32 i = 0; i < f.count; ++i) {
            u64 hash = f.own[i];
            u8 whole = f.whole[i];
            for (u32 e = f.edge_first[i]; e < f.edge_first[i + 1]; ++e) {
                hash = mix(hash, hashes[f.edges[e]]);
                whole &= wholes[f.edges[e]];
            }
            next[i] = hash;
            next_whole[i] = whole;
        }
        memcpy(hashes, next, f.count * sizeof(u64));
        memcpy(wholes, next_whole, f.count);
    }
    bool rounds_done = next && next_whole;
    for (u32 i = 0; i < f.count; ++i) {
        image_symbol* symbol = &layout->symbols[f.counted[i]];
        symbol->code_hash = hashes[i] | 1;
        if (wholes[i] && rounds_done) {
            symbol->flags |= IMAGE_WHOLE_CODE;
        }
    }
    free(next);
    free(next_whole);
    free_fingerprint(&f);
}
