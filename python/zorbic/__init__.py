"""zorbic: the training package over the `zorbic_core` batch simulator."""

from __future__ import annotations

from zorbic.stadium import Stadium, classic_text, load_stadium, read_stadium, stadium_text

__all__ = ["Stadium", "classic_text", "load_stadium", "read_stadium", "stadium_text"]
