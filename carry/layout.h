// Changed layouts: when the next build describes a type (by name) with other
// members, offsets or member types than the running build, every live object
// of it is found through typed pointers and converted member by member by
// name, before the running build goes.
//
// Found: the globals and statics, and what their typed pointers reach,
// transitively: heap objects (an allocation's size tells how many; a
// vector's ends tell its elements), objects embedded in others, a C++
// object by the type its virtual table names. What is reached only through
// void*, a union or a char buffer is never typed by guess.
//
// Converted: a member of the same name and type is copied; a scalar of
// another type converted where the value holds (integer widths, float and
// double), else it starts at zero and is named; a new member starts at zero;
// records and arrays member by member. A heap object of a changed type gets
// an allocation of its new size, and every pointer to it or into one of its
// members moves with it. An object of a type that grew, inside memory the
// program carves up itself (one allocation holding many objects, or memory
// that is not the heap's), can't grow there: the next build is refused.
#ifndef CARRY_LAYOUT_H
#define CARRY_LAYOUT_H

#include "carry/image.h"
#include "carry/names.h"
#include "carry/scan.h"
#include "carry/types.h"

// An object converted: where it lay, where it lies now (the same place for
// one converted where it lay), and its elements' types in each build.
typedef struct layout_object {
    u64 old_start;
    u64 old_size;  // count elements of old_type
    u64 new_start;
    u64 new_size;
    u64 count;
    u32 old_type;  // in the running build's graph
    u32 new_type;  // in the next build's
} layout_object;

// A vector's end pointers, as they were: its buffer is converted, and its
// end of storage may lie just past it, where another allocation begins.
typedef struct layout_vector {
    u64 finish_at;  // where the pointer to its end lies (it may move with what holds it)
    u64 storage_at; // where the pointer to its storage's end lies (0: none known)
    u64 begin;      // what its start held: the buffer
    u64 finish;
    u64 storage;
} layout_vector;

typedef struct layout_plan {
    const type_graph* from;  // the running build's types
    const type_graph* to;    // the next build's
    u8* verdict;             // per type of from: 0 not yet compared, else a LAYOUT_ value
    u32* match;              // per type of from: its counterpart in to (TYPE_NONE: none)
    u64* converted;          // per type of from: objects converted (for the note)
    layout_object* objects;  // sorted by old_start once converted
    u64 object_count;
    u64 object_capacity;
    u32 changed_types;       // named records whose layout changed
    long_text note;          // "converted 212 mobj_t (added: flags2), 1 player_t"
    name_list lost;          // pointers into members the next build lacks: set to null
    name_list zeroed;        // members whose values the next build's types can't hold: "node.id"
    u8* scratch;             // room to convert an object where it lies
    // The converted objects by the 256-byte granules they touch: granule + 1
    // and the first object's index, open addressing (null: search instead).
    u64* granule_keys;
    u64* granule_first;
    u64 granule_slots;
    // The same for objects from small allocations' starts, slab by slab: the
    // slab's address, its objects' size and their indices + 1 by place.
    u64* slab_keys;
    u32** slab_objects;
    u32* slab_sizes;
    u64 slab_slots;     // 0: not used
    u64 slab_capacity;
    u32** member_maps;       // per changed type of from: its members' in the next build's order
    void** programs;         // per changed type of from: how its objects are converted
    u32* storage_from;       // per type of from: the element an aligned storage holds
    u32* storage_to;         // the same for to (TYPE_NONE: none; unset: not looked at)
    u32* changed;            // the changed records of from, changed_types of them
    u8* library;             // per type of from: the standard library's (2) or not (1)
    layout_vector* vectors;  // of buffers converted
    u64 vector_count;
    u64 vector_capacity;
} layout_plan;

// Sets a plan up from the running build's types to the next's, and compares
// them: false when no type's layout changed (nothing else to do), true
// when some did.
bool32 layout_compare(layout_plan* plan, const type_graph* from, const type_graph* to);

// Finds the live objects of the changed types, from the running build's
// globals (running: its layout, still loaded), and makes room for those
// that move, writing nothing of the program's. False, with why in words
// and nothing held, when they can't all be converted exactly ("mobj_t grew
// by 4 bytes and 212 of its objects live in memory the program manages
// itself").
bool32 layout_prepare(layout_plan* plan, const image_layout* running, void** slot, char* why,
                      u32 capacity);

// Once the next build is loaded, before it is given the state: converts
// the objects found, and moves every pointer to one: in the module's
// memory, the slot, the running build's globals as taken (values, which
// lay at values_base) and the
// places of the words found there (words, scan.h).
void layout_execute(layout_plan* plan, u8* values, u64 values_base, u64 values_size, void** slot,
                    found_word* words, u64 word_count);

// Moves the pointers to converted objects in a copy of globals (values),
// after layout_execute and before the plan is let go.
void layout_move_values(layout_plan* plan, u8* values, u64 values_size);

// Lets go of what layout_prepare made room for (the next build did not load).
void layout_cancel(layout_plan* plan);

// A global's value from the running build's bytes (old_type) into the next
// build's object (new_type, new_size bytes, which it fills); false when the
// two types have nothing to convert by (then nothing is written).
bool32 layout_convert_value(layout_plan* plan, u32 old_type, u32 new_type, const u8* old_bytes,
                            u8* new_bytes, u64 new_size);

// Where offset into an object of old_type lies in the same object of
// new_type; false when the member it is in is gone.
bool32 layout_map_offset(layout_plan* plan, u32 old_type, u32 new_type, u64 offset,
                         u64* mapped);

// The first changed type's name as users know it ("mobj_t"), "" for none.
const char* layout_changed_name(const layout_plan* plan);

// Writes note: what was converted, heap objects and globals alike.
void layout_write_note(layout_plan* plan);

void layout_free(layout_plan* plan);

#endif
