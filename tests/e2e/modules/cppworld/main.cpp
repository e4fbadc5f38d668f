// A C++ program that never heard of hot reload, as such programs are
// written: strings the C++ runtime builds (std::to_string, operator+,
// assignment from a char*), maps keyed by strings and by the addresses of
// its globals and functions, std::function holding lambdas, shared_ptr,
// virtual classes in a vector of unique_ptr. It keeps its whole state and
// runs a deterministic simulation, writing a digest of its values (never of
// addresses) to "digest.log" every ten frames, and a line to a file it keeps
// open.
//
// Builds (CPPWORLD_VERSION): 1 and 2 compute the same, 2 with more code and
// constants (after the functions whose addresses are keys); 3 frees its
// strings and clears its containers and then faults, a few frames after it
// loads; 4 changes the layout of `stats` and faults at its first frame; 5
// adds a global before the keys, which moves them.
#include <stdio.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/module.h"
#include "tests/e2e/modules/log.h"

ENGINE_KEEP_ALL;

// Keys of the table by address: they keep their places in every build
// (the functions are keys.cpp's) but 5, which adds a global before them.
#if CPPWORLD_VERSION == 5
int added_first = 5;
#endif
int score = 1;
int lives = 3;
static int level = 7;
int cppworld_grow_by(int value);
int cppworld_shrink_by(int value);
#define grow_by cppworld_grow_by
#define shrink_by cppworld_shrink_by

#if CPPWORLD_VERSION == 4
struct tally {
    long hits;
    int misses;
    int spare;
};
tally stats = {0, 0, 0};
#else
struct tally {
    int hits;
    int misses;
};
tally stats = {0, 0};
#endif

struct shape {
    virtual ~shape() {}
    virtual long area() const = 0;
    virtual void grow(int by) = 0;
};

struct square : shape {
    long side;
    explicit square(long s) : side(s) {}
    long area() const override { return side * side; }
    void grow(int by) override { side = (side + by) % 1000; }
};

struct circle : shape {
    long radius;
    explicit circle(long r) : radius(r) {}
    long area() const override { return 3 * radius * radius; }
    void grow(int by) override { radius = (radius + by * 2) % 500; }
};

struct world {
    std::vector<std::unique_ptr<shape>> shapes;
    std::map<std::string, long> by_name;
    std::unordered_map<const void*, long> by_address;
    std::vector<std::function<long(long)>> steps;
    std::shared_ptr<std::string> motto;
    std::string line;
    std::string name;
    long counter = 0;
};

static world* the_world;
static unsigned long long frame;
// A file it keeps open, as programs keep their logs: the C library's, where
// the system puts it.
static FILE* journal;

static void make_world() {
    the_world = new world();
    for (int i = 0; i < 40; ++i) {
        if (i % 3) {
            the_world->shapes.emplace_back(new square(i + 1));
        } else {
            the_world->shapes.emplace_back(new circle(i + 2));
        }
    }
    the_world->by_address[&score] = 10;
    the_world->by_address[&lives] = 20;
    the_world->by_address[&level] = 30;
    the_world->by_address[(const void*)&grow_by] = 40;
    the_world->by_address[(const void*)&shrink_by] = 50;
    long bias = 3;
    the_world->steps.push_back([](long v) { return v * 3 % 10007; });
    the_world->steps.push_back([bias](long v) { return v + bias; });
    the_world->steps.push_back([](long v) { return v ^ 0x55; });
    the_world->motto = std::make_shared<std::string>("keep going");
}

// Each key looked up, as a program that keys by addresses does every frame:
// a key that moved is missed and counted.
static void visit_by_address() {
    const void* keys[] = {&score, &lives, &level, (const void*)&grow_by,
                          (const void*)&shrink_by};
    for (const void* key : keys) {
        auto found = the_world->by_address.find(key);
        if (found == the_world->by_address.end()) {
            stats.misses += 1;
        } else {
            found->second += 1;
            stats.hits += 1;
        }
    }
}

