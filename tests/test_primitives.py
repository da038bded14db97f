"""The contact primitives as module functions: the documented examples, the
degenerate inputs, bit-exact agreement with the arithmetic written out in
Python, and the conversion of their arguments."""

import collections
import fractions
import math
import random
import struct
import sys

import numpy as np
import pytest

from zorbic_core import (
    disc_disc,
    disc_plane,
    disc_vertex,
    segment_curve,
    segment_no_curve,
)


def bits(value):
    """Nested results as raw IEEE bytes, so -0.0 != 0.0 and NaN == NaN."""
    if value is None:
        return None
    if isinstance(value, tuple):
        return tuple(bits(item) for item in value)
    assert type(value) is float
    return struct.pack("<d", value)


# ---- the arithmetic, written out in the documented order ----


def dot(a, b):
    return a[0] * b[0] + a[1] * b[1]


def ref_disc_disc(pa, pb, va, vb, ra, rb, ima, imb, ba, bb):
    d = (pa[0] - pb[0], pa[1] - pb[1])
    d2 = dot(d, d)
    s = ra + rb
    if not (d2 > 0 and d2 <= s * s) or imb + ima == 0:
        return pa, pb, va, vb
    dist = math.sqrt(d2)
    n = (d[0] / dist, d[1] / dist)
    share = ima / (imb + ima)
    pen = s - dist
    ma = pen * share
    pa = (pa[0] + n[0] * ma, pa[1] + n[1] * ma)
    pb = (pb[0] - n[0] * (pen - ma), pb[1] - n[1] * (pen - ma))
    vn = dot((va[0] - vb[0], va[1] - vb[1]), n)
    if vn < 0:
        k = vn * (ba * bb + 1)
        ka = share * k
        va = (va[0] - n[0] * ka, va[1] - n[1] * ka)
        vb = (vb[0] + n[0] * (k - ka), vb[1] + n[1] * (k - ka))
    return pa, pb, va, vb


def ref_disc_vertex(pd, pv, v, radius, bd, bv):
    d = (pd[0] - pv[0], pd[1] - pv[1])
    d2 = dot(d, d)
    if not d2 > 0:
        return pd, v
    dist = math.sqrt(d2)
    if not dist <= radius:
        return pd, v
    inv = 1 / dist
    n = (d[0] * inv, d[1] * inv)
    pd = (pd[0] + n[0] * (radius - dist), pd[1] + n[1] * (radius - dist))
    vn = dot(n, v)
    if vn < 0:
        f = vn * -(bd * bv + 1)
        v = (v[0] + n[0] * f, v[1] + n[1] * f)
    return pd, v


def ref_disc_plane(pd, normal, v, dist, radius, bd, bp):
    length = math.sqrt(dot(normal, normal))
    inv = 1 / length if length != 0 else math.inf
    nh = (normal[0] * inv, normal[1] * inv)
    pen = (dist - dot(pd, nh)) + radius
    if not pen > 0:
        return pd, v
    pd = (pd[0] + nh[0] * pen, pd[1] + nh[1] * pen)
    vn = dot(nh, v)
    if vn < 0:
        f = vn * -(bp * bd + 1)
        v = (v[0] + nh[0] * f, v[1] + nh[1] * f)
    return pd, v


def ref_segment_no_curve(pd, v0, v1):
    u = (v1[0] - v0[0], v1[1] - v0[1])
    if not (dot((pd[0] - v0[0], pd[1] - v0[1]), u) > 0 and dot((pd[0] - v1[0], pd[1] - v1[1]), u) < 0):
        return None
    length = math.sqrt(dot(u, u))
    n = (-u[1] / length, u[0] / length)
    return dot((pd[0] - v1[0], pd[1] - v1[1]), n), n


def ref_segment_curve(pd, c, cr, t0, t1, curve):
    b = (pd[0] - c[0], pd[1] - c[1])
    reflex = curve < 0
    in_sector = ((dot(t1, b) > 0) != reflex) if dot(t0, b) > 0 else reflex
    b2 = dot(b, b)
    if not in_sector or not b2 > 0:
        return None
    length = math.sqrt(b2)
    return length - cr, (b[0] / length, b[1] / length)


