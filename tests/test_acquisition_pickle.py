"""An Acquisition travels as its path: copies, pickled ones and those in other
processes, open the directory again, as it is then."""

import copy
import multiprocessing
import os
import pickle
import random
import shutil
from concurrent.futures import ProcessPoolExecutor

import pytest

import acqwriter
import vintrel
from encoders import merrowv3

PARAMS = merrowv3.sample_params(channels=1, windows=8, samples=2)


def via_a_process_pool(acq):
    """Unpickled in a new process by a task (so that its failure is the
    task's, not the pool's) and pickled back."""
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        return pool.submit(pickle.loads, pickle.dumps(acq)).result(timeout=120)


COPIES = [lambda a: pickle.loads(pickle.dumps(a, protocol=0)), lambda a: pickle.loads(pickle.dumps(a, protocol=5)),
          copy.copy, copy.deepcopy, via_a_process_pool]


def events(count):
    return [merrowv3.sample_event(PARAMS, random.Random(k)) for k in range(count)]


@pytest.mark.parametrize("copied", COPIES)
def test_copies_reopen_the_directory(tmp_path, copied):
    root = acqwriter.write_acquisition(tmp_path / os.fsdecode(b"\xff") / "run", PARAMS, events(3))  # not UTF-8
    acq = vintrel.Acquisition(root)
    again = copied(acq)
    assert again is not acq and again.metadata is not acq.metadata
    assert (again.name, len(again), again.metadata, list(again)) == (acq.name, 3, acq.metadata, list(acq))
    acqwriter.write_chunk(root, 1, events(2))
    assert len(copied(acq)) == 5
    shutil.rmtree(root)
    with pytest.raises(FileNotFoundError) as raised:
        copied(acq)
    assert raised.value.args == ("Invalid path",)
