#include "guard/history.h"

#include <stdlib.h>
#include <string.h>

#include "engine/base/fatal.h"
#include "guard/frame_copy.h"
#include "platform/worker.h"

typedef enum entry_kind {
    ENTRY_BYTES,    // bytes at an address
    ENTRY_MADE,     // a block the frame allocated
    ENTRY_GONE,     // a block the frame freed, its bytes after it
    ENTRY_PAYLOAD,  // the host's record of the frame
    ENTRY_WRAP,     // the rest of the ring is skipped: the next entry is at its start
} entry_kind;

typedef struct history_entry {
    u64 address;
    u64 size;  // bytes after the entry; a block's usable bytes; WRAP: bytes skipped
    u32 kind;
    u32 reserved;
} history_entry;

// After a block's entry.
typedef struct block_part {
    memory_block_record record;
    u8* saved;  // MADE: its pages while stepped back over (paused only)
} block_part;

// Every frame's entries lie one after the other in one ring of the cap's
// size: the newest frame writes where the oldest was dropped, so its pages
// are touched already, and the memory held is the ring, whatever the frames.
static u8* ring;
static u64 ring_size;
static u64 ring_head;  // where the next entry goes
static u64 ring_used;  // bytes from the oldest frame's start to the head

// A frame's start copies the pages it takes in into the stage, a buffer
// the history keeps warm, and goes on; the worker then keeps their changed
// lines in the ring and brings the undo's shadow up to date, and closes the
// frame. Writing the ring's memory, out of the cache, is what costs, and it
// is done beside the module's frame instead of before it. The stage is part
// of the cap. Every call here that touches the ring but history_changes'
// own staging waits for the worker first, so only one thread ever does.
typedef struct staged_run {
    u64 address;  // where the bytes are in module memory
    u8* before;   // the shadow that takes them in
    u64 at;       // their copy's place in the stage
    u64 size;
} staged_run;

static u8* stage;
static u64 stage_size;
static u64 stage_used;
static staged_run* staged;
static u64 staged_count;
static u64 staged_capacity;
static bool32 posted;  // the worker has a frame's close to do
static bool32 close_kept;
// Staging pays wherever what is written changes in more than a few lines:
// the copy is cheaper than comparing and keeping lines, whose entries are
// written to cold memory (a byte changed in each KiB of 1 MiB: a start of
// 0.30 ms in place, 0.23 staged, 0.20 without the history). Where a frame
// changed less than 1/STAGE_SPARSE of the shadows' bytes compared, the
// next start compares in place; staging in the ring, which keeps unchanged
// lines too, takes frames that changed half. Frames that compared less
// than STAGE_JUDGED change nothing; the first frames compare in place.
// Within a start, what it compared so far may start the staging the last
// frame did not.
#define STAGE_SPARSE 64u
#define STAGE_JUDGED (256u << 10)
static u64 compared;
static u64 differing;
static bool32 stage_pays;
static bool32 ring_pays;

#define STAGE_MOST (16ull << 20)
#define STAGE_LEAST (64ull << 10)

typedef struct history_frame {
    u64 start;       // its first entry's place in the ring
    u64 span;        // ring bytes from there, skips included
    u64 entries;     // payload and skips included
    u64 payload;     // the payload's entry's place; ~0 for none
    u64 saved;       // bytes of blocks kept outside the ring (paused only)
    bool32 steppable;  // its memory is all there
    bool32 blocks;     // it made or freed blocks
} history_frame;

#define NO_PAYLOAD (~0ull)

static history_frame* frames;  // `limit_frames` closed frames, a ring too
static u32 limit_frames;
static u32 oldest;
static u32 count;
static u32 first_steppable;
static history_frame filling;  // the frame whose overwrites come at the next frame's start
static bool32 paused;
// The host's record of a frame is given as soon as the frame ran, while the
// worker may still be closing the frame before with its own: two buffers,
// swapped as a frame closes, so giving it never waits for the worker.
typedef struct payload_buffer {
    u8* bytes;
    u64 size;
    u64 capacity;
} payload_buffer;

static payload_buffer payloads[2];
static payload_buffer* pending = &payloads[0];  // the payload waiting for its frame to close
static payload_buffer* closing = &payloads[1];  // the frame being closed's

static history_frame* frame_at(u32 index) { return &frames[(oldest + index) % limit_frames]; }

