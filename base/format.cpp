#include "engine/base/format.h"

#include "engine/base/memory.h"
#include "engine/base/number.h"
#include "engine/base/text.h"

#include <string.h>

namespace {

const u32 NO_WIDTH = 0xFFFFFFFFu;
const u32 SCRATCH_SIZE = 256;
const u32 SCRATCH_TEXT_MAX = SCRATCH_SIZE - 1;

// The output buffer. `pos` is where the next character goes and may pass the
// capacity: what falls beyond it is dropped, never written and never read,
// so the bounded and the unbounded forms run the very same steps. Only the
// tabs dropped there are counted, for "tab:" to measure as if they were kept,
// and only when a "tab:" is still ahead in the format: a dropped slice may be
// gigabytes long. Once a "col:" has moved back over dropped output, that
// count may include tabs since overwritten or now beyond the position; a
// "tab:" then counts them exactly by replaying the call (see dropped_tabs).
struct window;
struct output {
    char* start;
    u64 capacity;
    u64 pos;
    u64 high;                    // the furthest position reached
    bool bounded;                // passed-over bytes read as zeros
    bool moved_back;             // a "col:" went back over dropped output
    u64 tabs_past;               // tabs written at or past the capacity
    int tabs_matter;             // -1 until the first drop, then 0 or 1
    const char* const* scan;     // the format still to read
    window* w;                   // in a replay: the dropped bytes it keeps
};

// A replay keeps the dropped bytes at [lo, lo + WINDOW_SIZE) and notes the
// first position past them where a tab was written, where the next window
// starts: stretches without tabs are skipped.
const u32 WINDOW_SIZE = 4096;
struct window {
    u64 lo;
    u64 next_tab;
    char bytes[WINDOW_SIZE];
};

void window_put(window* w, u64 at, const char* src, u64 n) {
    if (n == 0) return;  // `src` may then be null
    u64 hi = w->lo + WINDOW_SIZE;
    u64 a = at > w->lo ? at : w->lo;
    u64 b = at + n < hi ? at + n : hi;
    if (a < b) copy_bytes(w->bytes + (a - w->lo), src + (a - at), b - a);
    if (at + n > hi) {
        u64 from = at > hi ? at : hi;
        const char* t = (const char*)memchr(src + (from - at), '\t', (size_t)(at + n - from));
        if (t && at + (u64)(t - src) < w->next_tab) w->next_tab = at + (u64)(t - src);
    }
}

void window_fill(window* w, char c, u64 at, u64 n) {
    u64 hi = w->lo + WINDOW_SIZE;
    u64 a = at > w->lo ? at : w->lo;
    u64 b = at + n < hi ? at + n : hi;
    if (a < b) fill_bytes(w->bytes + (a - w->lo), (u8)c, b - a);
}

void count_dropped_tabs(output* o, const char* dropped, u64 n) {
    if (o->tabs_matter < 0) o->tabs_matter = find_text("tab:", *o->scan) != TEXT_NOT_FOUND;
    if (!o->tabs_matter) return;
    const char* end = dropped + n;
    for (const char* t = dropped; (t = (const char*)memchr(t, '\t', (size_t)(end - t))); ++t) {
        ++o->tabs_past;
    }
}

void out_advance(output* o, u64 n) {
    o->pos += n;
    if (o->pos > o->high) o->high = o->pos;
}

void out_put(output* o, const char* src, u64 n) {
    u64 kept = 0;
    if (o->pos < o->capacity) {
        u64 room = o->capacity - o->pos;
        kept = n < room ? n : room;
        copy_bytes(o->start + o->pos, src, kept);
    }
    if (kept < n) count_dropped_tabs(o, src + kept, n - kept);
    if (o->w) window_put(o->w, o->pos, src, n);
    out_advance(o, n);
}

void out_fill(output* o, char c, u64 n) {
    if (o->pos < o->capacity) {
        u64 room = o->capacity - o->pos;
        fast_fill(o->start + o->pos, (u8)c, n < room ? n : room);
    }
    if (o->w) window_fill(o->w, c, o->pos, n);
    out_advance(o, n);
}

// The zero byte that every written piece leaves behind it; it shows only
// where a later "col:" jumps past it, as a space.
void out_terminate(output* o) {
    if (o->pos < o->capacity) o->start[o->pos] = 0;
    if (o->w) window_fill(o->w, 0, o->pos, 1);
}

// "col:". The bounded form reads passed-over bytes as zeros, as if its
// buffer had been zero-filled; they are cleared only when first passed.
void out_move(output* o, u64 column) {
    if (column < o->high && o->high > o->capacity) o->moved_back = true;
    if (o->bounded && column > o->high && o->high < o->capacity) {
        u64 end = column < o->capacity ? column : o->capacity;
        fast_fill(o->start + o->high, 0, end - o->high);
    }
    o->pos = column;
    if (column > o->high) o->high = column;
}

// Columns from the output start to the output position, a tab counting 4,
// with `tabs_past` tabs between the capacity and the position.
u64 out_columns(const output* o, u64 tabs_past) {
    if (o->pos <= o->capacity) return text_columns(o->start, o->start + o->pos, 4);
    return text_columns(o->start, o->start + o->capacity, 4) + (o->pos - o->capacity) +
           3 * tabs_past;
}

// The final pass: zero bytes in the result become spaces, then the
// terminator, cut at the capacity.
u64 out_finish(output* o) {
    if (o->capacity == 0) return o->pos;
    char* start = o->start;
    char* end = start + (o->pos < o->capacity - 1 ? o->pos : o->capacity - 1);
    for (char* z = start; (z = (char*)memchr(z, 0, (size_t)(end - z))); ++z) *z = ' ';
    *end = 0;
    return o->pos;
}

// A placeholder's or group's text. Whatever would pass 255 characters is cut.
struct scratch {
    char bytes[SCRATCH_SIZE];
    u32 length;
};

void scratch_put(scratch* s, const char* src, u64 n) {
    u32 room = SCRATCH_TEXT_MAX - s->length;
    u32 k = n < room ? (u32)n : room;
    copy_bytes(s->bytes + s->length, src, k);
    s->length += k;
}

void scratch_fill(scratch* s, char c, u64 n) {
    u32 room = SCRATCH_TEXT_MAX - s->length;
    u32 k = n < room ? (u32)n : room;
    fill_bytes(s->bytes + s->length, (u8)c, k);
    s->length += k;
}

// Length of a text, but no more than `limit`; a null text is empty.
u64 text_length_up_to(const char* s, u64 limit) {
    if (!s) return 0;
    u64 n = 0;
    while (n < limit && s[n]) ++n;
    return n;
}

// --- Arguments by tag -----------------------------------------------------

enum arg_class { CLASS_NONE, CLASS_TEXT, CLASS_UNSIGNED, CLASS_SIGNED, CLASS_FLOAT };

arg_class class_of(const format_arg* a) {
    switch (a->type) {
    case FORMAT_ARG_TEXT: return CLASS_TEXT;
    case FORMAT_ARG_U32:
    case FORMAT_ARG_U64:
    case FORMAT_ARG_U8: return CLASS_UNSIGNED;
    case FORMAT_ARG_S32:
    case FORMAT_ARG_S64:
    case FORMAT_ARG_S8: return CLASS_SIGNED;
    case FORMAT_ARG_FLOAT: return CLASS_FLOAT;
    default: return CLASS_NONE;
    }
}

const char* arg_text(const format_arg* a) {
    return (const char*)(uintptr_t)a->value;
}

f32 arg_float(const format_arg* a) {
    f32 f;
    copy_bytes(&f, &a->value, sizeof f);
    return f;
}

// Room for the longest printed number: a float's 39 integer digits, sign,
// point and three decimals, and the terminator.
const u32 NUMBER_ROOM = 48;

// Prints a number argument into `dst`; texts and tagless arguments print
// nothing here (a text is read in place by the callers).
u32 print_number_arg(char* dst, const format_arg* a) {
    switch (class_of(a)) {
    case CLASS_UNSIGNED: return print_u64(dst, a->value);
    case CLASS_SIGNED: return print_s64(dst, (i64)a->value);
    case CLASS_FLOAT: return print_f32(dst, arg_float(a));
    default: dst[0] = 0; return 0;
    }
}

bool arg_is_negative(const format_arg* a) {
    switch (class_of(a)) {
    case CLASS_TEXT: return arg_text(a) && arg_text(a)[0] == '-';
    case CLASS_SIGNED: return (i64)a->value < 0;
    case CLASS_FLOAT: return arg_float(a) < 0.0f;
    default: return false;
    }
}

// The number a "%" parameter takes from an argument.
u64 arg_number(const format_arg* a) {
    switch (class_of(a)) {
    case CLASS_TEXT: {
        i64 v = 0;
        if (arg_text(a)) parse_s64(arg_text(a), &v);
        return (u64)v;
    }
    case CLASS_UNSIGNED:
    case CLASS_SIGNED: return a->value;
    case CLASS_FLOAT: {
        // Truncated toward zero to 32 bits. NaN and values beyond the range
        // would be undefined; they take the processor's answer, the lowest
        // 32-bit integer, whose low 8 bits are 0.
        f32 f = arg_float(a);
        i32 n = INT32_MIN;
        if (f > -2147483904.0f && f < 2147483648.0f) n = (i32)f;
        return (u32)n & 0xFF;
    }
    default: return 0;
    }
}

// Writes the argument's printed form into the scratch text.
void scratch_put_arg(scratch* s, const format_arg* a) {
    if (class_of(a) == CLASS_TEXT) {
        const char* t = arg_text(a);
        scratch_put(s, t, text_length_up_to(t, SCRATCH_TEXT_MAX));
        return;
    }
    char number[NUMBER_ROOM];
    scratch_put(s, number, print_number_arg(number, a));
}

// "sign": the sign character, then the magnitude. A text drops its own
// leading sign and a float its sign bit, so neither shows a sign twice.
void scratch_put_signed(scratch* s, const format_arg* a, u32 n) {
    char sign = arg_is_negative(a) ? '-' : (n == 0 ? '+' : ' ');
    scratch_put(s, &sign, 1);
    char number[NUMBER_ROOM];
    switch (class_of(a)) {
    case CLASS_TEXT: {
        const char* t = arg_text(a);
        if (t && (t[0] == '-' || t[0] == '+')) ++t;
        scratch_put(s, t, text_length_up_to(t, SCRATCH_TEXT_MAX));
        return;
    }
    case CLASS_SIGNED: {
        i64 v = (i64)a->value;
        u64 magnitude = v < 0 ? 0 - a->value : a->value;
        scratch_put(s, number, print_u64(number, magnitude));
        return;
    }
    case CLASS_FLOAT: {
        f32 f = arg_float(a);
        u32 bits;
        copy_bytes(&bits, &f, sizeof bits);
        bits &= 0x7FFFFFFFu;
        copy_bytes(&f, &bits, sizeof f);
        scratch_put(s, number, print_f32(number, f));
        return;
    }
    default: scratch_put(s, number, print_number_arg(number, a)); return;
    }
}

// "del:": a "," before every character that has a multiple of `every`
// characters from itself to the end of the digits. The digits run from after
// a leading sign to a decimal point or the end. Works right to left in place,
// dropping whatever would land past the scratch area.
void scratch_group_digits(scratch* s, u32 every) {
    u32 length = s->length;
    if (every == 0 || length == 0) return;
    char* t = s->bytes;
    u32 begin = (t[0] == '-' || t[0] == '+' || t[0] == ' ') ? 1 : 0;
    u32 end = begin;
    while (end < length && t[end] != '.') ++end;
    if (end <= begin + 1) return;
    u32 shift = (end - begin - 1) / every;
    if (shift == 0) return;
    u32 grown = length + shift;
    for (u32 i = length; i-- > begin;) {
        if (i + shift < SCRATCH_TEXT_MAX) t[i + shift] = t[i];
        if (i > begin && i < end && (end - i) % every == 0) {
            --shift;
            if (i + shift < SCRATCH_TEXT_MAX) t[i + shift] = ',';
        }
    }
    s->length = grown < SCRATCH_TEXT_MAX ? grown : SCRATCH_TEXT_MAX;
}

// --- The scan -------------------------------------------------------------

// The exact dropped-tab counts of the "tab:"s that needed one, in order, for
// later replays to reuse. Each lives in the frame of the "tab:" that found it
// and the rest of the call runs inside that frame (see read_layout).
struct memo {
    u64 tabs;
    memo* next;
};

struct formatter {
    output out;
    const char* format;
    const char* p;
    const format_arg* args;
    u32 count;
    u32 next;
    bool stopped;  // a caller's error ended the text
    bool done;     // the call's end was reached in a deeper frame, or a replay's goal
    u64 group_start;
    u32 exact_asked;   // "tab:"s so far that needed the exact count
    memo* memo_head;
    memo** memo_tail;
    u32 target;        // in a replay: the "tab:" it stops at
    const memo* cursor;
    scratch s;
};

void formatter_init(formatter* f, char* out, u64 capacity, bool bounded, const char* format,
                    const format_arg* args, u32 count) {
    f->out.start = out;
    f->out.capacity = capacity;
    f->out.pos = 0;
    f->out.high = 0;
    f->out.bounded = bounded;
    f->out.moved_back = false;
    f->out.tabs_past = 0;
    f->out.tabs_matter = -1;
    f->out.scan = &f->p;
    f->out.w = 0;
    f->format = format;
    f->p = format;
    f->args = args;
    f->count = count;
    f->next = 0;
    f->stopped = false;
    f->done = false;
    f->group_start = 0;
    f->exact_asked = 0;
    f->memo_head = 0;
    f->memo_tail = &f->memo_head;
    f->target = 0;
    f->cursor = 0;
    f->s.length = 0;
}

void scan(formatter* f);

bool match_keyword(formatter* f, const char* keyword) {
    u32 i = 0;
    for (; keyword[i]; ++i) {
        if (f->p[i] != keyword[i]) return false;
    }
    f->p += i;
    return true;
}

// Never reads past the array: asking for one more argument than was passed
// ends the text.
bool next_arg(formatter* f, format_arg* a) {
    if (f->next >= f->count) {
        f->stopped = true;
        return false;
    }
    *a = f->args[f->next++];
    return true;
}

// A numeric parameter: "%" (the next argument's number) or an optionally
// signed decimal; no digits read as 0.
bool read_number(formatter* f, u64* n) {
    if (*f->p == '%') {
        ++f->p;
        format_arg a;
        if (!next_arg(f, &a)) return false;
        *n = arg_number(&a);
        return true;
    }
    i64 v = 0;
    f->p += parse_s64(f->p, &v);
    *n = (u64)v;
    return true;
}

bool read_count(formatter* f, u32* n) {
    u64 v;
    if (!read_number(f, &v)) return false;
    *n = (u32)v;
    return true;
}

// The argument printed at the output position, cut to `width` characters.
// Returns the characters written.
u64 emit_arg(formatter* f, const format_arg* a, u32 width) {
    u64 m;
    if (class_of(a) == CLASS_TEXT) {
        const char* t = arg_text(a);
        m = text_length_up_to(t, width);
        out_put(&f->out, t, m);
    } else {
        char number[NUMBER_ROOM];
        u32 length = print_number_arg(number, a);
        m = length < width ? length : width;
        out_put(&f->out, number, m);
    }
    out_terminate(&f->out);
    return m;
}

// A placeholder's text: in the scratch area, or after "size:" a slice of the
// caller's text read in place.
struct placeholder {
    format_arg arg;
    bool content;
    const char* slice;
    u64 slice_length;
    u32 width;
    bool width_given;
};

// Before "del:" or "sign" changes the text, a slice in the caller's memory
// moves into the scratch area, so the caller's text is never written.
void take_slice_into_scratch(formatter* f, placeholder* h) {
    if (!h->slice) return;
    f->s.length = 0;
    scratch_put(&f->s, h->slice, h->slice_length);
    h->slice = 0;
}

bool put_value(formatter* f, placeholder* h, u32 (*print)(char*, u32)) {
    if (h->content) {
        f->stopped = true;  // a second value keyword
        return false;
    }
    char digits[NUMBER_ROOM];
    scratch_put(&f->s, digits, print(digits, (u32)h->arg.value));
    h->content = true;
    return true;
}

u32 print_char(char* dst, u32 value) {
    dst[0] = (char)(u8)value;
    dst[1] = 0;
    return 1;
}

bool read_specifier(formatter* f, placeholder* h) {
    if (match_keyword(f, "char")) return put_value(f, h, print_char);
    if (match_keyword(f, "hex32")) return put_value(f, h, print_hex32);
    if (match_keyword(f, "hex8")) return put_value(f, h, print_hex8);
    if (match_keyword(f, "bin8")) return put_value(f, h, print_bin8);
    if (match_keyword(f, "del:")) {
        if (!h->content) scratch_put_arg(&f->s, &h->arg);
        u32 every;
        if (!read_count(f, &every)) return false;
        take_slice_into_scratch(f, h);
        scratch_group_digits(&f->s, every);
        h->content = true;
        return true;
    }
    if (match_keyword(f, "size:")) {
        u32 n;
        if (!read_count(f, &n)) return false;
        f->s.length = 0;
        h->slice = 0;
        if (class_of(&h->arg) == CLASS_TEXT && arg_text(&h->arg)) {
            h->slice = arg_text(&h->arg);
            h->slice_length = n;
        } else {
            // Not a text: a slice of the printed form, never an address.
            scratch_put_arg(&f->s, &h->arg);
            if (f->s.length > n) f->s.length = n;
        }
        h->content = true;
        return true;
    }
    if (match_keyword(f, "width:")) {
        if (!read_count(f, &h->width)) return false;
        h->width_given = true;
        return true;
    }
    if (match_keyword(f, "sign")) {
        u32 n = 0;
        if (match_keyword(f, ":") && !read_count(f, &n)) return false;
        take_slice_into_scratch(f, h);
        scratch_put_signed(&f->s, &h->arg, n);
        h->content = true;
        return true;
    }
    ++f->p;  // anything else, spaces included
    return true;
}

void close_placeholder(formatter* f, const placeholder* h) {
    u64 m;
    if (h->content) {
        const char* text = h->slice ? h->slice : f->s.bytes;
        u64 length = h->slice ? h->slice_length : f->s.length;
        m = length < h->width ? length : h->width;
        out_put(&f->out, text, m);
        out_terminate(&f->out);
    } else {
        m = emit_arg(f, &h->arg, h->width);
    }
    if (h->width_given) {
        out_fill(&f->out, ' ', h->width - m);
        out_terminate(&f->out);
    }
}

void run_placeholder(formatter* f) {
    ++f->p;  // "%"
    placeholder h;
    if (!next_arg(f, &h.arg)) return;
    if (*f->p != '{') {
        emit_arg(f, &h.arg, NO_WIDTH);
        return;
    }
    ++f->p;
    h.content = false;
    h.slice = 0;
    h.slice_length = 0;
    h.width = NO_WIDTH;
    h.width_given = false;
    f->s.length = 0;
    while (*f->p && !match_keyword(f, "}")) {
        if (!read_specifier(f, &h)) return;
    }
    close_placeholder(f, &h);
}

void finish_group(formatter* f);

// The tabs that the unbounded form holds between the capacity and the
// output position now. Replays the call up to this "tab:" once per window
// of dropped bytes, rewriting the caller's buffer with what it holds now.
u64 dropped_tabs(formatter* f) {
    const output* o = &f->out;
    u64 total = 0;
    window w;
    for (u64 lo = o->capacity; lo < o->pos; lo = w.next_tab) {
        w.lo = lo;
        w.next_tab = ~(u64)0;
        fill_bytes(w.bytes, 0, WINDOW_SIZE);
        formatter g;
        formatter_init(&g, o->start, o->capacity, o->bounded, f->format, f->args, f->count);
        g.out.w = &w;
        g.target = f->exact_asked;
        g.cursor = f->memo_head;
        scan(&g);
        u64 end = o->pos - lo < WINDOW_SIZE ? o->pos - lo : WINDOW_SIZE;
        for (u64 i = 0; i < end; ++i) total += w.bytes[i] == '\t';
    }
    return total;
}

void read_tab(formatter* f, u32 stop) {
    output* o = &f->out;
    u64 tabs_past = o->tabs_past;
    bool exact = o->pos > o->capacity && o->moved_back && tabs_past != 0;
    memo answer;
    if (exact) {
        if (o->w) {
            if (f->exact_asked == f->target) {
                f->done = true;  // the replay has reached its "tab:"
                return;
            }
            tabs_past = f->cursor->tabs;
            f->cursor = f->cursor->next;
        } else {
            tabs_past = dropped_tabs(f);
            answer.tabs = tabs_past;
            answer.next = 0;
            *f->memo_tail = &answer;
            f->memo_tail = &answer.next;
        }
        ++f->exact_asked;
    }
    scratch* s = &f->s;
    u64 column = out_columns(o, tabs_past) + text_columns(s->bytes, s->bytes + s->length, 4);
    scratch_fill(s, ' ', stop - column % stop);
    if (exact && !o->w) {
        // Later replays read `answer`, so the rest of the call runs here.
        finish_group(f);
        if (!f->stopped) scan(f);
        f->done = true;
    }
}

bool read_layout(formatter* f) {
    scratch* s = &f->s;
    if (match_keyword(f, "pad:")) {
        u32 n;
        if (!read_count(f, &n)) return false;
        scratch_fill(s, ' ', n);
        return true;
    }
    if (match_keyword(f, "tab:")) {
        u32 stop;
        if (!read_count(f, &stop)) return false;
        if (stop != 0) read_tab(f, stop);
        return true;
    }
    if (match_keyword(f, "chars:")) {
        u64 c;
        u32 n;
        if (!read_number(f, &c) || !read_count(f, &n)) return false;
        scratch_fill(s, (char)(u8)c, n);
        return true;
    }
    if (match_keyword(f, "col:")) {
        u32 column;
        if (!read_count(f, &column)) return false;
        out_move(&f->out, column);
        return true;
    }
    ++f->p;
    return true;
}

void finish_group(formatter* f) {
    while (!f->done && *f->p && !match_keyword(f, "}")) {
        if (!read_layout(f)) {
            f->out.pos = f->group_start;  // the text ends where the group began
            return;
        }
    }
    if (f->done) return;
    out_put(&f->out, f->s.bytes, f->s.length);
    out_terminate(&f->out);
}

void run_group(formatter* f) {
    f->p += 2;  // "${"
    f->s.length = 0;
    f->group_start = f->out.pos;
    finish_group(f);
}

// Copies a run of plain characters at once.
void copy_plain(formatter* f) {
    const char* run = f->p;
    while (*f->p && *f->p != '\\' && *f->p != '%' && *f->p != '$') ++f->p;
    out_put(&f->out, run, (u64)(f->p - run));
}

void scan(formatter* f) {
    while (*f->p && !f->stopped && !f->done) {
        if (*f->p == '\\') {
            if (!f->p[1]) return;
            out_put(&f->out, f->p + 1, 1);
            f->p += 2;
            // The character after an escape is read at once and a "\" there
            // is copied as it stands.
            if (*f->p == '\\') {
                out_put(&f->out, f->p, 1);
                ++f->p;
                continue;
            }
            if (!*f->p) return;
        }
        if (*f->p == '%') {
            run_placeholder(f);
        } else if (*f->p == '$') {
            if (f->p[1] == '{') run_group(f);
            else ++f->p;
        } else {
            copy_plain(f);
        }
    }
}

}  // namespace

u64 format_text_bounded(char* out, u64 capacity, const char* format,
                        const format_arg* args, u32 count) {
    formatter f;
    formatter_init(&f, out, capacity, true, format, args, count);
    scan(&f);
    return out_finish(&f.out);
}

u64 format_text_args(char* out, const char* format, const format_arg* args, u32 count) {
    formatter f;
    formatter_init(&f, out, ~(u64)0, false, format, args, count);
    scan(&f);
    return out_finish(&f.out);
}
