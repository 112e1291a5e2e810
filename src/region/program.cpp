#include "program.hpp"

namespace zolvin::region {

namespace {

// Masks only hold bits of existing leaves, so up to kTableLeaves leaves the
// table covers every mask the sweep can form.
constexpr int kTableLeaves = 10;

}  // namespace

Program::Program(std::span<const Rule> rules, std::span<const std::int32_t> ops)
    : rules_(rules.begin(), rules.end()), ops_(ops.begin(), ops.end()) {
    if (ops_.empty() || leaves() > kTableLeaves) return;
    const std::uint64_t n = std::uint64_t{1} << leaves();
    std::vector<std::uint8_t> table(n);
    for (std::uint64_t m = 0; m < n; ++m) table[m] = evaluate(m) ? 1 : 0;
    table_ = std::move(table);
}

bool Program::evaluate(std::uint64_t mask) const {
    std::uint64_t stack = 0;  // bit k: the value k places below the top
    for (const std::int32_t op : ops_) {
        if (op >= 0) {
            stack = (stack << 1) | ((mask >> op) & 1u);
            continue;
        }
        const std::uint64_t top = stack & 1u;
        if (op == op_not) {
            stack ^= 1u;
            continue;
        }
        stack >>= 1;
        const std::uint64_t below = stack & 1u;
        std::uint64_t v = 0;
        switch (op) {
            case op_or: v = below | top; break;
            case op_and: v = below & top; break;
            case op_diff: v = below & (top ^ 1u); break;
            default: v = below ^ top; break;
        }
        stack = (stack & ~std::uint64_t{1}) | v;
    }
    return (stack & 1u) != 0;
}

}  // namespace zolvin::region