// A jump over seconds would read every frame between. The base holds, for
// every byte the frames from base_at on changed, what it was at that
// frame's start: written to memory it brings them there at once, and the
// frames from the nearer end do the rest. While paused the stage, idle then,
// holds the same bytes as the newest frame left them (the top).
//
// It grows as frames change bytes they had not (their old bytes are taken
// as the frame is kept, on the worker) and goes forward over the oldest
// frames (their entries read into it): on the worker, far enough past the
// oldest that frames dropped where the module waits don't reach it. A frame
// that makes or frees blocks, one without all its memory, one too large to
// read into it where the module waits, or a base that is full, starts it
// anew after that frame: empty, at the next frame; once full, it rests for a
// second first (frames that change more than it holds would fill it each
// time). Its area is a 32nd of the cap, at most 8 MiB (none under 32 MiB).
static frame_copy base;
static u32 base_at;          // frame index; count: empty
static u64 base_ahead;       // ring bytes of the frames before it
static bool32 base_broken;   // starts anew when the filling frame closes
static u32 base_resting;     // frames it stays broken for, having been full
static bool32 top_held;      // paused, and the stage holds the top
static bool32 on_worker;     // the worker is closing a frame
#define BASE_MOST (8ull << 20)
#define BASE_LEAST (1ull << 20)
#define BASE_REST 30u
// Where the module waits for the frame's start, a dropped frame larger than
// this starts the base anew instead of being read into it.
#define BASE_ADVANCE_WAITING (256ull << 10)

// Bytes compared in place, at the frame's start, reach the base from the
// worker as the frame closes: their entry's difference and the shadow's new
// bytes give the old.
typedef struct base_run {
    history_entry* entry;
    const u8* now;
} base_run;

static base_run* base_runs;
static u64 base_runs_count;
static u64 base_runs_capacity;

static u64 round8(u64 size) { return (size + 7) & ~7ull; }

static u64 entry_span(const history_entry* entry) {
    switch (entry->kind) {
    case ENTRY_MADE: return sizeof(history_entry) + sizeof(block_part);
    case ENTRY_GONE: return sizeof(history_entry) + sizeof(block_part) + round8(entry->size);
    case ENTRY_WRAP: return entry->size;
    default: return sizeof(history_entry) + round8(entry->size);
    }
}

static block_part* part_of(history_entry* entry) { return (block_part*)(entry + 1); }

// Calls visit for each of a frame's entries in order, skips left out.
typedef void entry_visit(history_entry* entry, u64 place, void* context);

static void each_entry(const history_frame* frame, entry_visit* visit, void* context) {
    u64 at = frame->start;
    for (u64 i = 0; i < frame->entries; ++i) {
        history_entry* entry = (history_entry*)(ring + at);
        if (entry->kind == ENTRY_WRAP) {
            at = 0;
            continue;
        }
        visit(entry, at, context);
        at += entry_span(entry);
    }
}

static void free_saved(history_entry* entry, u64 place, void* context) {
    (void)place;
    (void)context;
    if (entry->kind == ENTRY_MADE && part_of(entry)->saved) {
        pages_free(part_of(entry)->saved, entry->size ? entry->size : 1);
        part_of(entry)->saved = NULL;
    }
}

static void release(history_frame* frame) {
    if (frame->saved) {
        each_entry(frame, free_saved, NULL);
    }
    ring_used -= frame->span;
    memset(frame, 0, sizeof(*frame));
}

static void xor_into_base(history_entry* entry, u64 place, void* context) {
    (void)place;
    bool32* held = (bool32*)context;
    if (entry->kind == ENTRY_BYTES) {
        *held = frame_copy_xor(&base, entry->address, (const u8*)(entry + 1), entry->size) && *held;
    }
}

// The base at the oldest frame goes past it as it is dropped.
static void base_pass(history_frame* frame) {
    if (base_at) {
        --base_at;
        base_ahead -= frame->span;
        return;
    }
    if (!base.capacity || base_broken) {
        return;
    }
    bool32 held = on_worker || frame->span <= BASE_ADVANCE_WAITING;
    if (held) {
        each_entry(frame, xor_into_base, &held);
    }
    base_broken = !held;
}

// Bytes the filling frame changed, as the base's frame left them where it
// does not hold them yet.
static void base_take(u64 address, const u8* old, u64 size) {
    if (base.capacity && !base_broken && !frame_copy_take(&base, address, old, size)) {
        base_broken = 1;
        base_resting = BASE_REST;
    }
}

