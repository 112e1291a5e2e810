#include "polygon.hpp"

#include "address.hpp"

namespace zolvin {

}  // namespace zolvin
