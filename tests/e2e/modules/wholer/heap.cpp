// A heap of a few thousand nodes, made and freed with new and delete, with
// arrays beside them grown with malloc and realloc; each node holds a
// function pointer and a string literal.
#include <stdlib.h>
#include <string.h>

#include "wholer.h"

struct node {
    node* next;
    act_function* act;
    const char* label;
    int value;
    int* trail;  // malloc'd, grown with realloc
    u32 trail_length;
};

static const char* const labels[] = {"red", "green", "blue", "cyan"};
static node* head;
static u32 count;
static char* notes;  // strdup'd
static u64* history;
static u32 history_length;

// Made by a constructor while the build loads: its memory is the heap's,
// and so undone, only when the start-up's allocations are routed too. Its
// destructor would free what the next build goes on using, were it run
// when a build goes.
struct tally {
    int* counts;
    tally() : counts(new int[16]()) {}
    ~tally() {
        memset(counts, 0x55, 16 * sizeof(int));
        delete[] counts;
    }
};
static tally tallies;

extern "C" void heap_step(u64 frame) {
    for (u32 i = 0; i < 24; ++i) {
        node* made = new node;
        made->next = head;
        made->act = wholer_act((u32)(frame + i));
        made->label = labels[(frame + i) % 4];
        made->value = (int)(frame * 3 + i);
        made->trail = (int*)malloc(sizeof(int));
        made->trail[0] = (int)i;
        made->trail_length = 1;
        head = made;
        ++count;
    }
    // Past 3,000 nodes every third goes.
    u32 index = 0;
    for (node** at = &head; *at && count > 3000; ++index) {
        if (index % 3 == 0) {
            node* gone = *at;
            *at = gone->next;
            free(gone->trail);
            delete gone;
            --count;
        } else {
            at = &(*at)->next;
        }
    }
    u32 visited = 0;
    for (node* at = head; at && visited < 64; at = at->next, ++visited) {
        at->value = at->act(at->value);
        at->trail = (int*)realloc(at->trail, (at->trail_length + 1) * sizeof(int));
        at->trail[at->trail_length++] = at->value;
        if (at->trail_length > 12) {
            at->trail_length = 1;
        }
    }
    history = (u64*)realloc(history, (history_length + 1) * sizeof(u64));
    history[history_length++] = frame * 2654435761u;
    if (history_length > 2000) {
        history_length = 0;
    }
    free(notes);
    notes = strdup(labels[frame % 4]);
    tallies.counts[frame % 16] += (int)frame;
}

extern "C" u64 heap_digest(u64 hash) {
    hash = digest_mix(hash, count);
    for (node* at = head; at; at = at->next) {
        hash = digest_mix(hash, (u64)at->value);
        hash = digest_mix(hash, wholer_act_index(at->act));
        hash = digest_text(hash, at->label);
        for (u32 i = 0; i < at->trail_length; ++i) {
            hash = digest_mix(hash, (u64)at->trail[i]);
        }
    }
    for (u32 i = 0; i < history_length; ++i) {
        hash = digest_mix(hash, history[i]);
    }
    for (u32 i = 0; i < 16; ++i) {
        hash = digest_mix(hash, (u64)tallies.counts[i]);
    }
    return digest_text(hash, notes ? notes : "");
}

extern "C" void heap_scribble(void) {
    memset(tallies.counts, 0xEE, 16 * sizeof(int));
    for (u32 i = 0; i < 500 && head; ++i) {
        node* gone = head;
        head = head->next;
        delete gone;
    }
    for (u32 i = 0; i < 100; ++i) {
        node* made = new node;
        memset(made, 0xEE, sizeof(*made));
        made->next = head;
        head = made;
    }
}
