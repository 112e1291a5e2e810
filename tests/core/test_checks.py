"""The shared argument checks: one rule for every number, point and count."""
import math

import numpy as np
import pytest
from zolvin.core import checks


@pytest.mark.parametrize("check, value, expected", [
    (checks.finite, 3, 3.0),
    (checks.finite, np.float32(-0.5), -0.5),
    (checks.finite, np.array(2.0), 2.0),
    (checks.positive, 5e-324, 5e-324),
    (checks.point, (1, np.int64(2)), (1.0, 2.0)),
    (checks.point, iter([0.5, -1.5]), (0.5, -1.5)),
])
def test_accepted(check, value, expected):
    got = check(value, "arg")
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("check, value, error, words", [
    (checks.finite, math.inf, ValueError, "arg must be finite"),
    (checks.finite, math.nan, ValueError, "arg must be finite"),
    (checks.finite, 2**53 + 1, ValueError, "without loss"),
    (checks.finite, "1", TypeError, "real number"),
    (checks.positive, 0.0, ValueError, "arg must be positive"),
    (checks.positive, -1, ValueError, "arg must be positive"),
    (checks.positive, -math.inf, ValueError, "arg must be finite"),
    (checks.point, (0.0, math.nan), ValueError, "arg must be finite"),
    (checks.point, (0.0, 1.0, 2.0), ValueError, "pair"),
    (checks.point, 1.0, TypeError, "pair"),
])
def test_refused(check, value, error, words):
    with pytest.raises(error, match=words):
        check(value, "arg")


@pytest.mark.parametrize("n_threads, work, expected", [(None, 10, 1), (3, 10, 3), (10**6, 1, 256)])
def test_threads(n_threads, work, expected):
    assert checks.threads(n_threads, work, threshold=100) == expected
