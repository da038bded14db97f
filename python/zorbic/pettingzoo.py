"""The PettingZoo face, at its public path (it lives in `zorbic.faces.pettingzoo`)."""

from zorbic.faces.pettingzoo import SoccerParallelEnv, parallel_env

__all__ = ["SoccerParallelEnv", "parallel_env"]
