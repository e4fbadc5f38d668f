// The types of a small C game, shared by both of its files: each file's
// DWARF describes them again, and the graph keeps one of each.
#ifndef C_GAME_H
#define C_GAME_H

typedef struct vec2 {
    float x, y;
} vec2_t;

struct node {
    struct node* next;
    int value;
};

typedef enum kind { KIND_NONE, KIND_MONSTER, KIND_ITEM } kind_t;
enum sign { SIGN_NEGATIVE = -1, SIGN_POSITIVE = 1 };

typedef struct mobj_s {
    struct node* list;
    vec2_t position;
    int health[4];
    unsigned flags : 3;
    unsigned visible : 1;
    signed char tag;
    struct mobj_s* target;
    long long grid[2][3];
    kind_t kind;
    enum sign sign;
    _Bool alive;
    double speed;
    void (*think)(struct mobj_s*);
    char name[16];
    union {
        int i;
        float f;
    } value;
    const volatile int* watched;
} mobj_t;

struct message {
    int length;
    unsigned char bytes[];
};

typedef struct {
    int x, y;
} point;

struct declared_only;
struct defined_elsewhere;

struct holder {
    struct declared_only* opaque;
    struct defined_elsewhere* elsewhere;
    point corner;
};

#endif
