// whole_module.c's allocation benchmark through C++'s new[] and delete[],
// as the module's own code runs it: the same sizes, the same order.
#include "engine/module.h"

ENTRY_EXPORT u64 churn_new(u32 rounds) {
    char* held[1000];
    u64 sum = 0;
    for (u32 round = 0; round < rounds; ++round) {
        for (u32 i = 0; i < 1000; ++i) {
            held[i] = new char[16 + (i * 37) % 497];
            sum += (u64)held[i] & 0xFF;
        }
        for (u32 i = 0; i < 1000; i += 2) {
            delete[] held[i];
        }
        for (u32 i = 1; i < 1000; i += 2) {
            delete[] held[i];
        }
    }
    return sum;
}
