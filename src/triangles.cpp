#include "triangles.hpp"

#include <cmath>

#include "address.hpp"

namespace zolvin {

// ---- Overlap of triangles with unit pixels ----

// ---- Clipping triangle lists to a circle or a strut ----

}  // namespace zolvin
