#include "c_game.h"

struct defined_elsewhere {
    long weight;
};

struct state {
    double level;
};

struct node* nodes;
struct state state_b;
struct defined_elsewhere elsewhere;
mobj_t* monster;
struct message* inbox;
