#include "cpp_world.h"

static Hidden hidden_b;
Pair pair;
std::string title = "world";

int fill() {
    objects.push_back(std::make_unique<game::Agent>());
    numbers.push_back(1);
    table[1] = 2;
    return local_statics() + hidden_b.h + (int)pair.first;
}
