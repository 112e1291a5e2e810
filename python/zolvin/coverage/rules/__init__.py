"""The fast kernels with rim rules of their own."""
