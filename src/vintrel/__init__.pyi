from ._columnar import EccErrorArrays as EccErrorArrays, EventArrays as EventArrays
from . import plot as plot
from ._sample import sample as sample
from ._vintrel import (
    Acquisition as Acquisition,
    PanicException as PanicException,
    ecc_check as ecc_check,
    ecc_correct as ecc_correct,
    export_csv as export_csv,
    global_parity as global_parity,
    is_acquisition as is_acquisition,
    list_acquisitions as list_acquisitions,
    syndrome as syndrome,
    syndrome_to_index as syndrome_to_index,
)

__all__ = [
    "Acquisition",
    "list_acquisitions",
    "is_acquisition",
    "export_csv",
    "syndrome",
    "global_parity",
    "syndrome_to_index",
    "ecc_check",
    "ecc_correct",
]

__version__: str
