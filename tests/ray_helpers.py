"""A local Ray cluster for the tests that need one."""

import contextlib
import sys

import ray


@contextlib.contextmanager
def local_cluster(test_module: str):
    """Two CPUs, quiet; functions of `test_module` travel by value, as the workers cannot import it."""
    ray.cloudpickle.register_pickle_by_value(sys.modules[test_module])
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        yield
    finally:
        ray.shutdown()
        ray.cloudpickle.unregister_pickle_by_value(sys.modules[test_module])