static u64 spans_between(u32 a, u32 b) {
    u64 bytes = 0;
    for (u32 i = a < b ? a : b; i < (a < b ? b : a); ++i) {
        bytes += frame_at(i)->span;
    }
    return bytes;
}

static void base_restart(void) {
    frame_copy_clear(&base);
    base_at = count;
    base_ahead = spans_between(0, count);
    base_broken = base_resting > 0;
    base_resting -= base_broken ? 1 : 0;
    top_held = 0;
    base_runs_count = 0;
}

static void base_defer(history_entry* entry, const u8* now) {
    if (!base.capacity || base_broken) {
        return;
    }
    if (base_runs_count == base_runs_capacity) {
        u64 capacity = base_runs_capacity ? base_runs_capacity * 2 : 256;
        base_run* grown = (base_run*)realloc(base_runs, capacity * sizeof(base_run));
        if (!grown) {
            base_broken = 1;
            return;
        }
        base_runs = grown;
        base_runs_capacity = capacity;
    }
    base_runs[base_runs_count++] = {entry, now};
}

static void take_base_runs(void) {
    u8 old[4096];
    for (u64 i = 0; i < base_runs_count; ++i) {
        history_entry* entry = base_runs[i].entry;
        for (u64 at = 0; at < entry->size; at += sizeof(old)) {
            u64 part = entry->size - at < sizeof(old) ? entry->size - at : sizeof(old);
            xor_bytes(old, (const u8*)(entry + 1) + at, base_runs[i].now + at, part);
            base_take(entry->address + at, old, part);
        }
    }
    base_runs_count = 0;
}

// On the worker, the frame closed: the base far enough past the oldest
// frame that the room left in the ring and the frames before it take what
// the next start may add, and a frame past it when the next close drops one.
static void base_keep_ahead(void) {
    u64 margin = ring_size / 16;
    while (base.capacity && !base_broken && base_at + 1 < count &&
           (base_ahead + (ring_size - ring_used) < margin ||
            (base_at == 0 && count + 1 >= limit_frames))) {
        bool32 held = 1;
        each_entry(frame_at(base_at), xor_into_base, &held);
        if (!held) {
            base_restart();
            return;
        }
        base_ahead += frame_at(base_at)->span;
        ++base_at;
    }
}

static void drop_oldest(void) {
    base_pass(frame_at(0));
    release(frame_at(0));
    oldest = (oldest + 1) % limit_frames;
    --count;
    first_steppable = first_steppable ? first_steppable - 1 : 0;
}

static void start_filling(void) {
    memset(&filling, 0, sizeof(filling));
    if (!ring_used) {
        ring_head = 0;
    }
    filling.start = ring_head;
    filling.payload = NO_PAYLOAD;
    filling.steppable = 1;
}

// A frame's bytes are kept as the exclusive or of what it found and what it
// left: stepping either way over it is the same read of its entries into
// memory, and they are never written back (a jump back over seconds reads
// each kept byte once). A frame's entries never overlap, so their order
// does not matter.
typedef u64 xor_word;

// The entry holds the new bytes and the shadow the old: the entry takes
// their difference, the shadow the new.
static void xor_exchange(u8* entry, u8* shadow, u64 size) {
    u64 words = size / sizeof(xor_word) * sizeof(xor_word);
    for (u64 at = 0; at < words; at += sizeof(xor_word)) {
        xor_word e, b;
        memcpy(&e, entry + at, sizeof(e));
        memcpy(&b, shadow + at, sizeof(b));
        memcpy(shadow + at, &e, sizeof(e));
        e ^= b;
        memcpy(entry + at, &e, sizeof(e));
    }
    for (u64 at = words; at < size; ++at) {
        u8 e = entry[at];
        entry[at] = (u8)(e ^ shadow[at]);
        shadow[at] = e;
    }
}

// Beyond the stage, a burst of writes that changes much of what it wrote
// (a collector's sweep) is staged in the ring itself: each run becomes an
// entry of all its bytes, the new ones copied in as the frame starts (on
// two threads), and the worker exchanges them with the shadow's, so the
// entry holds the difference and the shadow the new bytes. Its unchanged
// lines are kept too. Entries given back before the worker came (the frame
// outgrew the ring) are finished first, while their bytes are still there.
typedef struct ring_run {
    u64 address;
    u8* bytes;   // the entry's
    u8* before;  // the shadow's
    u64 size;
} ring_run;

static ring_run* ring_runs;
static u64 ring_runs_count;
static u64 ring_runs_capacity;
static worker_copies ring_copies;

