"""Native part of qelt_corpus; use the functions of qelt_corpus instead."""

from typing import Any

import numpy as np
import numpy.typing as npt

def patch_ends(
    data: Any, k: int, theta: float, theta_r: float, max_length: int
) -> npt.NDArray[np.int64]:
    """Patch ends of one buffer; ``max_length`` 0 means no limit."""

def patch_ends_arrow(
    validity: Any,
    offsets: Any,
    data: Any,
    offset: int,
    length: int,
    offset_width: int,
    k: int,
    theta: float,
    theta_r: float,
    max_length: int,
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int64]]:
    """List offsets and patch ends of the documents of one Arrow array's buffers."""
