// A C++ test module that keeps its whole state (ENGINE_KEEP_ALL) and says
// what it does in "frames.log": its heap holds a pointer to a C++ function
// with a linkage name, game::probe, and a return address it never reads
// again; two of its files have a static of one name, plr, and it has more
// statics than a title names.
//
// Builds (NAMER_VERSION): 1 has game::probe; 2 lacks it, and its statics
// all change size, and on its 60th frame it calls through the pointer the
// state holds (a fault, undone: the previous build goes on).
#ifndef NAMER_H
#define NAMER_H

#include "engine/base/types.h"

#if NAMER_VERSION == 1
#define NAMER_STATIC_SIZE 4
#else
#define NAMER_STATIC_SIZE 8
#endif

// The other file's statics, stepped once a frame.
void namer_other_step(u64 frame);

#endif