static u64 differing_bytes(const u8* a, const u8* b, u64 size);

// On the worker the copies were made already, as the frame closed: the
// list is empty there, and nothing is posted from the worker to itself.
static void finish_ring_runs(void) {
    worker_copies_make(&ring_copies);
    for (u64 i = 0; i < ring_runs_count; ++i) {
        ring_run* run = &ring_runs[i];
        // Whether staging still pays is judged on these runs too.
        compared += run->size;
        differing += differing_bytes(run->bytes, run->before, run->size);
        base_take(run->address, run->before, run->size);
        xor_exchange(run->bytes, run->before, run->size);
    }
    ring_runs_count = 0;
}

// The filling frame's entries given back: the head goes back to its start.
static void empty_filling(void) {
    finish_ring_runs();
    // Bytes it changed are as they were, or no frame is kept past it.
    base_runs_count = 0;
    ring_head = filling.start;
    release(&filling);
    start_filling();
}

void history_settle(void) {
    if (posted) {
        worker_wait();
        posted = 0;
    }
}

void history_drop_from(u32 index) {
    history_settle();
    empty_filling();
    while (count > index) {
        history_frame* frame = frame_at(count - 1);
        ring_head = frame->start;
        release(frame);
        --count;
        top_held = 0;
    }
    first_steppable = first_steppable < count ? first_steppable : count;
    // Bytes only the dropped frames changed stay held: as the base's frame
    // left them, which is still what they were there.
    if (base_broken || base_at > count) {
        base_restart();
    }
    start_filling();
}

static void free_stage(void) {
    // Staged runs are always finished by the frame's close, within its start.
    fatal_assert(!staged_count);
    pages_free(stage, stage_size);
    pages_free(staged, staged_capacity * sizeof(staged_run));
    stage = NULL;
    staged = NULL;
    stage_size = stage_used = staged_count = staged_capacity = 0;
}

// An eighth of the cap, up to 16 MiB; none for caps too small to spare it.
static void make_stage(u64 cap) {
    u64 size = cap / 8 < STAGE_MOST ? cap / 8 & ~(STAGE_LEAST - 1) : STAGE_MOST;
    if (size < STAGE_LEAST) {
        return;
    }
    // A run staged is a page at least.
    u64 runs = size / memory_page_size() + 1;
    stage = (u8*)pages_allocate(size);
    staged = (staged_run*)pages_allocate(runs * sizeof(staged_run));
    stage_size = size;
    staged_capacity = runs;
    if (!stage || !staged) {
        free_stage();
    }
}

void history_limit(u32 most_frames, u64 most_bytes) {
    history_settle();
    if (frames) {
        history_drop_from(0);
    }
    free(frames);
    pages_free(ring, ring_size);
    free_stage();
    frame_copy_free(&base);
    frames = NULL;
    ring = NULL;
    ring_size = ring_used = ring_head = 0;
    limit_frames = 0;
    oldest = 0;
    if (most_frames) {
        make_stage(most_bytes);
    }
    u64 base_size = most_bytes / 32 < BASE_MOST ? most_bytes / 32 : BASE_MOST;
    if (most_frames && base_size >= BASE_LEAST) {
        frame_copy_make(&base, base_size);
    }
    u64 size = (most_bytes - stage_size - base.area) & ~7ull;
    if (most_frames && size > 2 * sizeof(history_entry)) {
        frames = (history_frame*)calloc(most_frames, sizeof(history_frame));
        ring = (u8*)pages_allocate(size);
        if (frames && ring) {
            limit_frames = most_frames;
            ring_size = size;
        } else {
            free(frames);
            pages_free(ring, size);
            frames = NULL;
            ring = NULL;
        }
    }
    if (!ring) {
        free_stage();
        frame_copy_free(&base);
    }
    base_resting = 0;
    base_restart();
    start_filling();
}

// The base holds what frames [base_at, count) changed.
static bool32 base_usable(void) { return base.capacity && !base_broken && base_at < count; }

void history_pause(bool32 on) {
    history_settle();
    // Pausing, memory is where the newest frame left it.
    if (on && !paused) {
        top_held = base_usable() && frame_copy_bytes(&base) <= stage_size;
        if (top_held) {
            frame_copy_read(&base, stage);
        }
    }
    top_held = on && top_held;
    paused = on;
}

static bool32 history_kept(void) { return limit_frames && !paused; }

// The frame now filled takes entries.
static bool32 filling_kept(void) { return history_kept() && filling.steppable; }

