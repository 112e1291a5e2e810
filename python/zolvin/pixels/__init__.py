"""Pixels: grids that share one Jacobian, batches of parallelograms, sky images."""
