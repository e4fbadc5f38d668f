// Everything a module may include, together in one C++ file, as a C++ module
// compiles it.
#include "base/arena.h"
#include "base/format.h"
#include "base/memory.h"
#include "base/number.h"
#include "base/path.h"
#include "base/text.h"
#include "host/module.h"
