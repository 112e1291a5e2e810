"""Foundations every layer uses: argument checks, values, limits, chunking."""
