// Kept variables: a module's global or static variable that keeps its value
// across reloads, loops and the undo of a faulting frame, by the module's
// choice. Mark it where it is defined, with its initializer last:
//
//     static ENGINE_KEEP(int, score, 0);
//     ENGINE_KEEP(player_state, player, {0});          // a global
//     void f(void) { static ENGINE_KEEP(float, t, 0.5f); ... }
//
// `type` is one type name (use a typedef for arrays and pointers to
// functions) and `name` an identifier. Each kept variable is described in a
// table in the library (the section "engkept") by its key, "<file>:<name>"
// as the compiler spells the file, its size and its address; the host reads
// the table, so nothing is exported per variable.
//
// What the host does with them:
//  - Before a build is unloaded it copies their bytes out; after the next
//    build is loaded, before its first entry, it copies them into that
//    build's variables whose key and size match. A variable that is new,
//    whose size changed, or whose key is not unique starts from its
//    initializer; one line on standard error and a title note say what was
//    kept and what started afresh, by name: "kept 12 variables; player
//    changed size and starts afresh".
//  - Pointers into the old build's image would dangle. Every aligned
//    8-byte word of a kept value that points into the old image is checked:
//    one that points into a kept variable is moved to that variable's new
//    address; any other (a function, a string literal, another static)
//    makes its variable start afresh, named in the message. Pointers hidden
//    in other forms (unaligned, offset, packed into smaller fields, or
//    pointing just past a variable) can't be told apart from numbers and are
//    copied as they are.
//  - The undo of a faulting frame puts them back as the frame found them,
//    and a rollback gives the previous build those values; loop editing puts them back with the module's blocks at every
//    round, and --hashes covers them.
// Large or pointer-rich state is still better kept behind the slot, in
// blocks from allocate_memory, where no copy or check is needed.
#ifndef ENGINE_KEEP_H
#define ENGINE_KEEP_H

#include "engine/base/types.h"

// One kept variable, as the table holds it. The host reads it only.
typedef struct engine_kept {
    const char* key;  // "<file>:<name>"
    void* address;
    u64 size;
} engine_kept;

LAYOUT_PIN(engine_kept_size, sizeof(engine_kept) == 24);

#define ENGINE_KEPT_SECTION "engkept"

// The table's entries go in one named section of the image.
// - MSVC's dialect (cl, clang-cl, clang's MSVC target: _MSC_VER): in the
//   grouped section "engkept$m", which the linker merges with every other
//   object's into the section "engkept", ordered by what follows the "$",
//   so the table lies in one place; the linker may put zeros between the
//   objects' parts, which the host passes over. cl has no way to mark an
//   unreferenced entry as used (clang's `used` is added where it exists);
//   whole-program optimisation with /OPT:REF may drop entries, and then
//   their variables start afresh at each reload.
// - GCC and clang: the section "engkept" itself.
#if defined(_MSC_VER)
#pragma section("engkept$m", read)
#if defined(__clang__)
#define ENGINE_KEPT_USED_ __attribute__((used))
#else
#define ENGINE_KEPT_USED_
#endif
#define ENGINE_KEPT_TABLE ENGINE_KEPT_USED_ __declspec(allocate("engkept$m")) __declspec(align(8))
#elif defined(__GNUC__) || defined(__clang__)
#define ENGINE_KEPT_TABLE __attribute__((used, section(ENGINE_KEPT_SECTION), aligned(8)))
#else
#error "ENGINE_KEEP needs a compiler that places data in a named section (MSVC, GCC, clang)"
#endif

#define ENGINE_KEEP(type, name, ...)                                               \
    type name = __VA_ARGS__;                                                       \
    ENGINE_KEPT_TABLE static const engine_kept engine_kept_##name = {              \
        __FILE__ ":" #name, (void*)&name, sizeof(name)}

// Whole state: `ENGINE_KEEP_ALL;` at file scope in any one source file of
// the module (more than one is harmless) keeps every global and static
// variable of the module, and everything it allocates with malloc, calloc,
// realloc, strdup, new and their family, across reloads, rollbacks, the
// undo of a faulting frame and loop editing, as if the program had never
// stopped:
//  - Variables are matched by name, a file's static and a function's static
//    by the name of the file that defines them (two files of one name by
//    their folders), so a build from another folder keeps them too. One
//    whose size or type layout changed
//    (read from the build's debug information) starts from the new build's
//    initializer, as does a new one; one the new build lacks is dropped. One
//    line on standard error and the title say so by name: "kept 2,143
//    variables; 2 start afresh: player (its type changed), cache (changed
//    size)".
//  - The module's allocations come from a heap the host keeps (at the same
//    addresses in every run); what the C library allocates for itself (a
//    FILE, getline's buffer) stays the system's.
//  - Every aligned pointer into the old build found in the variables, the
//    heap, the blocks and the slot is moved to the same object, function or
//    string in the new build. One that can't be (its object or function is
//    gone) is named; a call through a pointer to a removed function is a
//    fault named "call of a function the reload removed: name". Lambdas and
//    the compilers' numbered clones are matched by what they are (their
//    enclosing function, signature and code), never by their number; one
//    that can't be told apart from another of its kind is named likewise:
//    "call of a function the reload can't tell apart: name".
//  - Static destructors and atexit handlers of a build are not run when it
//    goes: the objects they would destroy live on in the next build.
//  - A new build waits while threads the running build started still run:
//    they would run on in code the reload removes.
// The build needs its symbols and debug information (as every debug build
// has); without them it starts afresh at each reload, said in the title.
#define ENGINE_KEEP_ALL_SECTION "engall"
#if defined(_MSC_VER) && !defined(__clang__)
#pragma section("engall", read)
#define ENGINE_KEEP_ALL \
    __declspec(allocate("engall")) static const char engine_keep_all_marker = 1
#else
#define ENGINE_KEEP_ALL                                                        \
    __attribute__((used, section(ENGINE_KEEP_ALL_SECTION))) static const char \
        engine_keep_all_marker = 1
#endif

#endif
