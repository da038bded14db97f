"""Collecting experience elsewhere: rollout runners and the Ray collector."""
