"""Concurrent use from several Python threads, and use in a forked child
after the parent has used everything (the ECC worker pool included). Every
wait has a timeout, so a deadlock fails the test instead of hanging it."""

import multiprocessing
import random
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import acqwriter
import vintrel
from encoders import encoder_for

TIMEOUT = 120
CHIP = 131140


def build(tmp_path, model, count=40, seed=0):
    enc = encoder_for(model)
    params = enc.sample_params()
    rng = random.Random(seed)
    events = [enc.sample_event(params, rng) for _ in range(count)]
    channels, windows, samples = params["channels"], params["windows"], params["samples"]
    table = [[[float((c + w + s) % 7) for s in range(samples)] for w in range(max(windows, 64))]
             for c in range(channels)]
    return acqwriter.write_acquisition(tmp_path / model, params, events, chunk_size=15,
                                       side_files={"pedestals_calibration": {"data": table}})


def read_and_export(acq, out: Path, indices):
    out.mkdir(parents=True, exist_ok=True)
    events = [acq[i] for i in range(len(acq))]
    sliced = acq[0:len(acq)]
    iterated = list(acq)
    vintrel.export_csv(acq, indices, out, True)
    files = {p.name: p.read_bytes() for p in sorted(out.iterdir())}
    return events, sliced, iterated, files


def ecc_block(seed, chips=2):
    """A block of sound zero words with single and double errors sprinkled in."""
    rng = random.Random(seed)
    block = bytearray(chips * CHIP + 2)
    for _ in range(300):
        chip, channel, word = rng.randrange(chips), rng.randrange(16), rng.randrange(4096)
        at = chip * CHIP + 3 + channel * 8196 + 2 * word
        block[at] ^= 1 << rng.randrange(8)
        if rng.random() < 0.3:
            block[at + 1] ^= 1 << rng.randrange(6)
    return bytes(block)


@pytest.mark.parametrize("model", ["merrowv3", "pikorv1_evalr2", "tesslav3"])
def test_four_threads_read_and_export_like_one(tmp_path, model):
    root = build(tmp_path, model)
    acq = vintrel.Acquisition(root)
    indices = list(range(len(acq))) * 30 + [10_000]  # two files, one missing event
    alone = read_and_export(acq, tmp_path / "alone", indices)
    assert len(alone[3]) == 2

    with ThreadPoolExecutor(4) as pool:
        futures = [pool.submit(read_and_export, acq, tmp_path / f"thread{k}", indices) for k in range(4)]
        results = [f.result(timeout=TIMEOUT) for f in futures]
    for result in results:
        assert result == alone


def test_ecc_check_from_several_threads(tmp_path):
    blocks = [ecc_block(seed) for seed in range(6)]
    expected = [vintrel.ecc_check(b) for b in blocks]
    corrected = [vintrel.ecc_correct(b) for b in blocks]
    assert all(expected)

    def work(k):
        out = []
        for _ in range(5):
            out.append(vintrel.ecc_check(blocks[k % 6]) == expected[k % 6])
            out.append(vintrel.ecc_correct(blocks[k % 6]) == corrected[k % 6])
        return all(out)

    with ThreadPoolExecutor(8) as pool:
        assert all(f.result(timeout=TIMEOUT) for f in [pool.submit(work, k) for k in range(16)])


def everything(root: Path, out: Path, block: bytes):
    """One use of every function; the results, comparable across processes."""
    acq = vintrel.Acquisition(root)
    events, sliced, iterated, files = read_and_export(acq, out, list(range(len(acq))))
    return {
        "events": events, "sliced": sliced, "iterated": iterated, "files": files,
        "raw": acq.raw_event(3), "len": len(acq), "chunks": acq.chunk_count, "name": acq.name,
        "metadata": acq.metadata, "pedestals": acq.pedestals_calibration,
        "listed": [a.path for a in vintrel.list_acquisitions(root.parent)],
        "is_acq": vintrel.is_acquisition(root),
        "code": [vintrel.syndrome(0x0001), vintrel.global_parity(0x8000), vintrel.syndrome_to_index([1, 1, 0, 0])],
        "check": vintrel.ecc_check(block), "correct": bytes(vintrel.ecc_correct(block)),
    }


def child_main(conn, root, out, block):
    try:
        conn.send(everything(Path(root), Path(out), block))
    except BaseException as e:  # report instead of dying silently
        conn.send(repr(e))
    conn.close()


def run_in_fork(root, out, block):
    ctx = multiprocessing.get_context("fork")
    receiver, sender = ctx.Pipe(duplex=False)
    child = ctx.Process(target=child_main, args=(sender, str(root), str(out), block))
    child.start()
    sender.close()
    try:
        if not receiver.poll(TIMEOUT):
            pytest.fail("forked child did not answer (hang?)")
        result = receiver.recv()
    finally:
        child.join(timeout=TIMEOUT)
        if child.is_alive():
            child.kill()
            pytest.fail("forked child did not exit")
    assert child.exitcode == 0
    assert not isinstance(result, str), result
    return result


def test_forked_child_uses_everything_after_the_parent(tmp_path):
    root = build(tmp_path, "pikorv1_evalr2", count=20)
    block = ecc_block(7, chips=6)
    parent = everything(root, tmp_path / "parent", block)  # creates the ECC pool here
    child = run_in_fork(root, tmp_path / "child", block)
    assert child == parent


def test_fork_while_another_thread_keeps_the_pool_busy(tmp_path):
    root = build(tmp_path, "merrowv3", count=10)
    block = ecc_block(3, chips=3)
    parent = everything(root, tmp_path / "parent", block)
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            vintrel.ecc_check(block)

    thread = threading.Thread(target=busy)
    thread.start()
    try:
        for k in range(5):
            assert run_in_fork(root, tmp_path / f"child{k}", block) == parent
    finally:
        stop.set()
        thread.join(timeout=TIMEOUT)
    assert not thread.is_alive()
