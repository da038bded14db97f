"""The Ray collector, at its public path (it lives in `zorbic.distributed.ray`)."""

from zorbic.distributed.ray import *  # noqa: F403
from zorbic.distributed.ray import __all__  # noqa: F401
