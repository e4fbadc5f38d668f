/* Zeros in the middle of the kept table, as MSVC's linker leaves between the
 * parts that objects bring when it pads them (incremental linking): lld-link
 * packs them tightly, so this object, linked between the two halves, puts a
 * word of zeros there itself. The host must find the entries on either side. */
#include "engine/keep.h"

__attribute__((used)) __declspec(allocate("engkept$m")) static const u64 linker_padding = 0;
