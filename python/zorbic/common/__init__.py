"""Helpers every layer uses: argument checks, atomic and bounded file access, reusable result buffers."""
