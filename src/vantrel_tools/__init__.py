"""Companions to ``vantrel.tresk``: which pair of rows each boundary point sits
between (:func:`boundary_pairs`), which classes meet on those faces and which
rows lie on them (:func:`boundary_summary`), the nearest point at which the
prediction of a query changes (:func:`nearest_boundary`), and the search
spread over tasks, in this process or on a dask cluster
(:func:`tresk_distributed`).

Pure Python on NumPy and SciPy; every function takes array-likes and any
labels NumPy can compare. ``vantrel`` itself keeps its one function.
"""

from ._distributed import tresk_distributed
from ._nearest import nearest_boundary
from ._pairs import boundary_pairs
from ._summary import BoundarySummary, boundary_summary

__all__ = ["BoundarySummary", "boundary_pairs", "boundary_summary", "nearest_boundary",
           "tresk_distributed"]
