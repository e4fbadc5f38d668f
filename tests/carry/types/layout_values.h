/* One record in two builds (LAYOUT_BUILD 1 and 2), every kind of member
   change a reload converts: widened and narrowed integers, float and
   double, bit-fields, an array that grows, a nested record that gains a
   member, an enum and a bool that become int, members removed, added and
   moved. Included twice by the test, once per build: no include guard. */
#include <stdbool.h>
#include <stdint.h>

enum LAYOUT_NAME(mood) { CALM, ANGRY = 300 };

struct LAYOUT_NAME(inner) {
    short a;
#if LAYOUT_BUILD == 2
    int added;
#endif
    float f;
};

struct LAYOUT_NAME(record) {
#if LAYOUT_BUILD == 1
    int32_t widen;
    int64_t narrow_fits;
    int64_t narrow_big;
    int32_t negative;
    float to_double;
    double to_float;
    unsigned flags : 3;
    unsigned wide_bits : 7;
    int removed;
    int items[4];
    struct LAYOUT_NAME(inner) in;
    enum LAYOUT_NAME(mood) mood;
    bool yes;
    char name[8];
    struct LAYOUT_NAME(record)* self;
#else
    char name[8];  /* moved first */
    int64_t widen;
    int16_t narrow_fits;
    int16_t narrow_big;
    int8_t negative;
    double to_double;
    float to_float;
    unsigned flags : 5;
    unsigned wide_bits : 2;
    long added;
    int items[6];
    struct LAYOUT_NAME(inner) in;
    int mood;
    int yes;
    struct LAYOUT_NAME(record)* self;
#endif
};
