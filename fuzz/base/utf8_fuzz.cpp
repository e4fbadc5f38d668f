// decode_utf8 and the text operations over arbitrary bytes. The text sits at
// the very end of its allocation, so any read past the terminator trips the
// address sanitizer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "engine/base/text.h"

// The decoder's rules, written out plainly: what one sequence must decode to.
static uint64_t expected_decode(const uint8_t* p, uint32_t* out) {
    uint8_t lead = p[0];
    uint32_t extra;
    uint32_t code;
    if (lead < 0x80) {
        *out = lead;
        return 1;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
        extra = 3;
        code = lead & 0x07;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        code = lead & 0x0F;
    } else if (lead >= 0xC0 && lead <= 0xDF) {
        extra = 1;
        code = lead & 0x1F;
    } else {
        *out = UTF8_REPLACEMENT;
        return 1;
    }
    for (uint32_t i = 1; i <= extra; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) {
            *out = UTF8_REPLACEMENT;
            return 1;
        }
        code = code << 6 | (p[i] & 0x3F);
    }
    *out = code;
    return extra + 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    char* text = (char*)malloc(size + 1);
    memcpy(text, data, size);
    text[size] = 0;
    uint32_t length = text_length(text);

    for (uint32_t at = 0; at < length;) {
        uint32_t code = 0, want = 0;
        uint64_t consumed = decode_utf8(text + at, &code);
        uint64_t expected = expected_decode((const uint8_t*)text + at, &want);
        if (consumed != expected || code != want) abort();
        if (at + consumed > length) abort();  // never past the terminator
        at += (uint32_t)consumed;
    }

    if (text_hash(text) == 0) abort();
    uint32_t lines = count_lines(text, length);
    if (length > 0 && lines == 0) abort();
    for (uint32_t pos = 0; pos < length; pos += 1 + length / 16) {
        uint32_t start = line_start(text, pos);
        uint32_t end = line_end(text, pos);
        if (start > pos || end < pos || end >= length) abort();
    }
    if (length > 1) {
        // A piece of the middle, searched for in the whole text.
        uint32_t middle = length / 2;
        uint32_t piece = length - middle < 8 ? length - middle : 8;
        char pattern[9];
        memcpy(pattern, text + middle, piece);
        pattern[piece] = 0;
        uint32_t found = find_text(pattern, text);
        if (found == TEXT_NOT_FOUND || found > middle) abort();
        if (memcmp(text + found, pattern, piece) != 0) abort();
    }
    blank_carriage_returns(text);
    if (memchr(text, 13, length)) abort();
    free(text);
    return 0;
}
