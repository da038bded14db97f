"""Agent files (`.agent`): a policy's weights and its set-up, and nothing that runs.

The file is safetensors: an 8-byte little-endian header length, a JSON
header naming each tensor's dtype, shape and byte range, then the raw
tensors. Reading it parses JSON and copies numbers; nothing in it is code.
The layout is described in docs/agent-files.md.

Tensors: `layers.{i}.weight` (fan_in, fan_out) and `layers.{i}.bias`
(fan_out,), float32 or float64, for i = 0 .. L - 1; the last layer gives
the action logits. Metadata (strings, as safetensors keeps them):
`format` "zorbic-agent", `version` "1", `network` (JSON: activation,
action_dims) and `setup` (JSON: the saved set-up).

Everything is checked before a tensor is made: the file's kind and size,
the header's length, every entry's dtype, shape and byte range, then the
shapes against each other, the weights for NaN and infinity, and the set-up
by building its matches.
"""

from __future__ import annotations

import json
import math
import os
import struct
from typing import Any

import numpy as np
from safetensors.numpy import load as load_tensors
from safetensors.numpy import save as save_tensors

from zorbic.agents.network import ACTIVATIONS, Agent
from zorbic.agents.setup import setup_from_saved
from zorbic.common.files import read_bounded, write_atomic

AGENT_SUFFIX = ".agent"
FORMAT = "zorbic-agent"
VERSION = "1"
# A 3 v 3 network of a few 256-wide layers is well under a megabyte; the
# bounds leave room for much larger ones while keeping a hostile file small.
MAX_FILE_BYTES = 64 * 2**20
MAX_HEADER_BYTES = 4 * 2**20
MAX_LAYERS = 64
MAX_TICK_SKIP = 600
MAX_PREDICTION_TICKS = 600
_DTYPES = {"F32": 4, "F64": 8}


class AgentFileError(ValueError):
    """An agent file that is damaged, hostile, or not an agent file."""


def save_agent(agent: Agent, path: str | os.PathLike[str]) -> os.PathLike[str]:
    """Write `agent` to `path` atomically.

    Args:
        agent: the policy; its `setup` must be the saved set-up of its matches.
        path: where to write (conventionally with the `.agent` suffix).
    """
    tensors: dict[str, np.ndarray] = {}
    for i, (w, b) in enumerate(zip(agent.weights, agent.biases)):
        tensors[f"layers.{i}.weight"] = np.ascontiguousarray(w, np.float32)
        tensors[f"layers.{i}.bias"] = np.ascontiguousarray(b, np.float32)
    metadata = {
        "format": FORMAT,
        "version": VERSION,
        "network": json.dumps({"activation": agent.activation, "action_dims": agent.action_dims}),
        "setup": json.dumps(agent.setup),
    }
    return write_atomic(path, save_tensors(tensors, metadata=metadata))


def load_agent(path: str | os.PathLike[str]) -> Agent:
    """The policy of the agent file `path`, rebuilt with NumPy alone.

    Raises:
        AgentFileError: the file is damaged, hostile or of another kind.
        OSError: it cannot be read.
    """
    try:
        data = read_bounded(path, MAX_FILE_BYTES, "agent file")
    except ValueError as error:
        raise AgentFileError(str(error)) from None
    try:
        return _agent(data)
    except AgentFileError as error:
        raise AgentFileError(f"{path}: {error}") from None


def _agent(data: bytes) -> Agent:
    header, body_size = _header(data)
    metadata = header.pop("__metadata__", None)
    if not isinstance(metadata, dict) or metadata.get("format") != FORMAT:
        raise AgentFileError("not an agent file (no agent metadata)")
    if metadata.get("version") != VERSION:
        raise AgentFileError(f"agent file version {metadata.get('version')!r}; this zorbic reads version {VERSION}")
    network = _json(metadata, "network")
    saved = _json(metadata, "setup")
    n_layers = len(header) // 2
    names = {f"layers.{i}.{kind}" for i in range(n_layers) for kind in ("weight", "bias")}
    if set(header) != names or not 1 <= n_layers <= MAX_LAYERS:
        raise AgentFileError(
            f"the tensors must be layers.0 .. layers.N-1 (N at most {MAX_LAYERS}), each a weight and a bias"
        )
    for name, entry in header.items():
        _check_entry(name, entry, body_size)
    try:
        tensors = load_tensors(data)
    except Exception as error:  # the reader reports overlapping or ill-formed ranges in its own way
        raise AgentFileError(f"the tensors do not read: {error}") from None
    if not isinstance(network, dict) or network.get("activation") not in ACTIVATIONS:
        raise AgentFileError(f"the network's activation must be one of {sorted(ACTIVATIONS)}")
    dims = network.get("action_dims")
    if not isinstance(dims, list) or not dims or not all(type(n) is int and 0 < n <= 2**16 for n in dims):
        raise AgentFileError("the network's action_dims must be a list of positive ints")
    _check_cost(saved, tensors["layers.0.weight"].shape[0])
    try:
        keywords = setup_from_saved(saved)
        agent = Agent(
            [tensors[f"layers.{i}.weight"] for i in range(n_layers)],
            [tensors[f"layers.{i}.bias"] for i in range(n_layers)],
            network["activation"],
            dims,
            saved,
        )
    except ValueError as error:
        raise AgentFileError(str(error)) from None
    _check_fits(agent, keywords)
    return agent


