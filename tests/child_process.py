"""Checks run in a forked child: a hang or a crash fails the test, not the run."""

import multiprocessing
import os

# Under the sanitizer build the runtime is preloaded. Its allocator is not
# locked across fork(), so a child forked while other threads allocate can
# hang inside it; and it needs descriptors of its own to check memory.
SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


def outcome(call):
    """("ok", result) or (exception type name, args)."""
    try:
        return "ok", call()
    except Exception as e:
        return type(e).__name__, e.args


def in_child(fn, timeout=60):
    ctx = multiprocessing.get_context("fork")
    receiver, sender = ctx.Pipe(duplex=False)
    child = ctx.Process(target=lambda: sender.send(outcome(fn)))
    child.start()
    sender.close()
    answered = receiver.poll(timeout)
    child.join(timeout if answered else 0)
    child.kill()
    assert answered, "child did not answer (hang?)"
    status, result = receiver.recv()
    assert status == "ok", result
    return result
