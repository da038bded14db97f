"""The parts of a set-up.

Observations, actions, rewards, reset rules, opponents and the curriculum
that mixes them. A new part goes here.
"""
