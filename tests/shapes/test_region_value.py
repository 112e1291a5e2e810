"""The Region value: immutable, compared and hashed by its pieces, pickled
through its checks; what its constructor refuses."""
import math
import pickle

import numpy as np
import pytest
from helpers import refusal_ids, refused
from zolvin import Region

EMPTY_ARCS = np.zeros((0, 8))
SQUARE = np.array([[-0.5, -0.5, 0.5, -0.5], [0.5, -0.5, 0.5, 0.5], [0.5, 0.5, -0.5, 0.5],
                   [-0.5, 0.5, -0.5, -0.5]])


def circle_arc(cx, cy, r, t0, t1):
    return [cx, cy, r, 0.0, 0.0, r, t0, t1]


ARCS = Region(SQUARE, [0] * 4, [circle_arc(0.2, 0.1, 0.4, 0.0, 2 * math.pi),
                                circle_arc(-0.1, 0.0, 0.2, 0.0, 2 * math.pi)], [1, 1],
              ("nonzero", "evenodd"), (0, 1, -4))


def test_region_value():
    region = ARCS
    assert pickle.loads(pickle.dumps(region)) == region
    assert hash(pickle.loads(pickle.dumps(region))) == hash(region)
    with pytest.raises(AttributeError):
        region.program = None
    with pytest.raises(ValueError):
        region.segments[0, 0] = 1.0
    assert "2 arcs" in repr(region)


REFUSALS = [
    (lambda n: Region([[0, 0, 1, 1]], [1], EMPTY_ARCS, [], ("nonzero",)), ValueError,
     "segment_leaf"),
    (lambda n: Region([[0, 0, 1]], [0], EMPTY_ARCS, [], ("nonzero",)), ValueError, "segments"),
    (lambda n: Region([[0, 0, 1, 1]], [0.5], EMPTY_ARCS, [], ("nonzero",)), TypeError,
     "segment_leaf"),
    (lambda n: Region([], [], [circle_arc(0, 0, 1, 0, 7)], [0], ("nonzero",)), ValueError, "arcs"),
    (lambda n: Region([], [], [[0, 0, 1, 1, 1, 1, 0, 1]], [0], ("nonzero",)), ValueError, "arcs"),
    (lambda n: Region([], [], EMPTY_ARCS, [], ("odd",)), ValueError, "leaf_rules"),
    (lambda n: Region([], [], EMPTY_ARCS, [], ("nonzero",) * 65), ValueError, "leaf_rules"),
    (lambda n: Region([], [], EMPTY_ARCS, [], ("nonzero",), (0, 0)), ValueError, "program"),
    (lambda n: Region([], [], EMPTY_ARCS, [], ("nonzero",), (0, -7)), ValueError, "program"),
    (lambda n: Region([], [], EMPTY_ARCS, [], ("nonzero",), (1,)), ValueError, "program"),
    (lambda n: Region([], [], EMPTY_ARCS, [], ("nonzero",), ("a",)), TypeError, "program"),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)
