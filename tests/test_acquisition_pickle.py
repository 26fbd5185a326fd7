"""An Acquisition travels as its path: pickling, copying and process pools
open the directory again, as it is then."""

import copy
import multiprocessing
import os
import pickle
import random
import shutil
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

import acqwriter
import vintrel
from encoders import merrowv3

PARAMS = merrowv3.sample_params(channels=1, windows=8, samples=2)


def events(count):
    rng = random.Random(count)
    return [merrowv3.sample_event(PARAMS, rng) for _ in range(count)]


def summary(acq):
    return acq.path, acq.name, len(acq), acq.metadata, list(acq)


COPIES = {
    "pickle-0": lambda a: pickle.loads(pickle.dumps(a, protocol=0)),
    "pickle-highest": lambda a: pickle.loads(pickle.dumps(a, protocol=pickle.HIGHEST_PROTOCOL)),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


@pytest.mark.parametrize("how", COPIES)
def test_copies_reopen_the_same_directory(make_acq, how):
    root = make_acq(PARAMS, events(3))
    acq = vintrel.Acquisition(root)
    again = COPIES[how](acq)
    assert type(again) is vintrel.Acquisition and again is not acq
    assert summary(again) == summary(acq)
    assert again.metadata is not acq.metadata  # read anew, not shared
    # Events written afterwards are seen by the copy as by the original.
    acqwriter.write_chunk(root, 1, events(2))
    assert len(COPIES[how](acq)) == len(acq) == 5


@pytest.mark.parametrize("how", COPIES)
def test_a_vanished_acquisition_fails_where_it_is_opened_again(make_acq, how):
    root = make_acq(PARAMS, events(1))
    acq = vintrel.Acquisition(root)
    data = pickle.dumps(acq)
    shutil.rmtree(root)
    with pytest.raises(FileNotFoundError) as raised:
        pickle.loads(data) if how.startswith("pickle") else COPIES[how](acq)
    assert raised.value.args == ("Invalid path",)


def test_a_path_that_is_not_utf8_round_trips(tmp_path):
    root = Path(os.fsdecode(os.fsencode(tmp_path) + b"/run\xff"))
    acqwriter.write_acquisition(root, PARAMS, events(2))
    acq = vintrel.Acquisition(root)
    assert len(pickle.loads(pickle.dumps(acq))) == 2


def first_event_and_count(acq):
    return acq[0], len(acq)


def test_acquisitions_cross_into_a_process_pool(make_acq):
    acqs = [vintrel.Acquisition(make_acq(PARAMS, events(n))) for n in (1, 4)]
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        assert list(pool.map(first_event_and_count, acqs, timeout=120)) == [(a[0], len(a)) for a in acqs]
