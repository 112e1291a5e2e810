"""The numbers the package holds to, each in one place.

Threads: below a function's threshold of work, ``n_threads=None`` runs it on
one thread (starting threads would cost more than they save); above it, on
every usable core, never more than MAX_THREADS.

Regions: the region kernel takes at most MAX_LEAVES leaves, fills each by one
of LEAF_RULES (passed to it by its code in RULE_CODES) and combines them by a
postfix program of leaf indices (k >= 0 pushes leaf k) and the opcodes below.
These, and the reach, are the kernel's own numbers, read from it.
"""
from zolvin._native import (
    MAX_LEAVES as MAX_LEAVES,
)
from zolvin._native import (
    OP_AND,
    OP_DIFF,
    OP_NOT,
    OP_OR,
    OP_XOR,
    RULE_EVENODD,
    RULE_NONZERO,
    RULE_POSITIVE,
)
from zolvin._native import (
    REACH as REACH,
)

# ---- Threads -----------------------------------------------------------------

MAX_THREADS = 256
# Pixels: the line, circle and strut rules, the mesh and regions over a Grid.
THREAD_THRESHOLD = 1 << 15
# Regions over Pixels transform the whole boundary for every pixel.
PIXELS_REGION_THRESHOLD = THREAD_THRESHOLD // 64
# Grid points of a polygon mask.
MASK_THREAD_THRESHOLD = 1 << 16
# Triangles clipped, and triangles accumulated.
CLIP_THREAD_THRESHOLD = 1 << 13
ACCUMULATE_THREAD_THRESHOLD = 1 << 10

# ---- Numbers -----------------------------------------------------------------

# Every integer up to this magnitude is a float64, and so is every pixel index
# below it; beyond it only some are.
EXACT_INT = 2**53
INT32_MAX = 2**31 - 1
# REACH: squares of coordinates beyond it overflow, so the region kernel
# refuses boundaries further than this from the grid, in pixels, and the
# pupil's strut rule struts that reach further from the origin.

# ---- Regions -----------------------------------------------------------------

# Compositions nest at most this deep: what MAX_LEAVES leaves can need (a
# chain of differences is MAX_LEAVES - 1 deep) with room to spare, and far
# below the depth where walking a shape would exhaust Python's stack.
MAX_DEPTH = 2 * MAX_LEAVES
RULE_CODES = {"nonzero": RULE_NONZERO, "evenodd": RULE_EVENODD, "positive": RULE_POSITIVE}
LEAF_RULES = tuple(RULE_CODES)
OR, AND, DIFF, XOR, NOT = OP_OR, OP_AND, OP_DIFF, OP_XOR, OP_NOT
BINARY = (OR, AND, DIFF, XOR)
# A segmented mirror may put at most this many segments in one pixel it
# covers. The sweep's work per pixel grows faster than the number of edges in
# it (10^4 segments in a pixel cost about a second a pixel), and a mirror of
# segments a thousandth of a pixel across would take minutes and gigabytes.
MAX_SEGMENTS_PER_PIXEL = 10_000
