"""What the Python side knows of the engine.

The stadium as the engine reads it, and the flow of a match (phases, score,
countdown).
"""
