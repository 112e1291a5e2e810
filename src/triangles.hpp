// Triangles against unit pixels, grids, circles and struts.
#pragma once

#include <cstdint>

namespace zolvin {

// ---- Overlap of triangles with unit pixels ----

// ---- Clipping triangle lists to a circle or a strut ----

}  // namespace zolvin
