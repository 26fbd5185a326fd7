"""Whether a call lets other Python threads run: a second thread counts
its own steps while the call runs."""

import threading
import time


def steps_during(call):
    """Runs call(); returns its result, its duration in seconds and how many
    steps the other thread made meanwhile (a call that held the interpreter
    lock throughout would allow only a handful)."""
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)
        start = time.perf_counter()
        result = call()
        end = time.perf_counter()
    finally:
        done.set()
        counter.join()
    return result, end - start, len([t for t in ticks if start < t < end])
