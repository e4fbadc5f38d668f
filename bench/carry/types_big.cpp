// A C++ program of the size whose type graph a reload reads: each of eight
// units (UNIT_ID 1 to 8) includes much of the standard library and uses its
// containers, strings, regular expressions and functions (types_bench).
#include <vector>
#include <map>
#include <unordered_map>
#include <string>
#include <memory>
#include <functional>
#include <list>
#include <deque>
#include <set>
#include <regex>
#include <sstream>
#include <iostream>
#include <thread>
#include <mutex>
#include <variant>
#include <optional>
#include <algorithm>
struct Thing {
    virtual ~Thing() {}
    std::string name;
    std::map<std::string, int> tags;
};

#define UNIT(n)                                                                      \
    std::vector<std::unique_ptr<Thing>> things##n;                                   \
    std::unordered_map<std::string, std::vector<int>> index##n;                      \
    std::function<int(int)> f##n = [](int x) { return x * n; };                      \
    std::deque<std::string> queue##n;                                                \
    std::set<std::pair<int, std::string>> ordered##n;                                \
    std::variant<int, std::string, double> v##n;                                     \
    int use##n() {                                                                   \
        std::regex r("a+b");                                                         \
        std::stringstream s;                                                         \
        s << n;                                                                      \
        things##n.push_back(std::make_unique<Thing>());                              \
        index##n[s.str()].push_back(n);                                              \
        queue##n.push_back(s.str());                                                 \
        ordered##n.insert({n, s.str()});                                             \
        std::mutex m;                                                                \
        std::lock_guard<std::mutex> g(m);                                            \
        return std::regex_match(s.str(), r) + f##n(n) + (int)index##n.size() +      \
               (int)std::get<int>(v##n);                                             \
    }
#define EXPAND(n) UNIT(n)
EXPAND(UNIT_ID)
