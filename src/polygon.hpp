// Even-odd mask of a polygon over a grid of points.
#pragma once

#include <cstdint>

namespace zolvin {

}  // namespace zolvin
