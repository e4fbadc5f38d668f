// Fixed-size type words used across the host, the services and modules.
#ifndef BASE_TYPES_H
#define BASE_TYPES_H

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

#endif
