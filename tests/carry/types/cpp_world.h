// A C++ program's types, shared by both of its files.
#ifndef CPP_WORLD_H
#define CPP_WORLD_H

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace game {

struct Base {
    virtual ~Base();
    virtual int value() const;
    int hits;
};

struct Agent : Base {
    int value() const override;
    float speed;
};

struct Plain {
    int a;
};

struct Mixed : Plain, Agent {
    int value() const override;
    short extra;
};

struct Shared : virtual Plain {
    int b;
};

struct Outer {
    struct Inner {
        int x;
    } inner;
    static int shared;
};

}  // namespace game

namespace {
struct Hidden {
    int h;
};
}  // namespace

struct Pair {
    long first;
    int (game::Base::*method)() const;
    int game::Plain::*field;
};

extern std::vector<std::unique_ptr<game::Base>> objects;
extern std::list<int> numbers;
extern std::map<int, int> table;

int local_statics();

#endif
