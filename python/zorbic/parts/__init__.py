"""The parts of a set-up: observations, actions, rewards, reset rules, opponents and the curriculum that mixes them. A new part goes here."""
