"""Coverage of a straight line over a small grid of sheared pixels, printed as a table."""
import numpy as np

import _zolvin

n = 10
iu, iv = np.meshgrid(np.arange(n, dtype=float), np.arange(n, dtype=float))
u, v = iu.ravel(), iv.ravel()
dxdu, dxdv, dydu, dydv = 1.0, 0.2, 0.0, 1.0  # pixels sheared along x
x = dxdu * u + dxdv * v
y = dydu * u + dydv * v
jac = [np.full(u.size, j) for j in (dxdu, dxdv, dydu, dydv)]
out = np.empty(u.size)

# The line through (5, 4) pointing along (1, 0.6); its inner side is to the right (below it).
x0, y0, dir_x, dir_y = 5.0, 4.0, 1.0, 0.6
_zolvin.pixel_frac(x0, y0, dir_y, dir_x, x.ctypes.data, y.ctypes.data, u.ctypes.data, v.ctypes.data,
                   *(j.ctypes.data for j in jac), out.ctypes.data, u.size)

print(f"fraction of each pixel below the line through ({x0}, {y0}) along ({dir_x}, {dir_y}); top row first")
for row in out.reshape(n, n)[::-1]:
    print(" ".join(f"{f:4.2f}" for f in row))