bool32 history_recording(void) {
    history_settle();
    return filling_kept();
}

void history_skip_frame(void) {
    history_settle();
    if (history_kept()) {
        empty_filling();
        filling.steppable = 0;
    }
}

// Room for `bytes` at the head, the oldest frames dropped for it; null when
// even the filling frame alone would not fit, which leaves it without all
// of its memory. A skip to the ring's start always fits after an entry.
static u8* ring_take(u64 bytes) {
    if (bytes + sizeof(history_entry) > ring_size) {
        return NULL;
    }
    u64 skip = ring_head + bytes + sizeof(history_entry) > ring_size ? ring_size - ring_head : 0;
    while (ring_used + skip + bytes > ring_size) {
        if (!count) {
            return NULL;
        }
        drop_oldest();
    }
    if (skip) {
        history_entry* wrap = (history_entry*)(ring + ring_head);
        memset(wrap, 0, sizeof(*wrap));
        wrap->kind = ENTRY_WRAP;
        wrap->size = skip;
        filling.span += skip;
        filling.entries += 1;
        ring_used += skip;
        ring_head = 0;
    }
    u8* at = ring + ring_head;
    ring_head += bytes;
    filling.span += bytes;
    filling.entries += 1;
    ring_used += bytes;
    return at;
}

// An entry with room for `extra` bytes after it in the filling frame; null
// once the frame can't hold all of its memory.
static history_entry* add_entry(entry_kind kind, u64 address, u64 size, u64 extra) {
    if (!filling_kept()) {
        return NULL;
    }
    history_entry* entry = (history_entry*)ring_take(sizeof(history_entry) + round8(extra));
    if (!entry) {
        // What it holds is of no use without the rest.
        empty_filling();
        filling.steppable = 0;
        return NULL;
    }
    memset(entry, 0, sizeof(*entry));
    entry->kind = kind;
    entry->address = address;
    entry->size = size;
    return entry;
}

// A run of changed lines: their old bytes kept, the shadow updated.
static void take_run(u64 address, const u8* now, u8* before, u64 size, bool32 update) {
    differing += update ? size : 0;
    history_entry* entry = add_entry(ENTRY_BYTES, address, size, size);
    if (entry) {
        xor_bytes((u8*)(entry + 1), before, now, size);
        if (update && !on_worker) {
            base_defer(entry, before);
        } else {
            base_take(address, before, size);
        }
    }
    if (update) {
        memcpy(before, now, size);
    }
}

#define LINE 64u
// Runs are cut at this size, so the bytes compared are still in the cache
// when they are copied.
#define RUN_MOST (64u * 1024u)

static bool32 line_differs(const u8* a, const u8* b) {
    u64 x = 0;
    for (u32 i = 0; i < LINE; i += 8) {
        u64 p, q;
        memcpy(&p, a + i, 8);
        memcpy(&q, b + i, 8);
        x |= p ^ q;
    }
    return x != 0;
}

// The bytes of the 64-byte lines that differ (a tail shorter than a line
// counted whole).
static u64 differing_bytes(const u8* a, const u8* b, u64 size) {
    u64 lines = size / LINE * LINE;
    u64 bytes = 0;
    for (u64 at = 0; at < lines; at += LINE) {
        bytes += line_differs(a + at, b + at) ? LINE : 0;
    }
    return bytes + (lines < size && memcmp(a + lines, b + lines, size - lines) != 0 ? size - lines : 0);
}

// The lines of `now` (module memory at address, or its copy in the stage)
// that differ from `old`.
static bool32 take_changes(u64 address, const u8* now, u8* old, u64 size, bool32 update) {
    compared += update ? size : 0;
    bool32 changed = 0;
    u64 start = 0;
    u64 run = 0;
    u64 lines = size / LINE * LINE;
    for (u64 at = 0; at < lines; at += LINE) {
        if (line_differs(now + at, old + at)) {
            start = run ? start : at;
            run += LINE;
            if (run < RUN_MOST) {
                continue;
            }
        }
        if (run) {
            take_run(address + start, now + start, old + start, run, update);
            changed = 1;
            run = 0;
        }
    }
    // The tail shorter than a line joins the last run.
    if (lines < size && memcmp(now + lines, old + lines, size - lines) != 0) {
        start = run ? start : lines;
        run += size - lines;
    }
    if (run) {
        take_run(address + start, now + start, old + start, run, update);
        changed = 1;
    }
    return changed;
}

