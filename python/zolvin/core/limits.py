"""The numbers the package holds to, each in one place.

Threads: below a function's threshold of work, ``n_threads=None`` runs it on
one thread (starting threads would cost more than they save); above it, on
every usable core, never more than MAX_THREADS.

Regions: the region kernel takes at most MAX_LEAVES leaves, fills each by one
of LEAF_RULES (passed to it by index) and combines them by a postfix program
of leaf indices (k >= 0 pushes leaf k) and the opcodes below.
"""

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
# Squares of coordinates beyond this overflow: the region kernel refuses
# boundaries further than this from the grid, in pixels, and the pupil's
# strut rule struts that reach further from the origin.
REACH = 1e150

# ---- Regions -----------------------------------------------------------------

MAX_LEAVES = 64
LEAF_RULES = ("nonzero", "evenodd", "positive")
OR, AND, DIFF, XOR, NOT = -1, -2, -3, -4, -5
BINARY = (OR, AND, DIFF, XOR)
