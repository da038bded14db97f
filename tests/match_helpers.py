"""Putting matches of a batch into known situations for the training tests."""

import numpy as np

from zorbic_core import FLAG_BLUE, FLAG_RED

# Classic stadium, engine frame: blue defends the goal line at x = +370, red
# the one at x = -370. A ball this fast from here crosses it on the 3rd tick.
SHOT_FROM, SHOT_SPEED, GOAL_X = 355.0, 6.0, 370.0


def shoot(vecenv, matches, at=FLAG_BLUE):
    """Send the ball of `matches` at the goal that `at` defends, from close in.

    Goes through set_state, which puts every match in play and clears the
    kick state of all of them; positions, velocities and step counters of
    the other matches are written back as they were.
    """
    ball_pos, ball_vel, player_pos, player_vel, steps = vecenv.snapshot()
    side = 1.0 if at == FLAG_BLUE else -1.0
    ball_pos[matches] = (side * SHOT_FROM, 0.0)
    ball_vel[matches] = (side * SHOT_SPEED, 0.0)
    vecenv.set_state(ball_pos, ball_vel, player_pos, player_vel, steps)


def mirrored(snapshot, n_red):
    """The state with x reversed and the two teams' slots swapped (n_red == n_blue)."""
    ball_pos, ball_vel, player_pos, player_vel, steps = (a.copy() for a in snapshot)
    flip = np.array([-1.0, 1.0])
    swap = np.r_[n_red : 2 * n_red, 0:n_red]
    return (ball_pos * flip, ball_vel * flip, player_pos[:, swap] * flip, player_vel[:, swap] * flip, steps)


def conceding(scored):
    return {FLAG_RED: "red", FLAG_BLUE: "blue"}.get(int(scored), "none")