def point(rng, spread):
    return (rng.uniform(-spread, spread), rng.uniform(-spread, spread))


def random_case(name, rng):
    if name == "disc_disc":
        return (
            point(rng, 20),
            point(rng, 20),
            point(rng, 3),
            point(rng, 3),
            rng.uniform(1, 15),
            rng.uniform(1, 15),
            rng.choice([0.0, rng.uniform(0, 2)]),
            rng.uniform(0, 2),
            rng.uniform(0, 1),
            rng.uniform(0, 1),
        )
    if name == "disc_vertex":
        return (point(rng, 15), point(rng, 15), point(rng, 3), rng.uniform(1, 15), rng.uniform(0, 1), rng.uniform(0, 1))
    if name == "disc_plane":
        return (
            point(rng, 20),
            point(rng, 2),
            point(rng, 3),
            rng.uniform(-10, 10),
            rng.uniform(1, 15),
            rng.uniform(0, 1),
            rng.uniform(0, 1),
        )
    if name == "segment_no_curve":
        return point(rng, 20), point(rng, 20), point(rng, 20)
    return (point(rng, 20), point(rng, 10), rng.uniform(1, 15), point(rng, 10), point(rng, 10), rng.uniform(-2, 2))


FUNCTIONS = {
    "disc_disc": (disc_disc, ref_disc_disc),
    "disc_vertex": (disc_vertex, ref_disc_vertex),
    "disc_plane": (disc_plane, ref_disc_plane),
    "segment_no_curve": (segment_no_curve, ref_segment_no_curve),
    "segment_curve": (segment_curve, ref_segment_curve),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_bit_exact_against_the_written_out_arithmetic(name):
    function, reference = FUNCTIONS[name]
    rng = random.Random(name)
    hits = 0
    for _ in range(2000):
        args = random_case(name, rng)
        expected = reference(*args)
        result = function(*args)
        assert bits(result) == bits(tuple(expected) if expected is not None else None), args
        hits += result is not None and bits(result) != bits(tuple(args[: len(result)]))
    # Enough of the cases must reach the contact branch to mean something.
    assert hits > 200


# ---- documented examples ----


@pytest.mark.parametrize(
    "call, expected",
    [
        (
            lambda: disc_disc((0, 0), (15, 0), (1, 0), (0, 0), 10, 10, 1, 1, 0.5, 0.5),
            ((-2.5, 0.0), (17.5, 0.0), (0.375, 0.0), (0.625, 0.0)),
        ),
        (lambda: disc_vertex((0, 5), (0, 0), (0, -1), 10, 1, 1), ((0.0, 10.0), (0.0, 1.0))),
        (lambda: disc_plane((0, 5), (0, 1), (0, -2), 0, 10, 0.5, 0.5), ((0.0, 10.0), (0.0, 0.5))),
        (lambda: segment_no_curve((5, 3), (0, 0), (10, 0)), (3.0, (-0.0, 1.0))),
        (lambda: segment_no_curve((5, -3), (0, 0), (10, 0)), (-3.0, (-0.0, 1.0))),
        (lambda: segment_no_curve((-1, 3), (0, 0), (10, 0)), None),
        (lambda: segment_curve((0, 20), (0, 0), 10, (0, 1), (0, 1), 1), (10.0, (0.0, 1.0))),
        (lambda: segment_curve((0, 20), (0, 0), 10, (0, 1), (0, 1), -1), None),
    ],
)
def test_documented_examples(call, expected):
    assert bits(call()) == bits(expected)


def test_straight_segment_normal_has_a_negative_zero():
    _, (nx, ny) = segment_no_curve((5, 3), (0, 0), (10, 0))
    assert math.copysign(1.0, nx) == -1.0 and ny == 1.0


# ---- degenerate inputs ----


@pytest.mark.parametrize(
    "args, expected",
    [
        # coincident centres: untouched whatever the overlap
        (((1, 1), (1, 1), (1, 0), (0, 0), 10, 10, 1, 1, 1, 1), ((1.0, 1.0), (1.0, 1.0), (1.0, 0.0), (0.0, 0.0))),
        # exactly touching and approaching: positions kept, velocities bounce
        (((0, 0), (20, 0), (1, 0), (0, 0), 10, 10, 1, 1, 0, 0), ((0.0, 0.0), (20.0, 0.0), (0.5, 0.0), (0.5, 0.0))),
        # overlapping and separating: pushed apart, velocities unchanged
        (((0, 0), (10, 0), (-1, 0), (1, 0), 10, 10, 1, 1, 1, 1), ((-5.0, 0.0), (15.0, 0.0), (-1.0, 0.0), (1.0, 0.0))),
        # a immovable: b takes the whole correction and impulse
        (((0, 0), (15, 0), (1, 0), (0, 0), 10, 10, 0, 1, 1, 1), ((0.0, 0.0), (20.0, 0.0), (1.0, 0.0), (2.0, 0.0))),
        # two immovable discs: no NaN, nothing moves
        (((0, 0), (15, 0), (1, 0), (0, 0), 10, 10, 0, 0, 1, 1), ((0.0, 0.0), (15.0, 0.0), (1.0, 0.0), (0.0, 0.0))),
    ],
)
def test_disc_disc_degenerate(args, expected):
    assert bits(disc_disc(*args)) == bits(expected)


@pytest.mark.parametrize(
    "args, expected",
    [
        (((0, 0), (0, 0), (1, 1), 10, 1, 1), ((0.0, 0.0), (1.0, 1.0))),  # centre on the vertex
        (((0, 10), (0, 0), (0, -1), 10, 1, 1), ((0.0, 10.0), (0.0, 1.0))),  # exactly touching, approaching
        (((0, 10.5), (0, 0), (0, -1), 10, 1, 1), ((0.0, 10.5), (0.0, -1.0))),  # out of reach
    ],
)
def test_disc_vertex_degenerate(args, expected):
    assert bits(disc_vertex(*args)) == bits(expected)


def test_disc_plane_degenerate():
    # Exactly touching (pen = 0) is no contact.
    assert bits(disc_plane((0, 10), (0, 1), (0, -1), 0, 10, 1, 1)) == bits(((0.0, 10.0), (0.0, -1.0)))
    # A zero normal compares false everywhere: unchanged.
    assert bits(disc_plane((0, 5), (0, 0), (0, -2), 0, 10, 1, 1)) == bits(((0.0, 5.0), (0.0, -2.0)))
    # The normal's length does not matter.
    assert bits(disc_plane((3, 5), (0, 2), (1, -2), 0, 10, 0.5, 0.5)) == bits(
        disc_plane((3, 5), (0, 1), (1, -2), 0, 10, 0.5, 0.5)
    )


@pytest.mark.parametrize(
    "pd, v0, v1",
    [
        ((5, 3), (2, 2), (2, 2)),  # zero length
        ((0, 3), (0, 0), (10, 0)),  # on the perpendicular through v0
        ((10, 3), (0, 0), (10, 0)),  # on the perpendicular through v1
        ((11, 0), (0, 0), (10, 0)),
    ],
)
def test_segment_no_curve_outside(pd, v0, v1):
    assert segment_no_curve(pd, v0, v1) is None


@pytest.mark.parametrize(
    "args, expected",
    [
        (((0, 0), (0, 0), 10, (0, 1), (0, 1), 1), None),  # centre on the arc's centre
        (((0, -20), (0, 0), 10, (0, 1), (0, 1), 1), None),  # outside the sector
        (((0, -20), (0, 0), 10, (0, 1), (0, 1), -1), (10.0, (0.0, -1.0))),  # negative curve: the complement
        (((0, 20), (0, 0), 10, (0, 1), (0, 1), math.nan), (10.0, (0.0, 1.0))),  # NaN acts as positive
        (((0, 20), (0, 0), 10, (0, 1), (0, 1), 0.0), (10.0, (0.0, 1.0))),
    ],
)
def test_segment_curve_degenerate(args, expected):
    assert bits(segment_curve(*args)) == bits(expected)


# ---- results ----


def test_results_are_fresh_tuples_of_floats():
    result = disc_disc((0, 0), (15, 0), (1, 0), (0, 0), 10, 10, 1, 1, 0.5, 0.5)
    assert type(result) is tuple and len(result) == 4
    for pair in result:
        assert type(pair) is tuple and len(pair) == 2
        assert all(type(x) is float for x in pair)
    distance, normal = segment_curve((0, 20), (0, 0), 10, (0, 1), (0, 1), 1)
    assert type(distance) is float and type(normal) is tuple
    assert sys.getrefcount(result) == 2


def test_keywords_give_the_same_result():
    args = dict(pa=(0, 0), pb=(15, 0), va=(1, 0), vb=(0, 0), ra=10, rb=10, ima=1, imb=0.5, ba=0.5, bb=0.25)
    reversed_order = dict(reversed(list(args.items())))
    assert bits(disc_disc(**reversed_order)) == bits(disc_disc(*args.values()))
    assert bits(disc_plane(pd=(0, 5), normal=(0, 1), v=(0, -2), dist=0, radius=10, bd=0.5, bp=0.5)) == bits(
        ((0.0, 10.0), (0.0, 0.5))
    )


# ---- argument conversion ----

Point = collections.namedtuple("Point", "x y")


class FloatLike:
    def __float__(self):
        return 3.0


class IndexLike:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "radius", [3, 3.0, True * 3, fractions.Fraction(3), FloatLike(), IndexLike(), np.float32(3), np.int16(3)]
)
def test_numbers_accept_what_float_accepts(radius):
    assert disc_vertex((0, 1), (0, 0), (0, 0), radius, 1, 1) == ((0.0, 3.0), (0.0, 0.0))


