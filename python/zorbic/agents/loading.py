"""Taking an agent from a file: agent files always, pickled models only when trusted.

A stable-baselines3 `.zip` holds pickles, and unpickling runs whatever code
the file's author put in it. So such a file is read only when the user says
they trust it; otherwise it is refused by its signature alone, before any
part of it is opened.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from zorbic.agents.file import AgentFileError, load_agent

_ZIP_SIGNATURES = (b"PK\x03\x04", b"PK\x05\x06")
EXPORT_HINT = "python -m zorbic export MODEL.zip --out NAME.agent"


class UntrustedFileError(ValueError):
    """A file that would be unpickled to be read, handed over without a trust choice."""


def load_policy(path: str | os.PathLike[str], *, trust_pickle: bool = False) -> tuple[Any, dict[str, Any]]:
    """A policy from an agent file, or from a stable-baselines3 model when `trust_pickle` is set.

    Args:
        path: an agent file (`.agent`) or, with `trust_pickle`, a stable-baselines3 `.zip`.
        trust_pickle: read a pickled model; this runs any code its author put in it,
            so set it only for your own files.

    Returns:
        The policy (with `predict(obs, deterministic=True)`) and the set-up keywords of its matches.

    Raises:
        UntrustedFileError: a pickled model without `trust_pickle`.
        AgentFileError: a damaged or hostile agent file.
    """
    path = Path(path)
    if _looks_pickled(path):
        if not trust_pickle:
            raise UntrustedFileError(
                f"{path} is a stable-baselines3 model, which runs code when read: convert your own models with"
                f" `{EXPORT_HINT}`, or pass --trust-pickle (trust_pickle=True) for a file you trust"
            )
        from zorbic.training.model_files import load_model

        return load_model(path)
    from zorbic.agents.setup import setup_from_saved

    agent = load_agent(path)
    return agent, setup_from_saved(agent.setup)


def _looks_pickled(path: Path) -> bool:
    """Whether `path` starts like a zip archive, the container of pickled models."""
    try:
        with open(path, "rb", opener=lambda p, flags: os.open(p, flags | os.O_NONBLOCK)) as source:
            return source.read(4) in _ZIP_SIGNATURES
    except IsADirectoryError:
        return False


__all__ = ["AgentFileError", "UntrustedFileError", "load_policy"]
