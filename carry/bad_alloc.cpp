#include "carry/bad_alloc.h"

void allocator_throw_bad_alloc(void) { throw std::bad_alloc(); }

bool32 allocator_call_new_handler(std::new_handler handler) {
    try {
        handler();
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}
