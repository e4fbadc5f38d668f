// A C++ program whose virtual base class changes its layout between
// builds: 400 Movers and 200 Spinners made with new, held in a
// std::vector<std::unique_ptr<Shape>>, with a raw pointer to one of them
// beside it. It keeps its whole state and runs a deterministic simulation
// through virtual calls, writing every ten frames a digest of every
// member's value, by name, to "digest.log".
//
// Builds (SHAPES_VERSION): 1, the first layout; 2, Shape with a member
// (added) inserted in the middle, one (spare) removed, and x and y swapped:
// 8 bytes more. It computes what 1 does, and counts the shapes whose added
// is not 0.
#include <memory>
#include <stdio.h>
#include <string.h>
#include <vector>

#include "engine/module.h"
#include "tests/e2e/modules/log.h"

ENGINE_KEEP_ALL;

// Every third a Spinner.
#define MOVERS 400
#define SPINNERS 200

static u64 mix(u64 hash, u64 value) {
    for (u32 i = 0; i < 8; ++i) {
        hash = (hash ^ ((value >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
    }
    return hash;
}

static u64 bits(double value) {
    u64 out;
    memcpy(&out, &value, sizeof(out));
    return out;
}

struct Shape {
    virtual ~Shape() {}
    virtual void step(u64 frame) = 0;
    virtual u64 digest(u64 hash) const = 0;
    u32 id;
#if SHAPES_VERSION == 1
    float x;
    float y;
    i32 spare;  // removed in 2
#else
    float y;  // x and y swapped
    float x;
    u64 added;  // new
#endif
    double energy;
    u16 kind;

    u64 digest_shape(u64 hash) const {
        hash = mix(hash, id);
        hash = mix(hash, bits(x));
        hash = mix(hash, bits(y));
        hash = mix(hash, bits(energy));
        return mix(hash, kind);
    }
};

struct Mover : Shape {
    double speed;
    u32 steps;

    void step(u64 frame) override {
        x += (float)speed;
        y -= (float)(frame % 7) * 0.5f;
        energy = energy * 0.75 + speed;
        steps += 1;
        if (steps % 40 == 0) {
            speed = -speed;
        }
    }
    u64 digest(u64 hash) const override {
        hash = mix(digest_shape(hash), bits(speed));
        return mix(hash, steps);
    }
};

struct Spinner : Shape {
    float angle;
    float turn;
    i32 turns;

    void step(u64 frame) override {
        angle += turn;
        if (angle > 360.0f) {
            angle -= 360.0f;
            turns += 1;
        }
        energy += (double)(frame % 11) * 0.125;
        x = y * 0.5f + angle;
    }
    u64 digest(u64 hash) const override {
        hash = mix(digest_shape(hash), bits(angle));
        hash = mix(hash, bits(turn));
        return mix(hash, (u64)(i64)turns);
    }
};

std::vector<std::unique_ptr<Shape>> shapes;
Shape* favourite;
static u64 frame;

static void make_all() {
    for (u32 i = 0; i < MOVERS + SPINNERS; ++i) {
        Shape* made;
        if (i % 3 == 2) {
            Spinner* s = new Spinner();
            s->angle = (float)(i % 360);
            s->turn = 1.5f + (float)(i % 5);
            s->turns = 0;
            s->kind = 2;
            made = s;
        } else {
            Mover* m = new Mover();
            m->speed = 0.25 * (double)(i % 9) - 1.0;
            m->steps = 0;
            m->kind = 1;
            made = m;
        }
        made->id = i;
        made->x = (float)i;
        made->y = (float)(i * 2 % 101);
        made->energy = (double)i * 0.5;
#if SHAPES_VERSION == 1
        made->spare = (i32)i * 3;
#endif
        shapes.emplace_back(made);
    }
    favourite = shapes[5].get();
}

static void write_digest() {
    u64 hash = mix(0xCBF29CE484222325ull, frame);
    u32 added = 0;
    u32 movers = 0;
    for (const std::unique_ptr<Shape>& shape : shapes) {
        hash = shape->digest(hash);
        movers += shape->kind == 1;
#if SHAPES_VERSION != 1
        added += shape->added != 0;
#endif
    }
    hash = favourite->digest(hash);
    char line[160];
    append_log("digest.log", line,
               snprintf(line, sizeof(line),
                        "v=%d frame=%llu digest=%016llx shapes=%u movers=%u added=%u\n",
                        SHAPES_VERSION, (unsigned long long)frame, (unsigned long long)hash,
                        (u32)shapes.size(), movers, added));
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds, (void)services, (void)module_slot;
    if (shapes.empty()) {
        make_all();
    }
    frame += 1;
    for (std::unique_ptr<Shape>& shape : shapes) {
        shape->step(frame);
    }
    if (frame % 10 == 0) {
        write_digest();
    }
}
