"""Recorded matches: the file format, recorders and re-simulation that verifies a recording."""
