"""Running test jobs on several Python threads at once."""

import threading

# Long enough for any job of the suite on a loaded machine; a thread still
# alive after it has hung.
JOIN_TIMEOUT = 120


def run_in_threads(*jobs):
    """Runs every job on its own thread, all at once, and returns their
    results in order; the first exception of any job is raised here."""
    results = [None] * len(jobs)
    errors = []

    def run(k):
        try:
            results[k] = jobs[k]()
        except BaseException as error:  # carried to the test's thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
        assert not thread.is_alive(), "a thread hung"
    if errors:
        raise errors[0]
    return results
