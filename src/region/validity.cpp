// Whether a region's rings are simple enough for the positive rule: a sweep
// for two segments of one group that cross.
#include <algorithm>
#include <tuple>
#include <vector>

#include "../parallel.hpp"
#include "region.hpp"

namespace zolvin::region {

namespace {

// The segments but the later copies of a segment of the same group (the same
// ends, either way round): a copy crosses whatever its first crosses, and a
// ring run round many times would otherwise test every copy against every
// other.
std::vector<std::int64_t> without_copies(std::span<const Segment> segs,
                                         std::span<const std::int32_t> group,
                                         std::vector<std::int64_t> order) {
    auto key = [&](std::int64_t k) {
        const Segment& s = segs[k];
        const bool flip = s.x1 < s.x0 || (s.x1 == s.x0 && s.y1 < s.y0);
        return std::make_tuple(group[k], flip ? s.x1 : s.x0, flip ? s.y1 : s.y0,
                               flip ? s.x0 : s.x1, flip ? s.y0 : s.y1);
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::int64_t a, std::int64_t b) { return key(a) < key(b); });
    order.erase(std::unique(order.begin(), order.end(),
                            [&](std::int64_t a, std::int64_t b) { return key(a) == key(b); }),
                order.end());
    return order;
}

}  // namespace

std::pair<std::int64_t, std::int64_t> find_crossing(std::span<const Segment> segs,
                                                    std::span<const std::int32_t> group) {
    // Sweep over x: each segment is tested against those whose x-ranges it meets.
    const std::size_t n = segs.size();
    std::vector<std::int64_t> order(n);
    for (std::size_t k = 0; k < n; ++k) order[k] = static_cast<std::int64_t>(k);
    auto xlo = [&](std::int64_t k) { return std::min(segs[k].x0, segs[k].x1); };
    auto xhi = [&](std::int64_t k) { return std::max(segs[k].x0, segs[k].x1); };
    order = without_copies(segs, group, std::move(order));
    std::sort(order.begin(), order.end(),
              [&](std::int64_t a, std::int64_t b) { return xlo(a) < xlo(b); });
    auto side = [](double ax, double ay, double bx, double by, double px, double py) {
        const double c = (bx - ax) * (py - ay) - (by - ay) * (px - ax);
        return (c > 0) - (c < 0);
    };
    std::vector<std::int64_t> active;
    std::size_t done = 0;
    for (const std::int64_t k : order) {
        if (++done % 1024 == 0) check_stop();
        const Segment& s = segs[k];
        std::size_t keep = 0;
        for (std::size_t q = 0; q < active.size(); ++q) {
            const std::int64_t o = active[q];
            if (xhi(o) < xlo(k)) continue;
            active[keep++] = o;
            if (group[o] != group[k]) continue;
            const Segment& t = segs[o];
            if (std::max(s.y0, s.y1) < std::min(t.y0, t.y1) ||
                std::max(t.y0, t.y1) < std::min(s.y0, s.y1))
                continue;
            const int a = side(s.x0, s.y0, s.x1, s.y1, t.x0, t.y0);
            const int b = side(s.x0, s.y0, s.x1, s.y1, t.x1, t.y1);
            const int c = side(t.x0, t.y0, t.x1, t.y1, s.x0, s.y0);
            const int d = side(t.x0, t.y0, t.x1, t.y1, s.x1, s.y1);
            if (a * b < 0 && c * d < 0) return {std::min(o, k), std::max(o, k)};
        }
        active.resize(keep);
        active.push_back(k);
    }
    return {-1, -1};
}

}  // namespace zolvin::region
