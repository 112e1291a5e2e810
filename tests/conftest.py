import numpy as np
import pytest


def addr(a):
    """Address of a contiguous NumPy array, as the module's kernels take it."""
    assert a.flags.c_contiguous
    return a.ctypes.data


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def _region_stand_in():
    """Until the package has its region rasterizer, the aperture tests run on
    a shapely stand-in (tests/region_reference.py) in its place."""
    import sys

    import zolvin
    try:
        from zolvin import _region
        _region.region_coverage  # noqa: B018
        return False
    except (ImportError, AttributeError):
        import region_reference
        sys.modules["zolvin._region"] = region_reference
        zolvin._region = region_reference
        return True


REGION_STAND_IN = _region_stand_in()
