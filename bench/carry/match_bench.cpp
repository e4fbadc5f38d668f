// Where a reload takes each function and object of one build in the next,
// by the rule image_find keeps (shapes, paths, code): loads two builds of a
// whole-state module side by side and prints, for every function whose
// name counts and every kept object, the one it finds. bench/carry/
// match_edits.py builds the edits and checks these lines against what each
// one really is; a figure, not a test.
//
// Usage: match_bench OLD_MODULE NEW_MODULE
// Lines: "function OLD_KEY -> NEW_KEY (how)" or "-> removed", "-> unsure",
// how being "code" (the one of its code), "alike" (one of several of the
// same whole code), "left" (the one of its shape left over) or "name"; then
// "object OLD_KEY -> NEW_KEY | removed | unsure", "kept N of M objects",
// "counted F functions, W of them with whole code".
#include <stdio.h>
#include <string.h>

#include "carry/image.h"
#include "host/os.h"

static bool read(const char* path, void** library, image_layout* layout) {
    char reason[256];
    *library = library_load(path, reason, sizeof(reason));
    if (!*library) {
        fprintf(stderr, "%s: %s\n", path, reason);
        return false;
    }
    if (!image_read(*library, path, layout) || layout->problem[0] || !layout->keeps_all) {
        fprintf(stderr, "%s: %s\n", path,
                layout->problem[0] ? layout->problem : "keeps no whole state");
        return false;
    }
    return true;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: match_bench OLD_MODULE NEW_MODULE\n");
        return 2;
    }
    void* libraries[2];
    image_layout layouts[2];
    if (!read(argv[1], &libraries[0], &layouts[0]) || !read(argv[2], &libraries[1], &layouts[1])) {
        return 1;
    }
    const image_layout* from = &layouts[0];
    const image_layout* to = &layouts[1];
    u32 kept = 0, objects = 0, counted = 0, whole = 0;
    for (u32 i = 0; i < from->symbol_count; ++i) {
        const image_symbol* old = &from->symbols[i];
        bool function = old->kind == IMAGE_CODE && (old->flags & IMAGE_COUNTED);
        if (!function && old->kind != IMAGE_KEPT) {
            continue;
        }
        bool32 twice = 0;
        const image_symbol* now = image_find(to, old, from, &twice);
        const char* found = twice ? "unsure" : now ? image_key(to, now) : "removed";
        const char* how = "";
        if (function && now && !twice) {
            u32 same = 0;
            for (u32 k = 0; k < to->symbol_count; ++k) {
                same += to->symbols[k].code_hash == old->code_hash;
            }
            how = same == 0 ? " (left)" : same == 1 ? " (code)" : " (alike)";
        }
        printf("%s %s -> %s%s\n", function ? "function" : "object", image_key(from, old), found,
               how);
        if (function) {
            counted += 1;
            whole += (old->flags & IMAGE_WHOLE_CODE) != 0;
        } else {
            objects += 1;
            kept += now && !twice && now->size == old->size;
        }
    }
    printf("kept %u of %u objects\n", kept, objects);
    printf("counted %u functions, %u of them with whole code\n", counted, whole);
    image_free(&layouts[0]);
    image_free(&layouts[1]);
    return 0;
}
