"""Companions to ``vantrel.tresk``: which pair of rows each boundary point sits
between (:func:`boundary_pairs`), and the search spread over processes or a
dask cluster (:func:`tresk_distributed`).

Pure Python on NumPy; ``vantrel`` itself keeps its one function.
"""

from ._distributed import tresk_distributed
from ._pairs import boundary_pairs

__all__ = ["boundary_pairs", "tresk_distributed"]
