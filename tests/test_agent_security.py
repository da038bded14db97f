"""Agent files: damaged and hostile ones refused clearly, and pickled models never read untrusted."""

import base64
import json
import os
import pickle
import struct
import subprocess
import sys
import zipfile

import numpy as np
import pytest
from safetensors.numpy import save as save_tensors

from agent_helpers import random_agent
from zorbic.agents import AgentFileError, UntrustedFileError, load_agent, load_policy, opponent_from_file, save_agent
from zorbic.commands import main as cli
from zorbic.core.match_setup import MatchSetup
from zorbic.parts.opponents import PolicyOpponent, make_opponent


class Payload:
    """Unpickling this creates a marker file: proof that code from the file ran."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (os.system, (f"touch {self.marker}",))


def hostile_model(tmp_path):
    """A zip laid out like a saved stable-baselines3 model whose policy_class is a payload."""
    marker = tmp_path / "payload-ran"
    pickled = pickle.dumps(Payload(marker))
    data = {"policy_class": {":type:": "<class 'abc.ABCMeta'>", ":serialized:": base64.b64encode(pickled).decode()}}
    path = tmp_path / "shared.zip"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("data", json.dumps(data))
        archive.writestr("pytorch_variables.pth", pickled)
        archive.writestr("policy.pth", pickled)
    return path, marker, pickled


def test_the_crafted_model_is_really_hostile(tmp_path):
    _, marker, pickled = hostile_model(tmp_path)
    code = "import pickle, sys; pickle.loads(sys.stdin.buffer.read())"
    subprocess.run([sys.executable, "-c", code], input=pickled, check=True)
    assert marker.exists(), "the payload must run when unpickled, or the tests below prove nothing"


@pytest.mark.parametrize(
    "use",
    [
        lambda model, good: load_policy(model),
        lambda model, good: opponent_from_file(model),
        lambda model, good: make_opponent(str(model)),
        lambda model, good: MatchSetup(opponent=model),
        lambda model, good: cli.main(["evaluate", str(model), "--against", "idle", "--matches", "2"]),
        lambda model, good: cli.main(["evaluate", str(good), "--against", str(model), "--matches", "2"]),
    ],
    ids=["load_policy", "opponent_from_file", "make_opponent", "MatchSetup", "evaluate", "evaluate --against"],
)
def test_a_pickled_model_is_refused_before_it_is_opened(tmp_path, capsys, use):
    model, marker, _ = hostile_model(tmp_path)
    good = save_agent(random_agent(), tmp_path / "good.agent")
    try:
        status = use(model, good)
    except UntrustedFileError as error:
        assert "export" in str(error) and "trust" in str(error)
    else:
        assert status == 1
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and "python -m zorbic export" in err[0]
    assert not marker.exists()


def test_the_trust_flag_reaches_the_pickle_reader(tmp_path, monkeypatch):
    import zorbic.training.model_files as model_files

    model, marker, _ = hostile_model(tmp_path)
    seen = []

    def reader(path):
        seen.append(path)
        raise ValueError("not read in this test")

    monkeypatch.setattr(model_files, "load_model", reader)
    assert cli.main(["evaluate", str(model), "--against", "idle", "--matches", "2", "--trust-pickle"]) == 1
    assert seen == [model] and not marker.exists()


def _sealed(header, body=b""):
    text = json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + body


def _tensors_and_metadata(agent):
    tensors = {}
    for i, (w, b) in enumerate(zip(agent.weights, agent.biases)):
        tensors[f"layers.{i}.weight"] = w.astype(np.float32)
        tensors[f"layers.{i}.bias"] = b.astype(np.float32)
    metadata = {
        "format": "zorbic-agent",
        "version": "1",
        "network": json.dumps({"activation": "tanh", "action_dims": agent.action_dims}),
        "setup": json.dumps(agent.setup),
    }
    return tensors, metadata


def _variant(change):
    agent = random_agent()
    tensors, metadata = _tensors_and_metadata(agent)
    change(tensors, metadata)
    return save_tensors(tensors, metadata=metadata)


def _set(mapping, key, value):
    mapping[key] = value


def _saved(metadata, **change):
    saved = json.loads(metadata["setup"])
    observation = change.pop("observation", {})
    saved.update(change)
    saved["observation"].update(observation)
    metadata["setup"] = json.dumps(saved)


HOSTILE = {
    "empty": (b"", "too short"),
    "huge header length": (struct.pack("<Q", 2**63) + b"{}", "header claims"),
    "header not JSON": (struct.pack("<Q", 3) + b"{{{", "not JSON"),
    "header a list": (_sealed([]), "not a JSON object"),
    "duplicate keys": (struct.pack("<Q", 16) + b'{"a": 1, "a": 2}', "twice"),
    "no metadata": (_sealed({}), "not an agent file"),
    "newer version": (_variant(lambda t, m: _set(m, "version", "2")), "version"),
    "network not JSON": (_variant(lambda t, m: _set(m, "network", "{")), "'network' is not JSON"),
    "unknown activation": (
        _variant(lambda t, m: _set(m, "network", '{"activation": "exec", "action_dims": [18]}')),
        "activation",
    ),
    "NaN weight": (_variant(lambda t, m: t["layers.1.weight"].__setitem__((0, 0), np.nan)), "not finite"),
    "infinite bias": (_variant(lambda t, m: t["layers.0.bias"].__setitem__(0, np.inf)), "not finite"),
    "layers do not chain": (
        _variant(lambda t, m: _set(t, "layers.1.weight", np.zeros((5, 16), np.float32))),
        "takes 5 inputs",
    ),
    "missing bias": (_variant(lambda t, m: t.pop("layers.2.bias")), "each a weight and a bias"),
    "stray tensor": (_variant(lambda t, m: _set(t, "code", np.zeros(1, np.float32))), "each a weight and a bias"),
    "integer tensor": (_variant(lambda t, m: _set(t, "layers.0.bias", np.zeros(16, np.int64))), "dtype"),
    "set-up does not build": (
        _variant(lambda t, m: _set(m, "setup", json.dumps({"n_red": -1}))),
        "set-up does not read",
    ),
    "stadium named by a path": (_variant(lambda t, m: _saved(m, stadium="/etc/passwd")), "stadium text"),
    "huge tick_skip": (_variant(lambda t, m: _saved(m, tick_skip=10**9)), "tick_skip"),
    "far ball prediction": (_variant(lambda t, m: _saved(m, observation={"ball_prediction": [10**12]})), "ticks ahead"),
    "countless wall rays": (_variant(lambda t, m: _saved(m, observation={"wall_rays": 10**9})), "larger than"),
    "other matches": (
        _variant(lambda t, m: _set(m, "setup", json.dumps(random_agent(n_red=2).setup))),
        "its matches give",
    ),
}


@pytest.mark.parametrize("data, words", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_agent_files_are_refused(tmp_path, data, words):
    path = tmp_path / "hostile.agent"
    path.write_bytes(data)
    with pytest.raises(AgentFileError, match=words):
        load_agent(path)


@pytest.mark.parametrize("cut", [9, 100, -1])
def test_truncated_files_are_refused(tmp_path, cut):
    whole = save_agent(random_agent(), tmp_path / "whole.agent").read_bytes()
    path = tmp_path / "cut.agent"
    path.write_bytes(whole[:cut])
    with pytest.raises(AgentFileError):
        load_agent(path)


def test_offsets_outside_the_file_are_refused_before_reading(tmp_path):
    header = {"__metadata__": {"format": "zorbic-agent", "version": "1", "network": "{}", "setup": "null"}}
    header["layers.0.weight"] = {"dtype": "F32", "shape": [2**20, 2**20], "data_offsets": [0, 2**42]}
    header["layers.0.bias"] = {"dtype": "F32", "shape": [1], "data_offsets": [0, 4]}
    path = tmp_path / "huge.agent"
    path.write_bytes(_sealed(header, b"\0" * 8))
    with pytest.raises(AgentFileError, match="do not hold"):
        load_agent(path)


def test_files_that_are_not_regular_or_too_large_are_refused(tmp_path):
    fifo = tmp_path / "pipe.agent"
    os.mkfifo(fifo)
    with pytest.raises(AgentFileError, match="not a regular file"):
        load_agent(fifo)
    big = tmp_path / "big.agent"
    with open(big, "wb") as out:
        out.truncate(65 * 2**20)  # sparse: costs no disk
    with pytest.raises(AgentFileError, match="more than"):
        load_agent(big)


def test_an_agent_file_named_as_an_opponent_plays_through_its_own_set_up(tmp_path):
    from zorbic.core.batch import SoccerBatch
    from zorbic.parts.observations import EgocentricObservation

    path = save_agent(random_agent(obs_builder=EgocentricObservation(goal_mouths=True)), tmp_path / "rival.agent")
    opponent = make_opponent(str(path))
    assert isinstance(opponent, PolicyOpponent) and opponent.obs_builder.goal_mouths
    batch = SoccerBatch(2, MatchSetup(opponent=path, max_steps=10))
    batch.restart()
    for _ in range(3):
        batch.step(np.zeros(2, np.int64))
    assert np.all(batch.state.episode_steps == 3)
