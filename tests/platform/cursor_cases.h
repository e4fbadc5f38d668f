// Cursor coordinates the module may pass: far, tiny, infinite and NaN, each
// with the truncation the services make of it.
#ifndef TESTS_PLATFORM_CURSOR_CASES_H
#define TESTS_PLATFORM_CURSOR_CASES_H

#include <math.h>
#include <stdint.h>

#include "engine/base/types.h"

static const f32 cursor_inputs[] = {10.9f, -10.9f, 0.5f, -0.0f, 1e-40f, -1e-45f, 1.0f,
                                    15000000.0f, 2147483520.0f, 2147483648.0f,
                                    -2147483648.0f, -3e9f, INFINITY, -INFINITY, NAN};
static const i32 cursor_truncated[] = {10, -10, 0, 0, 0, 0, 1, 15000000, 2147483520,
                                       INT32_MAX, INT32_MIN, INT32_MIN, INT32_MAX,
                                       INT32_MIN, 0};
static const u32 cursor_case_count = sizeof(cursor_inputs) / sizeof(cursor_inputs[0]);
static_assert(sizeof(cursor_truncated) / sizeof(cursor_truncated[0]) == cursor_case_count,
              "one truncation per input");

#endif