static void step() {
    world* w = the_world;
    for (size_t i = 0; i < w->shapes.size(); ++i) {
        w->shapes[i]->grow(i % 2 ? grow_by((int)frame) : shrink_by((int)frame));
        w->by_name["shape " + std::to_string(i % 25)] += w->shapes[i]->area() % 1000;
    }
    for (auto& apply : w->steps) {
        w->counter = apply(w->counter);
    }
    w->line = "frame " + std::to_string(frame) + " of " + *w->motto;
    const char* names[] = {"north", "east", "south", "west"};
    w->name = names[frame % 4];
    if (frame % 25 == 0) {
        w->motto = std::make_shared<std::string>(w->line + " and on");
    }
    score += (int)(frame % 3);
    visit_by_address();
}

static unsigned long long mix(unsigned long long hash, unsigned long long value) {
    for (int i = 0; i < 8; ++i) {
        hash = (hash ^ ((value >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
    }
    return hash;
}

static unsigned long long mix_text(unsigned long long hash, const std::string& text) {
    for (char c : text) {
        hash = (hash ^ (unsigned char)c) * 0x100000001B3ull;
    }
    return mix(hash, text.size());
}

static void write_digest() {
    world* w = the_world;
    unsigned long long hash = mix(0xCBF29CE484222325ull, frame);
    for (auto& s : w->shapes) {
        hash = mix(hash, (unsigned long long)s->area());
    }
    for (auto& entry : w->by_name) {
        hash = mix(mix_text(hash, entry.first), (unsigned long long)entry.second);
    }
    const void* keys[] = {&score, &lives, &level, (const void*)&grow_by,
                          (const void*)&shrink_by};
    for (const void* key : keys) {
        auto found = w->by_address.find(key);
        hash = mix(hash, found == w->by_address.end() ? 0 : (unsigned long long)found->second);
    }
    hash = mix(hash, (unsigned long long)w->counter);
    hash = mix_text(mix_text(mix_text(hash, w->line), w->name), *w->motto);
    hash = mix(mix(mix(hash, (unsigned long long)score), (unsigned long long)stats.hits),
               (unsigned long long)stats.misses);
    char text[160];
    append_log("digest.log", text,
               snprintf(text, sizeof(text), "v=%d frame=%llu digest=%016llx misses=%d\n",
                        CPPWORLD_VERSION, frame, hash, (int)stats.misses));
}

#if CPPWORLD_VERSION == 2
// Only here to make the code and the constants larger, after the keys.
static const char* const padding_words[] = {"more", "code", "and", "constants", "here"};
static long padded(long value) {
    long total = 0;
    for (int i = 0; i < 5; ++i) {
        total += (long)std::string(padding_words[i]).size() * (value % (i + 2));
    }
    return total;
}
#endif

#if CPPWORLD_VERSION == 3 || CPPWORLD_VERSION == 4
static volatile int* volatile nowhere;
#endif

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds, (void)services, (void)module_slot;
#if CPPWORLD_VERSION == 3
    // New in this build, so it starts from 0 at its load.
    static int frames_here;
    if (++frames_here == 3) {
        the_world->by_name.clear();
        the_world->line = std::string();
        the_world->name.clear();
        the_world->name.shrink_to_fit();
        the_world->motto.reset();
        the_world->steps.clear();
        the_world->shapes.clear();
        *nowhere = 1;
    }
#endif
#if CPPWORLD_VERSION == 4
    *nowhere = 1;
#endif
    if (!the_world) {
        make_world();
        journal = fopen("journal.txt", "a");
    }
    frame += 1;
    step();
#if CPPWORLD_VERSION == 2
    if (frame % 50 == 0) {
        the_world->counter += padded((long)frame) - padded((long)frame);
    }
#endif
    if (frame % 10 == 0) {
        write_digest();
        if (journal) {
            fprintf(journal, "frame %llu\n", frame);
            fflush(journal);
        }
    }
}
