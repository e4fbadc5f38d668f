#include "cpp_world.h"

namespace game {
Base::~Base() {}
int Base::value() const { return hits; }
int Agent::value() const { return hits + (int)speed; }
int Mixed::value() const { return a + extra; }
int Outer::shared = 3;
}  // namespace game

std::vector<std::unique_ptr<game::Base>> objects;
std::list<int> numbers;
std::map<int, int> table;
static Hidden hidden_a;
game::Shared shared;
game::Outer outer;

int local_statics() {
    struct Local {
        int q;
    };
    static Local local;
    static game::Mixed mixed;
    return local.q + mixed.value() + hidden_a.h;
}
