"""brisvel from Python: sparse linear systems solved by the brisvel library.

    x, info = brisvel.solve(A, b)

takes a SciPy sparse matrix (any format) or a dense array and returns the
solution with an info object. A failed solve raises SolveError, which
carries the error code, its text and the last iterate.
"""

import threading
from dataclasses import dataclass

import numpy as np

from . import _library as _q

__all__ = ["solve", "available_extensions", "SolveError", "SolveInfo"]
__version__ = "0.1.0"

_lock = threading.Lock()  # the library's current context is process-wide
_lib = None


def _get():
    global _lib
    if _lib is None:
        _lib = _q.load()
    return _lib


@dataclass
class SolveInfo:
    """What a solve did: iterations (0 for a direct method), the true
    relative residual of its answer, the method that ran, and the seconds
    of the solve spent building its preconditioner or factorisation."""

    iterations: int
    residual: float
    method: str
    setup_seconds: float = 0.0


class SolveError(RuntimeError):
    """A solve that did not reach its threshold, or could not run."""

    def __init__(self, code, text, x, info):
        super().__init__(f"{text} (error 0x{code:X})")
        self.code = code
        self.text = text
        self.x = x  # the last iterate (NumPy array)
        self.info = info


def available_extensions():
    """Names of the optional direct-solver extensions that load here."""
    with _lock:
        lib = _get()
        found = [name for name in ("SUPERLU", "CHOLMOD") if lib.qvInitExtension(name.encode())]
        lib.qvGetError()
        return found


def _as_rows(A):
    """(shape, indptr, indices as int32, values as float64) of A in compressed rows."""
    if hasattr(A, "tocsr"):
        csr = A.tocsr()
        indptr, indices, data = csr.indptr, csr.indices, csr.data
        shape = csr.shape
    else:
        dense = np.asarray(A)
        if dense.ndim != 2:
            raise ValueError("A must be two-dimensional")
        shape = dense.shape
        rows, cols = np.nonzero(dense)
        indices, data = cols, dense[rows, cols]
        indptr = np.concatenate(([0], np.cumsum(np.bincount(rows, minlength=shape[0]))))
    if np.iscomplexobj(data):
        raise TypeError("brisvel solves real systems only")
    data = np.ascontiguousarray(data, dtype=np.float64)
    if not np.all(np.isfinite(data)):
        raise ValueError("A holds NaN or infinite entries")
    return shape, np.asarray(indptr).tolist(), np.ascontiguousarray(indices, dtype=np.int32), data


def _set(lib, setter, code, value, what):
    setter(code, value)
    if lib.qvGetError():
        raise ValueError(f"bad {what}: {value!r}")


def _assemble(lib, indptr, indices, data, b, locked, skip_locked_rows):
    lib.qvBegin(_q.BLOCK_SYSTEM)
    for index, value in locked.items():
        lib.qvLockVariable(index)
        lib.qvSetVariable(index, value)
    lib.qvBegin(_q.BLOCK_MATRIX)
    begin, end, coefficients, rhs = lib.qvBegin, lib.qvEnd, lib.qvCoefficients, lib.qvRightHandSide
    cols, vals = indices.ctypes.data, data.ctypes.data
    row = _q.BLOCK_ROW
    for i, value in enumerate(b):
        if skip_locked_rows and i in locked:
            continue
        begin(row)
        first, last = indptr[i], indptr[i + 1]
        if last > first:
            coefficients(last - first, cols + 4 * first, vals + 8 * first)
        rhs(value)
        end(row)
    lib.qvEnd(_q.BLOCK_MATRIX)
    lib.qvEnd(_q.BLOCK_SYSTEM)


