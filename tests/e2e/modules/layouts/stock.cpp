// A C++ program whose records live in the standard library's containers:
// items (each with a std::string name, long enough to live on the heap for
// some, short enough to live inside the string for others) in a std::list,
// a std::map keyed by number and a std::unordered_map keyed by name, and
// tags in a std::deque. It keeps its whole state and runs a deterministic
// simulation, writing every ten frames a digest of every value to
// "digest.log".
//
// Builds (STOCK_VERSION): 1, the first layout; 2, item with its id widened
// from 32 to 64 bits and a member (added) inserted in the middle: every
// item is converted in its container's node, and 2 computes what 1 does;
// 3, build 2 whose tag gains a member: tags in a deque, whose elements the
// reload can't find, so it waits.
#include <deque>
#include <list>
#include <map>
#include <stdio.h>
#include <string.h>
#include <string>
#include <unordered_map>

#include "engine/module.h"
#include "tests/e2e/modules/log.h"

ENGINE_KEEP_ALL;

#define ITEMS 300

struct item {
#if STOCK_VERSION == 1
    i32 id;
#else
    i64 id;     // widened
    u64 added;  // new
#endif
    std::string name;
    double weight;
};

struct tag {
    u32 mark;
#if STOCK_VERSION == 3
    u32 more;  // new
#endif
};

static u64 frame;
static std::list<item> shelf;
static std::map<int, item> by_number;
static std::unordered_map<std::string, item> by_name;
static std::deque<tag> tags;

static u64 mix(u64 hash, u64 value) {
    for (u32 i = 0; i < 8; ++i) {
        hash = (hash ^ ((value >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
    }
    return hash;
}

static u64 digest_item(u64 hash, const item& it) {
    u64 weight;
    memcpy(&weight, &it.weight, sizeof(weight));
    hash = mix(mix(hash, (u64)it.id), weight);
    for (char c : it.name) {
        hash = mix(hash, (u64)c);
    }
    return hash;
}

static void make_all() {
    for (int i = 0; i < ITEMS; ++i) {
        item it{};
        it.id = i;
        // Short names stay inside the string; every fifth is long enough for the heap.
        it.name = "item" + std::to_string(i) + (i % 5 == 0 ? std::string(40, 'x') : std::string());
        it.weight = i * 0.25;
        shelf.push_back(it);
        by_number[i * 3] = it;
        by_name[it.name] = it;
        tags.push_back(tag{(u32)i});
    }
}

static void step(item& it) {
    it.weight = it.weight * 0.5 + (double)((it.id + (i64)frame) % 7);
    if (frame % 20 == 0) {
        it.name[0] = (char)('a' + frame % 26);
    }
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds, (void)services, (void)module_slot;
    if (shelf.empty()) {
        make_all();
    }
    frame += 1;
    for (item& it : shelf) {
        step(it);
    }
    for (auto& entry : by_number) {
        step(entry.second);
    }
    for (auto& entry : by_name) {
        step(entry.second);
    }
    for (tag& t : tags) {
        t.mark = t.mark * 3 + 1;
    }
    if (frame % 10) {
        return;
    }
    u64 hash = mix(0xCBF29CE484222325ull, frame);
    u64 added = 0;
    for (const item& it : shelf) {
        hash = digest_item(hash, it);
#if STOCK_VERSION != 1
        added += it.added != 0;
#endif
    }
    for (const auto& entry : by_number) {
        hash = digest_item(mix(hash, (u64)entry.first), entry.second);
    }
    // A hash table's order is its own: summed, not chained.
    u64 named = 0;
    for (const auto& entry : by_name) {
        named += digest_item(0, entry.second) ^ std::hash<std::string>()(entry.first);
    }
    hash = mix(hash, named);
    for (const tag& t : tags) {
        hash = mix(hash, t.mark);
    }
    char line[160];
    append_log("digest.log", line,
               snprintf(line, sizeof(line), "v=%d frame=%llu digest=%016llx items=%zu added=%llu\n",
                        STOCK_VERSION, (unsigned long long)frame, (unsigned long long)hash,
                        shelf.size() + by_number.size() + by_name.size(),
                        (unsigned long long)added));
}
