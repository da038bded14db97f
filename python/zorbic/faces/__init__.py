"""The faces other tools see.

Gymnasium's Env and VectorEnv, PettingZoo, stable-baselines3, and their
rendering. A new face goes here.
"""
