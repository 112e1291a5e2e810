// Whether a region's rings are simple enough for the positive rule: a sweep
// for two segments of one group that cross.
#include <algorithm>
#include <cmath>
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

// Where y falls among `count` equal bands of [lo, lo + 2 * half], half the
// span kept apart so that spans near the largest doubles do not overflow.
struct Bands {
    double lo, half;
    std::int64_t count;
    std::int64_t of(double y) const {
        if (!(half > 0)) return 0;
        const double at = (y * 0.5 - lo * 0.5) / half * static_cast<double>(count);
        if (!(at > 0)) return 0;
        return std::min<std::int64_t>(static_cast<std::int64_t>(std::min(at, 1e18)), count - 1);
    }
};

// Bands of y for the sweep: about sqrt(n) of them, fewer where the segments
// span many, so that the entries (a segment in every band its y-range meets)
// stay within about eight per segment.
Bands bands_for(std::span<const Segment> segs, const std::vector<std::int64_t>& order) {
    double lo = INFINITY, hi = -INFINITY;
    for (const std::int64_t k : order) {
        lo = std::min({lo, segs[k].y0, segs[k].y1});
        hi = std::max({hi, segs[k].y0, segs[k].y1});
    }
    const double half = hi * 0.5 - lo * 0.5;
    double spans = 0;  // the segments' y-ranges, in units of the whole
    if (half > 0) {
        for (const std::int64_t k : order) {
            spans += std::fabs(segs[k].y1 * 0.5 - segs[k].y0 * 0.5) / half;
        }
    }
    const auto n = static_cast<double>(order.size());
    const double count = std::min({2 * std::sqrt(n), 7 * n / std::max(spans, 1.0), 65536.0});
    return {lo, half, std::max<std::int64_t>(1, static_cast<std::int64_t>(count))};
}

std::pair<std::int64_t, std::int64_t> find_crossing(std::span<const Segment> segs,
                                                    std::span<const std::int32_t> group) {
    // Sweep over x: each segment is tested against the earlier ones whose
    // x-ranges and y-ranges both meet its own. The earlier ones are kept in
    // bands of y (each in every band its y-range meets), so that segments
    // far apart in y are never visited; those whose x-ranges end before the
    // sweep are dropped from a band as it is read.
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
    const Bands bands = bands_for(segs, order);
    std::vector<std::vector<std::int64_t>> active(static_cast<std::size_t>(bands.count));
    std::vector<std::int64_t> seen(n, -1);  // the last segment each was tested against
    std::size_t done = 0;
    for (const std::int64_t k : order) {
        if (++done % 1024 == 0) check_stop();
        const Segment& s = segs[k];
        const std::int64_t b0 = bands.of(std::min(s.y0, s.y1));
        const std::int64_t b1 = bands.of(std::max(s.y0, s.y1));
        for (std::int64_t b = b0; b <= b1; ++b) {
            auto& band = active[static_cast<std::size_t>(b)];
            std::size_t keep = 0;
            for (std::size_t q = 0; q < band.size(); ++q) {
                const std::int64_t o = band[q];
                if (xhi(o) < xlo(k)) continue;
                band[keep++] = o;
                if (seen[o] == k || group[o] != group[k]) continue;
                seen[o] = k;
                const Segment& t = segs[o];
                if (std::max(s.y0, s.y1) < std::min(t.y0, t.y1) ||
                    std::max(t.y0, t.y1) < std::min(s.y0, s.y1))
                    continue;
                const int a = side(s.x0, s.y0, s.x1, s.y1, t.x0, t.y0);
                const int c1 = side(s.x0, s.y0, s.x1, s.y1, t.x1, t.y1);
                const int c = side(t.x0, t.y0, t.x1, t.y1, s.x0, s.y0);
                const int d = side(t.x0, t.y0, t.x1, t.y1, s.x1, s.y1);
                if (a * c1 < 0 && c * d < 0) return {std::min(o, k), std::max(o, k)};
            }
            band.resize(keep);
            band.push_back(k);
        }
    }
    return {-1, -1};
}

}  // namespace zolvin::region
