"""Everything that runs a kernel over pixels."""
