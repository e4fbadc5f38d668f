#include "platform/worker.h"

#include <stdlib.h>
#include <string.h>

#define BOTH_LEAST (4ull << 20)  // bytes from which the worker helps

void worker_copies_add(worker_copies* copies, void* to, const void* from, u64 size) {
    worker_copy* last = copies->count ? &copies->list[copies->count - 1] : NULL;
    if (last && last->to + last->size == (u8*)to && last->from + last->size == (const u8*)from) {
        last->size += size;
        copies->bytes += size;
        return;
    }
    // One more than listed: the cut's second part.
    if (copies->count + 1 >= copies->capacity) {
        u64 capacity = copies->capacity ? copies->capacity * 2 : 1024;
        worker_copy* grown = (worker_copy*)realloc(copies->list, capacity * sizeof(worker_copy));
        if (!grown) {
            memcpy(to, from, size);
            return;
        }
        copies->list = grown;
        copies->capacity = capacity;
    }
    copies->list[copies->count++] = {(u8*)to, (const u8*)from, size};
    copies->bytes += size;
}

typedef struct copy_share {
    const worker_copy* first;
    const worker_copy* end;
} copy_share;

static void make_share(void* context) {
    copy_share* share = (copy_share*)context;
    for (const worker_copy* copy = share->first; copy < share->end; ++copy) {
        memcpy(copy->to, copy->from, copy->size);
    }
}

void worker_copies_make(worker_copies* copies) {
    worker_copy* list = copies->list;
    copy_share mine = {list, list + copies->count};
    copy_share theirs = {mine.end, mine.end};
    if (copies->bytes >= BOTH_LEAST) {
        u64 half = copies->bytes / 2;
        u64 bytes = 0;
        u64 split = 0;
        while (bytes + list[split].size <= half) {
            bytes += list[split++].size;
        }
        // The copy that holds the middle byte: its second part, from a
        // cache line's start, goes last, for the worker.
        worker_copy* cut = &list[split];
        u64 part = (half - bytes) & ~63ull;
        list[copies->count] = {cut->to + part, cut->from + part, cut->size - part};
        cut->size = part;
        mine.end = theirs.first = cut + 1;
        theirs.end = list + copies->count + 1;
    }
    if (theirs.first < theirs.end) {
        worker_beside(make_share, &theirs, make_share, &mine);
    } else {
        make_share(&mine);
    }
    copies->count = copies->bytes = 0;
}

void worker_beside(worker_job* theirs, void* their_context, worker_job* mine, void* my_context) {
    bool32 posted = worker_post(theirs, their_context);
    mine(my_context);
    if (posted) {
        worker_wait();
    } else {
        theirs(their_context);
    }
}