def solve(
    A,
    b,
    method="default",
    preconditioner="jacobi",
    threshold=None,
    max_iterations=None,
    threads=None,
    least_squares=False,
    locked=None,
    callback=None,
):
    """Solves A x = b, or in least-squares mode minimises ||b - A x||.

    method: "default" (BiCGStab; LSMR in least-squares mode, where "cg" is
        CGLS; see the C header), "bicgstab",
        "gmres", "cg", or a direct method when its extension is available:
        "superlu", "superlu_permuted", "cholmod".
    preconditioner: "jacobi", "ssor", "ilu0", "ic0", "amg" or "none".
    threshold: the true relative residual to reach (library default 1e-10).
    max_iterations, threads: None for the library's defaults.
    locked: {index: value} of variables held at given values; their terms
        move to the right-hand side. In a square system their own rows are
        left out: x[index] = value takes the place of row index.
    callback: called as callback(iteration, residual) after each iteration
        of an iterative method; returning True stops the solve.

    Returns (x, SolveInfo). Raises SolveError when the solve fails.
    """
    if method not in _q.METHODS:
        raise ValueError(f"unknown method {method!r}; one of {', '.join(_q.METHODS)}")
    if preconditioner not in _q.PRECONDITIONERS:
        raise ValueError(f"unknown preconditioner {preconditioner!r}")
    (m, n), indptr, indices, data = _as_rows(A)
    b = np.asarray(b, dtype=np.float64).ravel()
    if b.shape[0] != m:
        raise ValueError(f"b has {b.shape[0]} entries; A has {m} rows")
    if not np.all(np.isfinite(b)):
        raise ValueError("b holds NaN or infinite entries")
    if not least_squares and m != n:
        raise ValueError(f"A is {m} x {n}; a square matrix is needed, or least_squares=True")
    locked = {int(k): float(v) for k, v in (locked or {}).items()}
    if any(k < 0 or k >= n for k in locked):
        raise IndexError("a locked variable's index is outside 0 .. n - 1")
    ran = method
    if method == "default":
        ran = "cg" if least_squares else "bicgstab"

    raised = []

    def progress(iteration, residual, _user):
        try:
            return 1 if callback(iteration, residual) else 0
        except BaseException as e:  # handed back after the solve
            raised.append(e)
            return 1

    with _lock:
        lib = _get()
        lib.qvGetError()
        if method in _q.EXTENSION_OF:
            lib.qvInitExtension(_q.EXTENSION_OF[method].encode())  # a failure shows in the solve
        if not lib.qvNewContext():
            raise MemoryError("brisvel could not create a context")
        context = lib.qvGetCurrent()
        try:
            i, d = lib.qvSolverParameteri, lib.qvSolverParameterd
            _set(lib, i, _q.PARAM_VARIABLE_COUNT, n, "size")
            _set(lib, i, _q.PARAM_LEAST_SQUARES, 1 if least_squares else 0, "least_squares")
            _set(lib, i, _q.PARAM_SOLVER, _q.METHODS[method], "method")
            _set(lib, i, _q.PARAM_PRECONDITIONER, _q.PRECONDITIONERS[preconditioner], "preconditioner")
            if threshold is not None:
                _set(lib, d, _q.PARAM_THRESHOLD, float(threshold), "threshold")
            if max_iterations is not None:
                _set(lib, i, _q.PARAM_MAX_ITERATIONS, int(max_iterations), "max_iterations")
            if threads is not None:
                _set(lib, i, _q.PARAM_THREADS, int(threads), "threads")
            keep = _q.QVprogress(progress) if callback is not None else None
            if keep is not None:
                lib.qvSetProgressCallback(keep, None)
            _assemble(lib, indptr, indices, data, b.tolist(), locked, not least_squares)
            code = lib.qvGetError()
            if code:
                raise MemoryError(lib.qvErrorString(code).decode())
            solved = lib.qvSolve()
            code = lib.qvGetError()
            variable = lib.qvGetVariable
            x = np.array([variable(j) for j in range(n)], dtype=np.float64)
            info = SolveInfo(
                iterations=lib.qvGetParameteri(_q.USED_ITERATIONS),
                residual=lib.qvGetParameterd(_q.RESIDUAL),
                method=ran,
                setup_seconds=lib.qvGetParameterd(_q.SETUP_SECONDS),
            )
        finally:
            lib.qvDeleteContext(context)
            lib.qvGetError()
    if raised:
        raise raised[0]
    if not solved:
        raise SolveError(code, lib.qvErrorString(code).decode(), x, info)
    return x, info