static bool32 stage_run(const void* address, void* before, u64 size) {
    if (stage_used + size > stage_size || staged_count == staged_capacity) {
        return 0;
    }
    memcpy(stage + stage_used, address, size);
    stage_used += size;
    // Pages taken in one by one join the run before them.
    staged_run* last = staged_count ? &staged[staged_count - 1] : NULL;
    if (last && last->address + last->size == (u64)address &&
        last->before + last->size == (u8*)before) {
        last->size += size;
        return 1;
    }
    staged_run* run = &staged[staged_count++];
    run->address = (u64)address;
    run->before = (u8*)before;
    run->at = stage_used - size;
    run->size = size;
    return 1;
}

static bool32 stage_in_ring(const void* address, void* before, u64 size) {
    if (ring_runs_count == ring_runs_capacity) {
        u64 capacity = ring_runs_capacity ? ring_runs_capacity * 2 : 256;
        ring_run* grown = (ring_run*)realloc(ring_runs, capacity * sizeof(ring_run));
        if (!grown) {
            return 0;
        }
        ring_runs = grown;
        ring_runs_capacity = capacity;
    }
    history_entry* entry = add_entry(ENTRY_BYTES, (u64)address, size, size);
    if (!entry) {
        return 0;
    }
    ring_runs[ring_runs_count++] = {(u64)address, (u8*)(entry + 1), (u8*)before, size};
    worker_copies_add(&ring_copies, entry + 1, address, size);
    return 1;
}

bool32 history_changes(const void* address, void* before, u64 size, bool32 update) {
    history_settle();
    // Judged by the last frame, or by what this start compared so far: a
    // burst after quiet frames is staged once its first lines show it.
    bool32 sampled = compared >= STAGE_JUDGED;
    bool32 to_stage = stage_pays || (sampled && differing * STAGE_SPARSE >= compared);
    bool32 to_ring = ring_pays || (sampled && differing * 2 >= compared);
    if (update && to_stage && filling_kept() &&
        (stage_run(address, before, size) || (to_ring && stage_in_ring(address, before, size)))) {
        return 1;
    }
    return take_changes((u64)address, (const u8*)address, (u8*)before, size, update);
}

void history_block_made(const memory_block_record* record) {
    history_settle();
    history_entry* entry =
        add_entry(ENTRY_MADE, (u64)record->region, record->region_size, sizeof(block_part));
    if (entry) {
        part_of(entry)->record = *record;
        part_of(entry)->saved = NULL;
        filling.blocks = 1;
    }
}

void history_block_gone(const memory_block_record* record, const void* bytes, u64 size) {
    history_settle();
    history_entry* entry =
        add_entry(ENTRY_GONE, (u64)record->region, size, sizeof(block_part) + round8(size));
    if (entry) {
        part_of(entry)->record = *record;
        part_of(entry)->saved = NULL;
        filling.blocks = 1;
        memcpy(part_of(entry) + 1, bytes, size);
    }
}

void history_note_payload(const void* payload, u64 size) {
    if (size > pending->capacity) {
        free(pending->bytes);
        pending->bytes = (u8*)malloc(size);
        pending->capacity = pending->bytes ? size : 0;
    }
    pending->size = pending->bytes ? size : 0;
    if (pending->bytes) {
        memcpy(pending->bytes, payload, size);
    }
}

static void close_frame(bool32 kept) {
    u64 size = closing->size;
    closing->size = 0;
    if (!kept || !size) {
        empty_filling();
        if (base_broken) {
            base_restart();
        }
        return;
    }
    // The payload always goes in: a frame without its memory can still be replayed.
    bool32 steppable = filling.steppable;
    filling.steppable = 1;
    history_entry* entry = add_entry(ENTRY_PAYLOAD, 0, size, size);
    if (!entry) {
        empty_filling();
        return;
    }
    memcpy(entry + 1, closing->bytes, size);
    filling.payload = (u64)((u8*)entry - ring);
    filling.steppable = steppable;
    if (count == limit_frames) {
        drop_oldest();
    }
    *frame_at(count) = filling;
    ++count;
    // A frame without all its memory can't be stepped over: nothing before it either.
    if (!filling.steppable) {
        first_steppable = count;
    }
    if (base_broken || filling.blocks || !filling.steppable) {
        base_restart();
    }
    start_filling();
}

