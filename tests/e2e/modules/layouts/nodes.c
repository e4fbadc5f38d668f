// A C program whose record changes its layout between builds: a list of
// 2,000 malloc'ed nodes from a global pointer, an array of 300 nodes from
// one calloc, a global node, and a node inside another heap record that
// also points into a member of one of the array's nodes. It keeps its whole
// state and runs a deterministic simulation, whatever the input and the
// time, writing every ten frames a digest of every member's value, by name,
// to "digest.log".
//
// Builds (LAYOUTS_VERSION): 1, the first layout; 2, a member (weight)
// inserted in the middle of node, and id and value swapped: it computes what
// 1 does, and counts the nodes whose weight is not 0; 3, build 2 that
// scribbles over its nodes and faults in its first frame. LAYOUTS_ZONE: the
// list's nodes are carved, each after a header, from one malloc'ed zone, as
// in programs with an allocator of their own.
#include <stdlib.h>
#include <string.h>

#include "engine/module.h"
#include "tests/e2e/modules/log.h"

ENGINE_KEEP_ALL;

#define LIST_COUNT 2000
#define ARRAY_COUNT 300
#define WATCHED 7

#if LAYOUTS_VERSION == 1
typedef struct node {
    struct node* next;
    double mass;
    i32 value;
    u32 id;
    u32 tag;
    u32 flags;
} node;
#else
typedef struct node {
    struct node* next;
    double mass;
    u64 weight;  // new: 8 bytes more
    u32 id;      // id and value swapped
    i32 value;
    u32 tag;
    u32 flags;
} node;
#endif

typedef struct holder {
    u32 count;
    node inner;
    i32* watched;  // the value of array[WATCHED]
    u64 check;
} holder;

static u64 frame;
node* list;
node* array;
node global_node;
holder* box;

#if LAYOUTS_ZONE
// One allocation the program carves itself; what lies in it is the
// program's to know.
typedef struct zone_header {
    u64 size;
    u64 magic;
} zone_header;
unsigned char* zone;
u64 zone_used;

static node* new_node(void) {
    if (!zone) {
        zone = (unsigned char*)malloc(LIST_COUNT * (sizeof(zone_header) + sizeof(node)));
    }
    zone_header* header = (zone_header*)(zone + zone_used);
    header->size = sizeof(node);
    header->magic = 0x5A4F4E45;
    zone_used += sizeof(zone_header) + sizeof(node);
    node* made = (node*)(header + 1);
    memset(made, 0, sizeof(*made));
    return made;
}
#else
static node* new_node(void) { return (node*)calloc(1, sizeof(node)); }
#endif

static void set_node(node* n, u32 id) {
    n->id = id;
    n->value = (i32)(id * 7 % 1009);
    n->mass = 1.0 + id * 0.25;
    n->tag = id * 2654435761u;
    n->flags = id ^ 0xA5A5u;
}

static void make_all(void) {
    node** at = &list;
    for (u32 i = 0; i < LIST_COUNT; ++i) {
        *at = new_node();
        set_node(*at, i);
        at = &(*at)->next;
    }
    array = (node*)calloc(ARRAY_COUNT, sizeof(node));
    for (u32 i = 0; i < ARRAY_COUNT; ++i) {
        set_node(&array[i], 10000 + i);
        array[i].next = i + 1 < ARRAY_COUNT ? &array[i + 1] : NULL;
    }
    set_node(&global_node, 50000);
    global_node.next = &array[3];
    box = (holder*)malloc(sizeof(holder));
    memset(box, 0, sizeof(*box));
    set_node(&box->inner, 60000);
    box->inner.next = list;
    box->watched = &array[WATCHED].value;
}

static void step_node(node* n, u64 now) {
    n->value = (n->value * 31 + (i32)(now & 0xFF) + (i32)(n->id & 0xFFFF)) % 100003;
    n->mass = n->mass * 0.5 + (double)(n->value % 97);
    n->tag = n->tag * 1664525u + 1013904223u;
    n->flags ^= (u32)now << (n->id % 13);
}

// Every 25 frames the list's first node goes to its end.
static void rotate_list(void) {
    node* first = list;
    list = first->next;
    first->next = NULL;
    node* last = list;
    while (last->next) {
        last = last->next;
    }
    last->next = first;
}

static u64 mix(u64 hash, u64 value) {
    for (u32 i = 0; i < 8; ++i) {
        hash = (hash ^ ((value >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
    }
    return hash;
}

static u64 digest_node(u64 hash, const node* n, u32* weights) {
    u64 mass;
    memcpy(&mass, &n->mass, sizeof(mass));
    hash = mix(hash, n->id);
    hash = mix(hash, (u64)(i64)n->value);
    hash = mix(hash, mass);
    hash = mix(hash, n->tag);
    hash = mix(hash, n->flags);
#if LAYOUTS_VERSION != 1
    *weights += n->weight != 0;
#else
    (void)weights;
#endif
    return hash;
}

static void write_digest(void) {
    u64 hash = mix(0xCBF29CE484222325ull, frame);
    u32 weights = 0;
    u32 listed = 0;
    for (const node* n = list; n; n = n->next, ++listed) {
        hash = digest_node(hash, n, &weights);
    }
    for (u32 i = 0; i < ARRAY_COUNT; ++i) {
        hash = digest_node(hash, &array[i], &weights);
        hash = mix(hash, array[i].next ? array[i].next->id : 0);
    }
    hash = digest_node(hash, &global_node, &weights);
    hash = mix(hash, global_node.next->id);
    hash = digest_node(hash, &box->inner, &weights);
    hash = mix(hash, box->inner.next->id);
    hash = mix(hash, box->count);
    hash = mix(hash, box->check);
    hash = mix(hash, (u64)(i64)*box->watched);
    hash = mix(hash, box->watched == &array[WATCHED].value);
    char line[160];
    append_log("digest.log", line,
               snprintf(line, sizeof(line), "v=%d frame=%llu digest=%016llx nodes=%u weights=%u\n",
                        LAYOUTS_VERSION, (unsigned long long)frame, (unsigned long long)hash,
                        listed, weights));
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds, (void)services, (void)module_slot;
    if (!list) {
        make_all();
    }
#if LAYOUTS_VERSION == 3
    static volatile int* volatile nowhere;
    for (node* n = list; n; n = n->next) {
        n->value = -1;
        n->mass = -1.0;
    }
    memset(array, 0xEE, ARRAY_COUNT * sizeof(node));
    box->count = 0;
    *nowhere = 1;
#endif
    frame += 1;
    for (node* n = list; n; n = n->next) {
        step_node(n, frame);
    }
    for (u32 i = 0; i < ARRAY_COUNT; ++i) {
        step_node(&array[i], frame);
    }
    step_node(&global_node, frame);
    step_node(&box->inner, frame);
    *box->watched += 3;
    box->count += 1;
    box->check = mix(box->check, (u64)(i64)box->inner.value);
    if (frame % 25 == 0) {
        rotate_list();
    }
    if (frame % 10 == 0) {
        write_digest();
    }
}
