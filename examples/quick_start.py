import os

import vintrel
from vintrel.errors import ParsingError

with vintrel.Acquisition("/data/run7") as acq:   # str or any os.PathLike
    print(acq)                      # <vintrel.Acquisition 'run7' merrowv3, 3 chunks, 2,500 events at '/data/run7'>
    print(acq.name, acq.chunk_count, len(acq), acq.params)

    raw = acq.raw_event(0)          # {"rawdata": bytes, "pkg_num": 0, "event_num": 0}
    event = acq[0]                  # {"data", "window_labels", "time", "timing", "ecc_errors"}
    samples = event["data"][0]      # channel 0: ADC counts (floats); event["time"][0]: sample indices
    events = acq[100:200]           # list of parsed events
    for event in acq:               # stops at the first event that cannot be read or parsed
        ...                         # (with a RuntimeWarning naming it, unless it is past the last event)
    try:
        event = acq.parsed_event(0)
    except ParsingError as error:   # the exception types by name: vintrel.errors
        print("event 0 is corrupt:", error)

    arrays = acq.arrays()           # every event as flat numpy arrays; arrays.errors lists those left out
    dense = arrays.to_numpy()       # {"data": float32 [events, channels, samples], ...} when all share one shape

    os.makedirs("/tmp/out", exist_ok=True)  # export_csv writes into an existing directory
    vintrel.export_csv(acq, range(len(acq)), "/tmp/out", True)  # CSV files, pedestals subtracted
