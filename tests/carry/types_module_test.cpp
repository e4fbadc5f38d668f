// The type graph of the host's whole-state test module, read from its file
// by each system's reader (ELF on Linux, PE under Wine): its two objects'
// types at the addresses its symbols give.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "carry/image.h"
#include "carry/types.h"
#include "host/os.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

namespace {

// How far the loader moved the image from where it was linked to lie:
// the DWARF's addresses are the linked ones.
u64 load_bias(void* library, const image_layout* layout) {
#ifdef _WIN32
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)library;
    const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)((u8*)library + dos->e_lfanew);
    return layout->base - nt->OptionalHeader.ImageBase;
#else
    (void)layout;
    struct link_map* map = NULL;
    EXPECT_EQ(dlinfo(library, RTLD_DI_LINKMAP, &map), 0);
    return map ? map->l_addr : 0;
#endif
}

u64 dwarf_address(const image_layout* layout, void* library, const char* name) {
    for (u32 i = 0; i < layout->symbol_count; ++i) {
        std::string key = image_key(layout, &layout->symbols[i]);
        if (key == name || (key.size() > strlen(name) && key.compare(key.size() - strlen(name) - 1,
                                                                     std::string::npos,
                                                                     std::string(":") + name) == 0)) {
            return layout->symbols[i].address - load_bias(library, layout);
        }
    }
    ADD_FAILURE() << "no symbol " << name;
    return 0;
}

TEST(TypesReadFile, TheWholeStateModulesObjects) {
    char reason[128];
    void* library = library_load(TEST_MODULE_WHOLE, reason, sizeof(reason));
    ASSERT_NE(library, nullptr) << reason;
    image_layout layout;
    ASSERT_TRUE(image_read(library, TEST_MODULE_WHOLE, &layout)) << layout.problem;
    type_graph g;
    ASSERT_TRUE(types_read_file(TEST_MODULE_WHOLE, &g));
    u32 number = types_global_at(&g, dwarf_address(&layout, library, "kept_number"));
    ASSERT_NE(number, TYPE_NONE);
    EXPECT_STREQ(types_name(&g, g.types[number].name), "int");
    EXPECT_EQ(g.types[number].kind, (u32)TYPE_INTEGER);
    EXPECT_EQ(g.types[number].flags, TYPE_SIGNED);
    EXPECT_EQ(g.types[number].size, 4u);
    u32 noted = types_global_at(&g, dwarf_address(&layout, library, "noted"));
    ASSERT_NE(noted, TYPE_NONE);
    EXPECT_STREQ(types_name(&g, g.types[noted].name), "lifecycle");
    EXPECT_EQ(g.types[noted].kind, (u32)TYPE_RECORD);
    EXPECT_EQ(g.types[noted].size, 1u);
    EXPECT_EQ(types_named(&g, "lifecycle", NULL), noted);
    types_free(&g);
    image_free(&layout);
    library_free(library);
    EXPECT_FALSE(types_read_file(TEST_MODULE_WHOLE ".missing", &g));
}

}  // namespace
