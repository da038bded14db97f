"""Finding what a picture shows: where a disc of a known colour was drawn."""

import numpy as np


def disc_center(picture, expected, color, reach, tolerance=6):
    """The middle of the span of `color` pixels within `reach` pixels of
    `expected` (x, y): where the disc of that colour is drawn.

    Pixel i covers [i, i + 1), so a span of pixels from a to b has its middle
    at (a + b + 1) / 2. A label drawn inside the disc does not move the span.
    """
    expected = np.asarray(expected, np.float64)
    x0, y0 = np.maximum(np.floor(expected - reach).astype(int), 0)
    x1, y1 = np.ceil(expected + reach).astype(int) + 1
    window = picture[y0:y1, x0:x1].astype(np.int64)
    near = np.abs(window - np.array(color)).max(axis=-1) <= tolerance
    ys, xs = np.nonzero(near)
    assert len(xs) > 0, f"nothing of colour {color} within {reach} pixels of {expected}"
    return np.array([x0 + (xs.min() + xs.max() + 1) / 2.0, y0 + (ys.min() + ys.max() + 1) / 2.0])


def toward(picture, points, background, color):
    """For each point (x, y) in pixels, how far its pixel's colour has moved
    from `background` towards `color`: 0 untouched, 1 fully drawn."""
    pixels = np.floor(np.asarray(points, np.float64)).astype(int)
    seen = picture[pixels[:, 1], pixels[:, 0]].astype(np.float64)
    span = np.asarray(color, np.float64) - np.asarray(background, np.float64)
    return (seen - background) @ span / (span @ span)