def _header(data: bytes) -> tuple[dict[str, Any], int]:
    if len(data) < 8:
        raise AgentFileError("too short for an agent file")
    (length,) = struct.unpack("<Q", data[:8])
    if length > MAX_HEADER_BYTES or 8 + length > len(data):
        raise AgentFileError(f"the header claims {length:,} bytes; the file has {len(data) - 8:,} after the length")
    try:
        header = json.loads(data[8 : 8 + length], object_pairs_hook=_no_duplicates)
    except (ValueError, RecursionError) as error:
        raise AgentFileError(f"the header is not JSON: {error}") from None
    if not isinstance(header, dict):
        raise AgentFileError("the header is not a JSON object")
    return header, len(data) - 8 - length


def _no_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    keys = [key for key, _ in pairs]
    if len(set(keys)) != len(keys):
        raise AgentFileError("the header names a key twice")
    return dict(pairs)


def _json(metadata: dict[str, Any], key: str) -> Any:
    text = metadata.get(key)
    if not isinstance(text, str):
        raise AgentFileError(f"the metadata has no {key!r} text")
    try:
        return json.loads(text, object_pairs_hook=_no_duplicates)
    except (ValueError, RecursionError) as error:
        raise AgentFileError(f"the metadata's {key!r} is not JSON: {error}") from None


def _check_entry(name: str, entry: Any, body_size: int) -> None:
    if not isinstance(entry, dict) or entry.get("dtype") not in _DTYPES:
        raise AgentFileError(f"{name}: the dtype must be one of {sorted(_DTYPES)}")
    shape, offsets = entry.get("shape"), entry.get("data_offsets")
    rank = 2 if name.endswith("weight") else 1
    if not isinstance(shape, list) or len(shape) != rank or not all(type(n) is int and 0 < n <= 2**20 for n in shape):
        raise AgentFileError(f"{name}: the shape must be {rank} positive sizes, got {shape!r}")
    if not (isinstance(offsets, list) and len(offsets) == 2 and all(type(n) is int for n in offsets)):
        raise AgentFileError(f"{name}: data_offsets must be two ints")
    start, end = offsets
    if not 0 <= start <= end <= body_size or end - start != math.prod(shape) * _DTYPES[entry["dtype"]]:
        raise AgentFileError(f"{name}: bytes {start}..{end} do not hold a {shape} tensor inside the file")


def _check_cost(saved: Any, inputs: int) -> None:
    """A shared set-up must keep a step affordable: the engine runs every tick
    of a step and every tick up to the furthest ball prediction, and bounds neither."""
    if not isinstance(saved, dict):
        return  # the set-up check refuses it
    tick_skip = saved.get("tick_skip")
    if type(tick_skip) is int and tick_skip > MAX_TICK_SKIP:
        raise AgentFileError(f"the set-up's tick_skip {tick_skip} is more than {MAX_TICK_SKIP}")
    observation = saved.get("observation")
    if not isinstance(observation, dict):
        return
    offsets, rays = observation.get("ball_prediction"), observation.get("wall_rays")
    if isinstance(offsets, list) and any(type(k) is int and k > MAX_PREDICTION_TICKS for k in offsets):
        raise AgentFileError(f"the set-up predicts the ball more than {MAX_PREDICTION_TICKS} ticks ahead")
    # Every ray and prediction is an input: more than the network takes cannot
    # fit, and would only be built to be refused.
    if type(rays) is int and rays > inputs or isinstance(offsets, list) and len(offsets) > inputs:
        raise AgentFileError(f"the set-up's observation is larger than the network's {inputs} inputs")


def _check_fits(agent: Agent, keywords: dict[str, Any]) -> None:
    """The network must take the observations and give the actions of its own matches."""
    from gymnasium import spaces

    from zorbic.core.batch import SoccerBatch
    from zorbic.core.match_setup import MatchSetup

    batch = SoccerBatch(1, MatchSetup(**keywords))
    space = batch.action_space
    dims = [int(space.n)] if isinstance(space, spaces.Discrete) else [int(n) for n in getattr(space, "nvec", [])]
    if (agent.obs_dim,) != batch.observation_space.shape or dims != agent.action_dims:
        raise AgentFileError(
            f"the network takes {agent.obs_dim} observations and {agent.action_dims} actions;"
            f" its matches give {batch.observation_space.shape} and {space}"
        )
