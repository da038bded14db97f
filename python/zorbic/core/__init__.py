"""The batch core.

A set-up (`MatchSetup`), the batch it builds (`SoccerBatch`) and the state
its parts read (`BatchState`, `Field`).
"""
