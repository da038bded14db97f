"""The stable-baselines3 face, at its public path (it lives in `zorbic.faces.sb3`)."""

from zorbic.faces.sb3 import SoccerSB3VecEnv, make_vec_env

__all__ = ["SoccerSB3VecEnv", "make_vec_env"]
