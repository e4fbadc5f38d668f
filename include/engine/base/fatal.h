// The one fatal-stop mechanism: a broken internal invariant ends the process
// at once, with no message. Never compiled out, whatever the build type.
#ifndef ENGINE_BASE_FATAL_H
#define ENGINE_BASE_FATAL_H

#if defined(_MSC_VER)
#define fatal_stop() __fastfail(7)
#else
#define fatal_stop() __builtin_trap()
#endif

// Stops the process when the condition is false.
#define fatal_assert(condition) \
    do {                        \
        if (!(condition)) {     \
            fatal_stop();       \
        }                       \
    } while (0)

#endif
