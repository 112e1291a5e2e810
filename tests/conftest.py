import numpy as np
import pytest


def addr(a):
    """Address of a contiguous NumPy array, as the module's kernels take it."""
    assert a.flags.c_contiguous
    return a.ctypes.data


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)

