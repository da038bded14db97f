"""The Ray collector, at its public path (it lives in `zorbic.distributed.ray`)."""

from zorbic.distributed.ray import (
    Batch,
    Collection,
    MLPPolicy,
    Policy,
    Restart,
    Rollout,
    RolloutCollector,
    RolloutConfig,
    RolloutRunner,
)

__all__ = [
    "Batch",
    "Collection",
    "MLPPolicy",
    "Policy",
    "Restart",
    "Rollout",
    "RolloutCollector",
    "RolloutConfig",
    "RolloutRunner",
]
