#include "c_game.h"

// Differently in the other file: two layouts of one name.
struct state {
    int level;
};

mobj_t players[4];
point origin;
struct holder holder;
struct node first_node;
struct state state_a;
static int counter;

int count(void) {
    static int calls;
    return ++calls + counter;
}
