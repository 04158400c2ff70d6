"""Companions to ``vantrel.tresk``: which pair of rows each boundary point sits
between (:func:`boundary_pairs`), which classes meet on those faces and which
rows lie on them (:func:`boundary_summary`), the nearest point at which the
prediction of a query changes (:func:`nearest_boundary`), and the search
spread over tasks, in this process or on a dask cluster
(:func:`tresk_distributed`), and the exact boundary
on a plane through the data (:func:`boundary_slice`).

Pure Python on NumPy and SciPy; every function takes array-likes and any
labels NumPy can compare. ``vantrel`` itself keeps its one function.
"""

from ._distributed import tresk_distributed
from ._nearest import nearest_boundary
from ._pairs import boundary_pairs
from ._slice import BoundarySlice, boundary_slice
from ._summary import BoundarySummary, boundary_summary

__all__ = ["BoundarySlice", "BoundarySummary", "boundary_pairs", "boundary_slice",
           "boundary_summary", "nearest_boundary", "tresk_distributed"]