@pytest.mark.parametrize("vertex", [(0, 3), Point(0, 3), (0, IndexLike()), (np.int8(0), FloatLike())])
def test_points_accept_tuple_subclasses_and_any_numbers(vertex):
    assert disc_vertex(Point(0, 1), vertex, (0, 0), 10, 1, 1) == ((0.0, -7.0), (0.0, 0.0))


class FloatRaises:
    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("no float here") from inner


@pytest.mark.parametrize(
    "position, value, error, message",
    [
        (0, [0, 0], TypeError, "argument 'pd': 'list' object cannot be converted to 'PyTuple'"),
        (0, np.zeros(2), TypeError, "argument 'pd': 'ndarray' object cannot be converted to 'PyTuple'"),
        (1, (0, 0, 0), TypeError, "argument 'pv': expected tuple of length 2, but got tuple of length 3"),
        (1, (), TypeError, "argument 'pv': expected tuple of length 2, but got tuple of length 0"),
        (2, ("a", 0), TypeError, "argument 'v': must be real number, not str"),
        (2, (0, None), TypeError, "argument 'v': must be real number, not NoneType"),
        (3, "3", TypeError, "argument 'radius': must be real number, not str"),
        (4, FloatRaises(), TypeError, "argument 'bd': no float here"),
        (5, 10**400, OverflowError, "int too large to convert to float"),
    ],
)
def test_conversion_failures(position, value, error, message):
    args = [(0, 1), (0, 0), (0, 0), 3, 1, 1]
    args[position] = value
    with pytest.raises(error) as failure:
        disc_vertex(*args)
    assert type(failure.value) is error
    assert str(failure.value) == message


def test_conversion_failure_keeps_the_cause():
    with pytest.raises(TypeError) as failure:
        disc_plane((0, 0), (0, 1), (0, 0), FloatRaises(), 1, 1, 1)
    assert str(failure.value) == "argument 'dist': no float here"
    assert isinstance(failure.value.__cause__, KeyError)


def test_first_bad_parameter_in_signature_order_is_reported():
    with pytest.raises(TypeError, match="^argument 'pa':"):
        disc_disc([0, 0], (0, 0, 0), None, None, "x", 1, 1, 1, 1, 1)
    with pytest.raises(TypeError, match="^argument 'ra':"):
        disc_disc((0, 0), (0, 0), (0, 0), (0, 0), "x", 1, 1, 1, 1, [])
    with pytest.raises(TypeError, match="^argument 'curve':"):
        segment_curve(pd=(0, 0), c=(0, 0), cr=1, t0=(0, 0), t1=(0, 0), curve=None)
