// The type graph's reader on arbitrary debug sections: the input is six
// little-endian 32-bit sizes (.debug_info, .debug_abbrev, .debug_str,
// .debug_line_str, .debug_addr, .debug_str_offsets), then the sections'
// bytes one after another, each copied into a block of exactly its size so
// that a read past one is a read past the block.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "carry/types.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 24) {
        return 0;
    }
    u8* bytes[6] = {NULL};
    u64 sizes[6] = {0};
    size_t at = 24;
    for (u32 k = 0; k < 6; ++k) {
        u32 wanted;
        memcpy(&wanted, data + 4 * k, 4);
        sizes[k] = wanted < size - at ? wanted : size - at;
        bytes[k] = sizes[k] ? (u8*)malloc(sizes[k]) : NULL;
        if (bytes[k]) {
            memcpy(bytes[k], data + at, sizes[k]);
        }
        at += sizes[k];
    }
    dwarf_sections sections = {bytes[0], sizes[0], bytes[1], sizes[1], bytes[2], sizes[2],
                               bytes[3], sizes[3], bytes[4], sizes[4], bytes[5], sizes[5]};
    type_graph graph;
    if (types_read(&sections, &graph)) {
        // What a reader of the graph relies on.
        for (u32 i = 0; i < graph.type_count; ++i) {
            const type_info* t = &graph.types[i];
            if (t->name >= graph.names_size || t->shown >= graph.names_size ||
                (t->target != TYPE_NONE && t->target >= graph.type_count) ||
                (u64)t->first_member + t->member_count > graph.member_count) {
                abort();
            }
            bool32 several;
            if (types_named(&graph, types_name(&graph, t->name), &several) == TYPE_NONE &&
                t->kind != TYPE_POINTER && t->kind != TYPE_ARRAY && t->kind != TYPE_FUNCTION) {
                abort();
            }
        }
        for (u32 i = 0; i < graph.member_count; ++i) {
            const type_member* m = &graph.members[i];
            if (m->name >= graph.names_size ||
                (m->type != TYPE_NONE && m->type >= graph.type_count)) {
                abort();
            }
        }
        for (u32 i = 0; i < graph.global_count; ++i) {
            if (types_global_at(&graph, graph.globals[i].address) == TYPE_NONE &&
                graph.globals[i].type != TYPE_NONE) {
                abort();
            }
        }
    } else if (graph.types || graph.type_count) {
        abort();
    }
    types_free(&graph);
    for (u32 k = 0; k < 6; ++k) {
        free(bytes[k]);
    }
    return 0;
}
