"""Argument checks shared by every layer, so that one kind of mistake gets one kind of message.

`bool` is a subclass of `int` in Python, so `True` would pass for 1 in a
plain isinstance test: every integer check here refuses it. NumPy integer
scalars are accepted and returned as Python ints.
"""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np


def integer(name: str, value: Any, *, low: int | None = None, high: int | None = None) -> int:
    """`value` as an int within [low, high] (either end open when None), or a TypeError/ValueError naming `name`."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    value = int(value)
    if low is not None and value < low or high is not None and value > high:
        raise ValueError(f"{name} must be {_range(low, high)}, got {value}")
    return value


def positive_int(name: str, value: Any, *, high: int | None = None) -> int:
    """`value` as an int of at least 1 (and at most `high`)."""
    return integer(name, value, low=1, high=high)


def non_negative_int(name: str, value: Any, *, high: int | None = None) -> int:
    """`value` as an int of at least 0 (and at most `high`)."""
    return integer(name, value, low=0, high=high)


def positive_multiple(name: str, value: Any, factor: int, what: str) -> int:
    """`value` as a positive int that `factor` divides, or an error naming `name` and `what` the factor counts."""
    value = integer(name, value)
    if value < 1 or value % factor:
        raise ValueError(f"{name} must be a positive multiple of the {factor} {what}, got {value}")
    return value


def positive_number(name: str, value: Any) -> float:
    """`value` as a finite float above 0."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not 0.0 < number < float("inf"):
        raise ValueError(f"{name} must be a positive finite number, got {value!r}")
    return number


def boolean(name: str, value: Any) -> bool:
    """`value` if it is a bool (NumPy's included); 0 and 1 are refused so that a shifted argument shows."""
    if not isinstance(value, bool | np.bool_):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return bool(value)


def _range(low: int | None, high: int | None) -> str:
    if low is not None and high is not None:
        return f"from {low} to {high}"
    if low is not None:
        return "positive" if low == 1 else "non-negative" if low == 0 else f"at least {low}"
    return f"at most {high}"
