// The x86-64 alignment-check flag (RFLAGS.AC). User code may set it; where
// the system turns alignment checking on (Linux, and Wine on it), every
// misaligned access then faults. The module's setting is its own: the host
// clears it as soon as the module's call returns or faults, before its own
// code (which copies unaligned freely) runs.
#ifndef GUARD_ALIGNMENT_CHECK_H
#define GUARD_ALIGNMENT_CHECK_H

#define EFLAGS_ALIGNMENT_CHECK 0x40000ull

static inline void clear_alignment_check(void) {
    __asm__ volatile("pushfq\n\tandq %0, (%%rsp)\n\tpopfq"
                     :
                     : "i"(~EFLAGS_ALIGNMENT_CHECK)
                     : "memory", "cc");
}

// The first instructions of a fault handler, as assembly text: the flag
// cleared without touching memory unaligned (the push is to the aligned
// stack), then a jump to the handler proper, whose arguments are untouched.
#define ALIGNMENT_CHECK_TRAMPOLINE(handler) \
    "    pushfq\n"                                \
    "    andq $~0x40000, (%rsp)\n"                \
    "    popfq\n"                                 \
    "    jmp " handler "\n"

#endif
