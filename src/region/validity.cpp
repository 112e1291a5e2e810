// Whether a region's rings are simple enough for the positive rule: a sweep
// for two segments of one group that cross.
#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>
#include <vector>

#include "../parallel.hpp"
#include "orient.hpp"
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

// Bands of y that choose which earlier segment a crossing one is named with:
// about sqrt(n) of them, fewer where the segments span many. (An earlier
// check walked these bands; refusals keep naming the pair it named.)
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

// A segment with its ends in the sweep's order: left end first, the lower
// first when vertical (the sweep meets points by x, then by y).
struct Seg {
    double lx, ly, rx, ry;
    std::int64_t id;
};

Seg sweep_seg(const Segment& s, std::int64_t id) {
    if (s.x1 < s.x0 || (s.x1 == s.x0 && s.y1 < s.y0)) return {s.x1, s.y1, s.x0, s.y0, id};
    return {s.x0, s.y0, s.x1, s.y1, id};
}

// Whether s and t cross properly: each has its ends strictly either side of
// the other's line. Touching, or lying on one line, is no crossing.
bool cross(const Seg& s, const Seg& t) {
    if (orient(s.lx, s.ly, s.rx, s.ry, t.lx, t.ly) * orient(s.lx, s.ly, s.rx, s.ry, t.rx, t.ry) >= 0)
        return false;
    return orient(t.lx, t.ly, t.rx, t.ry, s.lx, s.ly) * orient(t.lx, t.ly, t.rx, t.ry, s.rx, s.ry) < 0;
}

// Whether s and t meet anywhere but at an end of both: a vertex of one on
// the other, a crossing, or an overlap along one line. Two edges that share
// an end and do not lie on one line meet only there.
bool meets(const Seg& s, const Seg& t) {
    const int a = orient(s.lx, s.ly, s.rx, s.ry, t.lx, t.ly);
    const int b = orient(s.lx, s.ly, s.rx, s.ry, t.rx, t.ry);
    if (a * b > 0) return false;
    const int c = orient(t.lx, t.ly, t.rx, t.ry, s.lx, s.ly);
    const int d = orient(t.lx, t.ly, t.rx, t.ry, s.rx, s.ry);
    if (c * d > 0) return false;
    auto before = [](double x0, double y0, double x1, double y1) {  // in the sweep's order
        return x0 < x1 || (x0 == x1 && y0 < y1);
    };
    if (a == 0 && b == 0) {
        // On one line: their spans overlap unless one ends where, or before,
        // the other starts.
        return before(t.lx, t.ly, s.rx, s.ry) && before(s.lx, s.ly, t.rx, t.ry);
    }
    auto same = [](double x0, double y0, double x1, double y1) { return x0 == x1 && y0 == y1; };
    return !(same(s.lx, s.ly, t.lx, t.ly) || same(s.lx, s.ly, t.rx, t.ry) ||
             same(s.rx, s.ry, t.lx, t.ly) || same(s.rx, s.ry, t.rx, t.ry));
}

// Where s lies against a just after s's left end, which a's span holds: +1
// above. From a point on a, the side s leaves to; along a, the earlier id
// below, so that every order asked is one order.
int side_of(const Seg& s, const Seg& a) {
    int r = orient(a.lx, a.ly, a.rx, a.ry, s.lx, s.ly);
    if (r == 0) r = orient(a.lx, a.ly, a.rx, a.ry, s.rx, s.ry);
    if (r == 0) r = (s.id > a.id) - (s.id < a.id);
    return r;
}

// The order of the segments the sweep line meets, bottom to top. Two are
// only compared when one of them starts at the sweep's point: that one is
// placed against the other there.
struct Below {
    const std::vector<Seg>* segs;
    bool operator()(std::int32_t i, std::int32_t j) const {
        if (i == j) return false;
        const Seg &a = (*segs)[i], &b = (*segs)[j];
        const bool a_later = a.lx > b.lx || (a.lx == b.lx && a.ly >= b.ly);
        return a_later ? side_of(a, b) < 0 : side_of(b, a) > 0;
    }
};

