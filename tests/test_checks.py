"""The shared argument checks: what each accepts, and that bools never pass for ints."""

import numpy as np
import pytest

from zorbic.common.checks import boolean, integer, non_negative_int, positive_int, positive_number


@pytest.mark.parametrize(
    "check, value, want",
    [
        (positive_int, 1, 1),
        (positive_int, np.int32(7), 7),
        (non_negative_int, 0, 0),
        (positive_number, 0.5, 0.5),
        (positive_number, 3, 3.0),
        (boolean, np.True_, True),
        (boolean, False, False),
    ],
)
def test_accepted_values_come_back_as_python_values(check, value, want):
    got = check("x", value)
    assert got == want and type(got) is type(want)


@pytest.mark.parametrize(
    "check, value, error, words",
    [
        (positive_int, True, TypeError, "x must be an int, not bool"),
        (positive_int, 1.0, TypeError, "not float"),
        (positive_int, 0, ValueError, "x must be positive, got 0"),
        (non_negative_int, -1, ValueError, "x must be non-negative, got -1"),
        (positive_number, float("nan"), ValueError, "positive finite"),
        (positive_number, float("inf"), ValueError, "positive finite"),
        (positive_number, False, TypeError, "must be a number"),
        (boolean, 1, TypeError, "must be True or False, not int"),
    ],
)
def test_refusals_name_the_argument(check, value, error, words):
    with pytest.raises(error, match=words):
        check("x", value)


@pytest.mark.parametrize("value, ok", [(4, True), (5, True), (6, False), (3, False), (10**30, False)])
def test_bounds_are_inclusive(value, ok):
    if ok:
        assert integer("n", value, low=4, high=5) == value
    else:
        with pytest.raises(ValueError, match="n must be from 4 to 5"):
            integer("n", value, low=4, high=5)
