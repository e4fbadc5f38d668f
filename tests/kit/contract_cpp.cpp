// Everything a module may include, together in one C++ file, as a C++ module
// compiles it.
#include "engine/base/arena.h"
#include "engine/base/format.h"
#include "engine/base/memory.h"
#include "engine/base/number.h"
#include "engine/base/path.h"
#include "engine/base/text.h"
#include "engine/module.h"
