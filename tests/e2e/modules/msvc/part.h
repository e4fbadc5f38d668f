/* What the C++ part of the MSVC-built module offers its C part. */
#ifndef TESTS_E2E_MODULES_MSVC_PART_H
#define TESTS_E2E_MODULES_MSVC_PART_H

#include "engine/module.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Presses of A since the host started, kept across reloads. */
u64 count_presses(const input_state* input);

/* The colour a version fills the window with. */
u32 part_colour(u32 version);

#ifdef __cplusplus
}
#endif

#endif