// On the worker: the staged runs' changes, then the frame's close.
static void finish_frame(void* unused) {
    (void)unused;
    finish_ring_runs();
    for (u64 i = 0; i < staged_count; ++i) {
        staged_run* run = &staged[i];
        take_changes(run->address, stage + run->at, run->before, run->size, 1);
    }
    staged_count = stage_used = 0;
    take_base_runs();
    if (compared >= STAGE_JUDGED) {
        stage_pays = differing * STAGE_SPARSE >= compared;
        ring_pays = differing * 2 >= compared;
    }
    compared = differing = 0;
    close_frame(close_kept);
    if (on_worker) {
        base_keep_ahead();
    }
    on_worker = 0;
}

void history_close_frame(bool32 kept) {
    history_settle();
    if (!history_kept()) {
        return;
    }
    close_kept = kept;
    payload_buffer* noted = pending;
    pending = closing;
    closing = noted;
    // The new bytes in the ring before the module writes again.
    worker_copies_make(&ring_copies);
    on_worker = staged_count || ring_runs_count || base_runs_count;
    if (on_worker && worker_post(finish_frame, NULL)) {
        posted = 1;
        return;
    }
    on_worker = 0;
    finish_frame(NULL);
}

void history_forget_memory(void) {
    history_settle();
    empty_filling();
    first_steppable = count;
    base_restart();
}

u32 history_frames(void) {
    history_settle();
    return count;
}

u32 history_first_steppable(void) {
    history_settle();
    return first_steppable;
}

u64 history_bytes(void) {
    history_settle();
    u64 bytes = ring_used + frame_copy_bytes(&base);
    for (u32 i = 0; i < count; ++i) {
        bytes += frame_at(i)->saved;
    }
    return bytes;
}

const void* history_payload(u32 index, u64* size) {
    history_settle();
    if (index >= count || frame_at(index)->payload == NO_PAYLOAD) {
        *size = 0;
        return NULL;
    }
    history_entry* entry = (history_entry*)(ring + frame_at(index)->payload);
    *size = entry->size;
    return entry + 1;
}

// ---------------------------------------------------------------------------
// Stepping.

static bool32 step_over_block(history_frame* frame, history_entry* entry, bool32 back) {
    if (entry->kind != ENTRY_MADE && entry->kind != ENTRY_GONE) {
        return 1;
    }
    // Back over a made block, or forward over a gone one: it goes, its pages
    // kept (a gone block's in the ring); the other way it comes back at its
    // place with them.
    block_part* part = part_of(entry);
    bool32 made = entry->kind == ENTRY_MADE;
    u64 usable = part->record.region_size -
                 ((part->record.flags & MEMORY_GUARD_PAGE) ? memory_page_size() : 0);
    u8* pages = made ? part->saved : (u8*)(part + 1);
    if (made == back) {
        if (made && !pages) {
            pages = part->saved = (u8*)pages_allocate(usable ? usable : 1);
            if (!pages) {
                return 0;
            }
            frame->saved += usable;
        }
        memcpy(pages, part->record.region, made ? usable : entry->size);
        free_block_record(&part->record);
        return 1;
    }
    if (!pages || !memory_revive_block(&part->record)) {
        return 0;
    }
    memcpy(part->record.region, pages, made ? usable : entry->size);
    return 1;
}

// Frames' bytes applied on two threads, each taking the 64 KiB pieces of
// one parity of address, so they never touch the same byte: a jump over
// seconds goes at what two cores read from the memory. Bytes commute, so
// within a run of frames without blocks their order does not matter. Pages
// taken in turn broke each thread's stream at every page: a jump over 224
// MiB took twice as long.
#define XOR_PIECE (64u * 1024u)
#define XOR_SHARED (1ull << 20)  // ring bytes a run of frames needs to be shared

typedef struct xor_pass {
    u32 first;
    u32 end;
    u32 half;  // pieces whose address / XOR_PIECE has this parity; 2: all
} xor_pass;

static void xor_entry(history_entry* entry, u64 place, void* context) {
    (void)place;
    u32 half = *(const u32*)context;
    if (entry->kind != ENTRY_BYTES) {
        return;
    }
    u8* memory = (u8*)entry->address;
    const u8* kept = (const u8*)(entry + 1);
    if (half > 1) {
        xor_bytes(memory, memory, kept, entry->size);
        return;
    }
    for (u64 at = 0; at < entry->size;) {
        u64 address = entry->address + at;
        u64 part = XOR_PIECE - address % XOR_PIECE;
        part = part < entry->size - at ? part : entry->size - at;
        if ((address / XOR_PIECE) % 2 == half) {
            xor_bytes(memory + at, memory + at, kept + at, part);
        }
        at += part;
    }
}

