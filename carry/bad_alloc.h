// What C++ asks of operator new when nothing is left (allocator_linux.cpp):
// the new handler is called (std::set_new_handler), and without one the
// throwing forms throw std::bad_alloc. The host's code is built without
// exceptions; these two are the only code of its own that throws or
// catches one (bad_alloc.cpp, built with exceptions).
#ifndef CARRY_BAD_ALLOC_H
#define CARRY_BAD_ALLOC_H

#include <new>

#include "engine/base/types.h"

// Throws std::bad_alloc to operator new's caller.
[[noreturn]] void allocator_throw_bad_alloc(void);

// Calls the handler for a nothrow form: 0 when it threw std::bad_alloc, so
// the form returns null instead.
bool32 allocator_call_new_handler(std::new_handler handler);

#endif