// Whether any two of the first m segments cross properly. Segments enter the
// ordered set at their left ends and leave at their right ends, and only
// neighbours in it are tested. Before the leftmost crossing the order is
// that of the plane, and just before it the two crossing segments are
// neighbours, or become neighbours when the segments between them (which
// can only end there) leave: so the first crossing is found, and the sweep
// stops at it, answering one more than the later of the two (0: none).
// Cost: m log m. With `touching`, segments that meet count as crossing (see
// meets): the same sweep finds the leftmost meeting point of two.
std::size_t any_crossing(const std::vector<Seg>& segs, std::size_t m, bool touching = false) {
    struct Event {
        double x, y;
        int enter;  // leaving comes first at a point
        std::int32_t k;
    };
    std::vector<Event> events;
    events.reserve(2 * m);
    for (std::size_t k = 0; k < m; ++k) {
        const Seg& s = segs[k];
        if (s.lx == s.rx && s.ly == s.ry) continue;  // a point crosses nothing
        events.push_back({s.lx, s.ly, 1, static_cast<std::int32_t>(k)});
        events.push_back({s.rx, s.ry, 0, static_cast<std::int32_t>(k)});
    }
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return std::tie(a.x, a.y, a.enter, a.k) < std::tie(b.x, b.y, b.enter, b.k);
    });
    using Active = std::set<std::int32_t, Below>;
    Active active(Below{&segs});
    std::vector<Active::iterator> where(m, active.end());
    auto crossing = [&](Active::iterator a, Active::iterator b) -> std::size_t {
        if (a == active.end() || b == active.end()) return 0;
        const Seg &s = segs[*a], &t = segs[*b];
        if (!(touching ? meets(s, t) : cross(s, t))) return 0;
        return static_cast<std::size_t>(std::max(*a, *b)) + 1;
    };
    std::size_t done = 0;
    for (const Event& e : events) {
        if (++done % 4096 == 0) check_stop();
        if (e.enter) {
            const auto it = active.insert(e.k).first;
            where[e.k] = it;
            if (const std::size_t c = crossing(it, std::next(it))) return c;
            if (it == active.begin()) continue;
            if (const std::size_t c = crossing(std::prev(it), it)) return c;
        } else {
            const auto it = where[e.k];
            const auto up = std::next(it);
            const std::size_t c = it == active.begin() ? 0 : crossing(std::prev(it), up);
            if (c) return c;
            active.erase(it);
        }
    }
    return 0;
}

// The first position in the sweep's order (by left x) whose segment crosses
// an earlier one of its group, or -1: in each group, the shortest run of its
// segments (in that order) that holds a crossing, by bisection (each crossing
// found bounds that run from above).
std::int64_t first_crossing(std::span<const Segment> segs, std::span<const std::int32_t> group,
                            const std::vector<std::int64_t>& order) {
    std::vector<std::pair<std::int32_t, std::int64_t>> by_group(order.size());
    for (std::size_t q = 0; q < order.size(); ++q) {
        by_group[q] = {group[order[q]], static_cast<std::int64_t>(q)};
    }
    std::sort(by_group.begin(), by_group.end());
    std::int64_t best = -1;
    std::vector<Seg> members;
    for (std::size_t g0 = 0, g1; g0 < by_group.size(); g0 = g1) {
        members.clear();
        for (g1 = g0; g1 < by_group.size() && by_group[g1].first == by_group[g0].first; ++g1) {
            const std::int64_t k = order[by_group[g1].second];
            members.push_back(sweep_seg(segs[k], k));
        }
        std::size_t hi = any_crossing(members, members.size()), lo = 2;
        if (!hi) continue;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            const std::size_t c = any_crossing(members, mid);
            if (c) hi = c;
            else lo = mid + 1;
        }
        const std::int64_t at = by_group[g0 + lo - 1].second;
        if (best < 0 || at < best) best = at;
    }
    return best;
}

}  // namespace

bool simple_rings(std::span<const Segment> segs) {
    // A vertex twice: two edges start there.
    std::vector<std::pair<double, double>> starts(segs.size());
    for (std::size_t k = 0; k < segs.size(); ++k) starts[k] = {segs[k].x0, segs[k].y0};
    std::sort(starts.begin(), starts.end());
    if (std::adjacent_find(starts.begin(), starts.end()) != starts.end()) return false;
    std::vector<Seg> all(segs.size());
    for (std::size_t k = 0; k < segs.size(); ++k) {
        all[k] = sweep_seg(segs[k], static_cast<std::int64_t>(k));
    }
    return any_crossing(all, all.size(), true) == 0;
}

std::pair<std::int64_t, std::int64_t> find_crossing(std::span<const Segment> segs,
                                                    std::span<const std::int32_t> group) {
    // Segments in order of their left x (the later copies left out); the
    // answer is the first of them that crosses an earlier one of its group,
    // with the earlier one met first by a walk through bands of y (the
    // lowest band both reach, then the sweep's order), so that which pair is
    // named does not depend on how the crossing was found.
    const std::size_t n = segs.size();
    std::vector<std::int64_t> order(n);
    for (std::size_t k = 0; k < n; ++k) order[k] = static_cast<std::int64_t>(k);
    auto xlo = [&](std::int64_t k) { return std::min(segs[k].x0, segs[k].x1); };
    order = without_copies(segs, group, std::move(order));
    std::sort(order.begin(), order.end(),
              [&](std::int64_t a, std::int64_t b) { return xlo(a) < xlo(b); });
    const std::int64_t at = first_crossing(segs, group, order);
    if (at < 0) return {-1, -1};
    const std::int64_t k = order[at];
    const Bands bands = bands_for(segs, order);
    const std::int64_t b0 = bands.of(std::min(segs[k].y0, segs[k].y1));
    const Seg s = sweep_seg(segs[k], k);
    std::int64_t partner = -1, partner_band = 0;
    for (std::int64_t q = 0; q < at; ++q) {
        const std::int64_t o = order[q];
        if (group[o] != group[k] || !cross(s, sweep_seg(segs[o], o))) continue;
        const std::int64_t b = std::max(b0, bands.of(std::min(segs[o].y0, segs[o].y1)));
        if (partner < 0 || b < partner_band) partner = o, partner_band = b;
    }
    return {std::min(partner, k), std::max(partner, k)};
}

}  // namespace zolvin::region
