// Leaf memberships and the boolean program over them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "region.hpp"

namespace zolvin::region {

// Whether a winding number makes a point a member of its leaf.
inline bool member(Rule rule, std::int32_t winding) {
    switch (rule) {
        case Rule::nonzero: return winding != 0;
        case Rule::evenodd: return (winding & 1) != 0;
        default: return winding > 0;
    }
}

// A region's leaf rules and program, asked once per piece the sweep crosses:
// whether a point whose leaf memberships are the bits of a mask is inside.
class Program {
public:
    Program(std::span<const Rule> rules, std::span<const std::int32_t> ops);

    int leaves() const { return static_cast<int>(rules_.size()); }
    Rule rule(std::int32_t leaf) const { return rules_[leaf]; }

    bool inside(std::uint64_t mask) const {
        if (!table_.empty()) return table_[mask] != 0;
        return ops_.empty() ? mask != 0 : evaluate(mask);
    }

private:
    bool evaluate(std::uint64_t mask) const;  // with ops_ not empty

    std::vector<Rule> rules_;
    std::vector<std::int32_t> ops_;  // empty: the union of all leaves
    // The program's value for every mask, when the leaves are few enough to
    // list them.
    std::vector<std::uint8_t> table_;
};

}  // namespace zolvin::region
