// What a function is apart from where it lies, for the functions whose
// names count (image.h: lambdas, blocks, the compilers' numbered clones):
// its x86-64 instructions with every address they name replaced by what
// lies there. A call or jump to another function or a load of a global
// counts by that one's name (and, for another whose name counts, by its own
// code, worked out in rounds); a string by its text; a jump table by where
// its entries lead inside the function; a load through the GOT, a PLT stub
// or a PE import slot by what the slot holds. Both systems' readers call it
// once the symbols are in.
#ifndef CARRY_CODE_H
#define CARRY_CODE_H

#include "carry/image.h"

typedef struct code_instruction {
    u32 length;       // bytes; 0 when it can't be decoded
    u32 target_at;    // offset of a displacement from the next instruction (a
                      // branch's, or a RIP-relative operand's); 0 for none
    u32 target_size;  // its bytes: 1 or 4
    bool32 padding;   // a no-op or a trap that only fills space
} code_instruction;

// Decodes the instruction at code, reading at most available bytes; false
// (length 0) when it is none this decoder knows or runs past them.
bool32 code_decode(const u8* code, u64 available, code_instruction* out);

// Sets code_hash, and IMAGE_WHOLE_CODE where it names everything it refers
// to, for every function of the layout whose name counts. Reads only what
// layout->mapped says is there.
void code_fingerprint(image_layout* layout);

#endif
