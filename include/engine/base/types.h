// Fixed-size type words used across the host, the services and modules.
#ifndef ENGINE_BASE_TYPES_H
#define ENGINE_BASE_TYPES_H

#include <stddef.h>
#include <stdint.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t i8;
typedef int16_t i16;
typedef int32_t i32;
typedef int64_t i64;
typedef float f32;
typedef double f64;
// Non-zero on success, as the operating system reports it.
typedef uint32_t bool32;

// Pins a byte layout shared with separately built modules, in C99 as in C++:
// a compiler that lays a record out differently stops the build instead of
// corrupting data. The name must be unique within its header.
#define LAYOUT_JOIN_(a, b) a##b
#define LAYOUT_JOIN(a, b) LAYOUT_JOIN_(a, b)
#ifdef __cplusplus
#define LAYOUT_PIN(name, condition) static_assert(condition, #condition)
#else
#define LAYOUT_PIN(name, condition) \
    typedef char LAYOUT_JOIN(layout_pin_, name)[(condition) ? 1 : -1]
#endif

#endif