static void xor_frames(void* context) {
    xor_pass* pass = (xor_pass*)context;
    for (u32 i = pass->first; i < pass->end; ++i) {
        each_entry(frame_at(i), xor_entry, &pass->half);
    }
}

static void xor_run(u32 first, u32 end) {
    u64 bytes = 0;
    for (u32 i = first; i < end; ++i) {
        bytes += frame_at(i)->span;
    }
    // The worker's pass lives here: this call waits for it before it returns.
    xor_pass mine = {first, end, 2};
    xor_pass theirs = {first, end, 1};
    if (bytes >= XOR_SHARED) {
        mine.half = 0;
        worker_beside(xor_frames, &theirs, xor_frames, &mine);
        return;
    }
    xor_frames(&mine);
}

// A frame's entries' places, to walk them newest first.
static u64* places;
static u64 places_capacity;

static void note_place(history_entry* entry, u64 place, void* context) {
    (void)entry;
    places[(*(u64*)context)++] = place;
}

// The i-th of a frame's noted entries, newest first going back.
static history_entry* entry_in_order(u64 entries, u64 i, bool32 back) {
    return (history_entry*)(ring + places[back ? entries - 1 - i : i]);
}

// A frame with blocks: they go or come back in order (newest first going
// back), then its bytes, which lie in blocks alive all through it. A block
// whose place is taken undoes the blocks done before; where even that
// fails, no frame can be stepped to any more.
static bool32 step_over_frame(u32 index, bool32 back) {
    history_frame* frame = frame_at(index);
    if (frame->entries > places_capacity) {
        free(places);
        places_capacity = frame->entries * 2;
        places = (u64*)malloc(places_capacity * sizeof(u64));
        if (!places) {
            places_capacity = 0;
            return 0;
        }
    }
    u64 entries = 0;
    each_entry(frame, note_place, &entries);
    for (u64 i = 0; i < entries; ++i) {
        if (step_over_block(frame, entry_in_order(entries, i, back), back)) {
            continue;
        }
        bool32 undone = 1;
        while (i-- > 0) {
            undone = step_over_block(frame, entry_in_order(entries, i, back), !back) && undone;
        }
        if (!undone) {
            first_steppable = count;
        }
        return 0;
    }
    xor_run(index, index + 1);
    return 1;
}

// Frame by frame, from `at` to `to`; where it got.
static u32 walk(u32 at, u32 to) {
    while (at != to) {
        // The run of frames without blocks next on the way, then the frame
        // with blocks that ends it.
        bool32 back = to < at;
        u32 end = at;
        if (back) {
            while (end > to && !frame_at(end - 1)->blocks) {
                --end;
            }
            xor_run(end, at);
        } else {
            while (end < to && !frame_at(end)->blocks) {
                ++end;
            }
            xor_run(at, end);
        }
        at = end;
        if (at == to) {
            break;
        }
        u32 frame = back ? at - 1 : at;
        if (!step_over_frame(frame, back)) {
            break;
        }
        at = back ? at - 1 : at + 1;
    }
    return at;
}

// Where a jump goes on from: `from`, or the base's frame or the top with
// their bytes written, when that reads less. Either holds every byte the
// frames from the base's frame on changed, so from anywhere after it memory
// comes there whole; from before it, the top is reached over the frames up
// to the base's.
static u32 jump_start(u32 from, u32 to) {
    if (!base_usable()) {
        return from;
    }
    u64 held = frame_copy_bytes(&base);
    u64 before_base = from < base_at ? spans_between(from, base_at) : 0;
    u64 direct = spans_between(from, to);
    u64 by_base = from < base_at ? ~0ull : held + spans_between(base_at, to);
    u64 by_top = top_held ? before_base + held + spans_between(count, to) : ~0ull;
    if (by_base < direct && by_base <= by_top) {
        frame_copy_write(&base, NULL);
        return base_at;
    }
    if (by_top >= direct) {
        return from;
    }
    u32 at = walk(from, from < base_at ? base_at : from);
    if (at < base_at) {
        return at;
    }
    frame_copy_write(&base, stage);
    return count;
}

u32 history_step(u32 from, u32 to) {
    history_settle();
    if (from > count || to > count || (from < to ? from : to) < first_steppable) {
        return from;
    }
    return walk(jump_start(from, to), to);
}
