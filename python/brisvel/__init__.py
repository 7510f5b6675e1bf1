"""brisvel from Python: sparse linear systems solved by the brisvel library.

    x, info = brisvel.solve(A, b)

takes a SciPy sparse matrix (any format) or a dense array and returns the
solution with an info object. A failed solve raises SolveError, which
carries the error code, its text and the last iterate.

    solver = brisvel.Solver(A, method="cholmod")
    x = solver.solve(b)            # factors, then solves
    X = solver.solve(B)            # B of shape (n, k): k systems at once
    solver.update(A2)              # new values (a like pattern keeps the analysis)

keeps the setup (the factorisation, or the preconditioner) for every further
solve. brisvel.cg, bicgstab, gmres, lsmr and spsolve take SciPy's signatures.

Each call works in a context of its own on the calling thread: solves in
several Python threads run at once (the library releases the GIL while it
works), as long as each Solver is used by one thread at a time.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

import numpy as np

from . import _library as _q

__all__ = [
    "Solver",
    "solve",
    "cg",
    "bicgstab",
    "gmres",
    "lsmr",
    "spsolve",
    "available_extensions",
    "SolveError",
    "SolveInfo",
]
__version__ = "0.1.0"

_lib = None
_loading = threading.Lock()  # guards the one-time load, nothing else

Callback = Callable[[int, float], Any]


def _get():
    global _lib
    if _lib is None:
        with _loading:
            if _lib is None:
                _lib = _q.load()
    return _lib


@dataclass
class SolveInfo:
    """What a solve did for one system: iterations (0 for a direct method),
    the true relative residual of its answer, the method that ran, the
    seconds of the solve spent building its preconditioner or factorisation
    (0 when a Solver reused them), the error code (0 on success) and, with
    ILUT, its factors' entries over A's (else 0)."""

    iterations: int
    residual: float
    method: str
    setup_seconds: float = 0.0
    code: int = 0
    fill: float = 0.0


class SolveError(RuntimeError):
    """A solve that did not reach its threshold, or could not run."""

    def __init__(self, code: int, text: str, x: np.ndarray, info):
        super().__init__(f"{text} (error 0x{code:X})")
        self.code = code
        self.text = text
        self.x = x  # the last iterate (NumPy array), or the answers of all systems
        self.info = info  # a SolveInfo, or a list of them for several systems


def available_extensions() -> List[str]:
    """Names of the optional direct-solver extensions that load here."""
    lib = _get()
    found = [name for name in ("SUPERLU", "CHOLMOD") if lib.qvInitExtension(name.encode())]
    lib.qvGetError()
    return found


def _as_rows(A) -> Tuple[Tuple[int, int], np.ndarray, np.ndarray, np.ndarray]:
    """(shape, row starts as int64, columns as int32, values as float64) of A."""
    if hasattr(A, "tocsr"):
        csr = A.tocsr()
        indptr, indices, data, shape = csr.indptr, csr.indices, csr.data, csr.shape
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
    if shape[1] > 2**28:
        raise ValueError("A has more columns than brisvel takes (2^28)")
    return (
        (int(shape[0]), int(shape[1])),
        np.ascontiguousarray(indptr, dtype=np.int64),
        np.ascontiguousarray(indices, dtype=np.int32),
        data,
    )


def _rows_kept(indptr, indices, data, keep):
    """The rows where keep is true, in compressed rows."""
    lengths = np.diff(indptr)
    entries = np.repeat(keep, lengths)
    starts = np.concatenate(([0], np.cumsum(lengths[keep]))).astype(np.int64)
    return starts, np.ascontiguousarray(indices[entries]), np.ascontiguousarray(data[entries])


def _pointer(array: np.ndarray) -> int:
    return array.ctypes.data


class Solver:
    """A system set up once and solved for any number of right-hand sides.

    A: a SciPy sparse matrix (any format) or a dense array, real.
    method: "default" (BiCGStab; LSMR in least-squares mode, where "cg" is
        CGLS; see the C header), "bicgstab", "gmres", "cg", or a direct
        method when its extension is available: "superlu",
        "superlu_permuted", "cholmod".
    preconditioner: "jacobi", "ssor", "ilu0", "ic0", "amg", "ilut" or "none".
    threshold: the true relative residual to reach (library default 1e-10).
    max_iterations, threads: None for the library's defaults.
    least_squares: minimise ||b - A x|| for an A of any shape.
    locked: {index: value} of variables held at given values; their terms
        move to the right-hand side. In a square system their own rows are
        left out: x[index] = value takes the place of row index.
    callback: called as callback(iteration, residual) after each iteration
        of an iterative method; returning True stops the solve, and an
        exception it raises stops the solve and reaches the caller.
    restart: GMRES's restart length (library default 30).
    ilut: settings of the "ilut" preconditioner, any of {"drop": 1e-4,
        "fill": 10.0, "pivot": 0.1, "scaling": "matching"} (the library's
        defaults; scaling also "equilibrate" or "none"; see the C header).

    The first solve builds the preconditioner or the factorisation; later
    ones reuse it (their info.setup_seconds is 0) until update() or
    set_locked_values() changes what it depends on. One thread at a time
    uses a Solver; separate Solvers may be used by separate threads at once.
    """

    def __init__(
        self,
        A,
        method: str = "default",
        preconditioner: str = "jacobi",
        threshold: Optional[float] = None,
        max_iterations: Optional[int] = None,
        threads: Optional[int] = None,
        least_squares: bool = False,
        locked: Optional[Dict[int, float]] = None,
        callback: Optional[Callback] = None,
        restart: Optional[int] = None,
        ilut: Optional[Dict[str, Union[float, str]]] = None,
    ):
        if method not in _q.METHODS:
            raise ValueError(f"unknown method {method!r}; one of {', '.join(_q.METHODS)}")
        if preconditioner not in _q.PRECONDITIONERS:
            raise ValueError(f"unknown preconditioner {preconditioner!r}")
        (m, n), indptr, indices, data = _as_rows(A)
        if not least_squares and m != n:
            raise ValueError(f"A is {m} x {n}; a square matrix is needed, or least_squares=True")
        if n == 0:
            raise ValueError("A has no columns")
        self.shape = (m, n)
        self.least_squares = bool(least_squares)
        self.method = method
        self.ran = method if method != "default" else ("cg" if least_squares else "bicgstab")
        self.info: Union[SolveInfo, List[SolveInfo], None] = None
        self._locked = self._checked_locks(locked)
        self._callback = callback
        self._raised: List[BaseException] = []
        self._use = threading.Lock()  # one call at a time on the context
        self._systems = 1
        self._lib = _get()
        lib = self._lib
        lib.qvGetError()
        if method in _q.EXTENSION_OF:
            lib.qvInitExtension(_q.EXTENSION_OF[method].encode())  # a failure shows in the solve
        self._context = lib.qvNewContext()
        if not self._context:
            raise MemoryError("brisvel could not create a context")
        try:
            i, d = lib.qvSolverParameteri, lib.qvSolverParameterd
            self._set(i, _q.PARAM_VARIABLE_COUNT, n, "size")
            self._set(i, _q.PARAM_LEAST_SQUARES, 1 if least_squares else 0, "least_squares")
            self._set(i, _q.PARAM_SOLVER, _q.METHODS[method], "method")
            self._set(i, _q.PARAM_PRECONDITIONER, _q.PRECONDITIONERS[preconditioner],
                      "preconditioner")
            if threshold is not None:
                self._set(d, _q.PARAM_THRESHOLD, float(threshold), "threshold")
            if max_iterations is not None:
                self._set(i, _q.PARAM_MAX_ITERATIONS, int(max_iterations), "max_iterations")
            if threads is not None:
                self._set(i, _q.PARAM_THREADS, int(threads), "threads")
            if restart is not None:
                self._set(i, _q.PARAM_GMRES_RESTART, int(restart), "restart")
            for key, value in (ilut or {}).items():
                if key == "scaling":
                    if value not in _q.ILUT_SCALINGS:
                        raise ValueError(f"bad ilut scaling: {value!r}")
                    self._set(i, _q.PARAM_ILUT_SCALING, _q.ILUT_SCALINGS[value], "ilut scaling")
                elif key in _q.PARAM_ILUT:
                    self._set(d, _q.PARAM_ILUT[key], float(value), f"ilut {key}")
                else:
                    raise ValueError(f"unknown ilut setting {key!r}")
            self._progress = _q.QVprogress(self._report) if callback is not None else None
            if self._progress is not None:
                lib.qvSetProgressCallback(self._progress, None)
            self._keep(indptr, indices, data)
            self._send()
        except BaseException:
            self.close()
            raise

    # ---- the context ----

    def _checked_locks(self, locked) -> Dict[int, float]:
        locks = {int(k): float(v) for k, v in (locked or {}).items()}
        if any(k < 0 or k >= self.shape[1] for k in locks):
            raise IndexError("a locked variable's index is outside 0 .. n - 1")
        if not all(np.isfinite(v) for v in locks.values()):
            raise ValueError("a locked variable's value is NaN or infinite")
        return locks

    def _set(self, setter, code: int, value, what: str) -> None:
        setter(code, value)
        if self._lib.qvGetError():
            raise ValueError(f"bad {what}: {value!r}")

    def _enter(self):
        if not self._context:
            raise ValueError("the Solver is closed")
        self._lib.qvMakeCurrent(self._context)
        self._lib.qvGetError()

    def _keep(self, indptr, indices, data) -> None:
        """Keeps the rows the library is given: a square system's without
        the locked variables' own rows."""
        m = self.shape[0]
        self._rows = np.arange(m)
        if not self.least_squares and self._locked:
            keep = np.ones(m, dtype=bool)
            keep[list(self._locked)] = False
            self._rows = np.flatnonzero(keep)
            indptr, indices, data = _rows_kept(indptr, indices, data, keep)
        self._indptr, self._indices, self._data = indptr, indices, data

    def _send(self) -> None:
        """Gives the library the system: locks, then the rows in one call."""
        lib = self._lib
        lib.qvBegin(_q.BLOCK_SYSTEM)
        for index in self._locked:
            lib.qvLockVariable(index)  # (at the values each solve sets)
        lib.qvCompressedRows(len(self._rows), _pointer(self._indptr), _pointer(self._indices),
                             _pointer(self._data), None)
        lib.qvEnd(_q.BLOCK_SYSTEM)
        code = lib.qvGetError()
        if code:
            raise MemoryError(lib.qvErrorString(code).decode())

    def _report(self, iteration, residual, _user):
        try:
            return 1 if self._callback(iteration, residual) else 0
        except BaseException as e:  # handed back after the solve
            self._raised.append(e)
            return 1

    def close(self) -> None:
        """Frees the library's context; the Solver cannot be used afterwards."""
        context, self._context = getattr(self, "_context", None), None
        if context:
            self._lib.qvDeleteContext(context)
            self._lib.qvGetError()

    def __enter__(self) -> "Solver":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    # ---- changes ----

    def update(self, A) -> None:
        """Takes new values of A, of the same shape. With the same pattern, a
        direct method keeps its ordering and analysis and factors again."""
        shape, indptr, indices, data = _as_rows(A)
        if shape != self.shape:
            raise ValueError(f"A is {shape[0]} x {shape[1]}; this Solver's is "
                             f"{self.shape[0]} x {self.shape[1]}")
        with self._use:
            self._enter()
            self._keep(indptr, indices, data)
            self._send()

    def set_locked_values(self, values: Dict[int, float]) -> None:
        """Moves locked variables (of those given at construction) to new values."""
        new = self._checked_locks(values)
        if any(k not in self._locked for k in new):
            raise KeyError("only variables locked at construction can move")
        self._locked.update(new)

    # ---- solving ----

    def solve(self, b, x0=None) -> np.ndarray:
        """x for b of shape (m,), or X for b of shape (m, k), one column a
        system, all solved with one setup. x0: the initial guess, of b's
        shape with n rows (zeros when None); locked variables take their
        values whatever it holds. Raises SolveError when a system fails."""
        m, n = self.shape
        b = np.asarray(b)
        if np.iscomplexobj(b):
            raise TypeError("brisvel solves real systems only")
        b = b.astype(np.float64, copy=False)
        if b.ndim not in (1, 2) or b.shape[0] != m:
            raise ValueError(f"b has shape {b.shape}; A has {m} rows")
        if not np.all(np.isfinite(b)):
            raise ValueError("b holds NaN or infinite entries")
        k = 1 if b.ndim == 1 else b.shape[1]
        if k == 0:
            raise ValueError("b has no columns")
        guess = np.zeros((n, k))
        if x0 is not None:
            x0 = np.asarray(x0, dtype=np.float64)
            if x0.shape[0] != n or x0.size != n * k:
                raise ValueError(f"x0 has shape {x0.shape}; {n} x {k} entries are needed")
            if not np.all(np.isfinite(x0)):
                raise ValueError("x0 holds NaN or infinite entries")
            guess[:] = x0.reshape(n, k)
        for index, value in self._locked.items():
            guess[index, :] = value
        columns = np.ascontiguousarray(b.reshape(m, k)[self._rows].T)  # one row a system
        guess = np.ascontiguousarray(guess.T)
        lib = self._lib
        with self._use:
            self._enter()
            if k != self._systems:  # (the matrix and the setup stay)
                self._set(lib.qvSolverParameteri, _q.PARAM_SYSTEMS, k, "number of systems")
                self._systems = k
            rows = len(self._rows)
            for s in range(k):
                lib.qvSolverParameteri(_q.PARAM_SYSTEM, s)
                lib.qvSetRightHandSides(rows, _pointer(columns[s]))
                lib.qvSetVariables(n, _pointer(guess[s]))
            code = lib.qvGetError()
            if code:
                raise ValueError(lib.qvErrorString(code).decode())
            self._raised.clear()
            solved = lib.qvSolve()
            first_code = lib.qvGetError()
            x = np.empty((k, n))
            infos = []
            setup = lib.qvGetParameterd(_q.SETUP_SECONDS)
            fill = lib.qvGetParameterd(_q.FACTOR_FILL)
            for s in range(k):
                lib.qvSolverParameteri(_q.PARAM_SYSTEM, s)
                lib.qvGetVariables(n, _pointer(x[s]))
                infos.append(SolveInfo(
                    iterations=lib.qvGetParameteri(_q.USED_ITERATIONS),
                    residual=lib.qvGetParameterd(_q.RESIDUAL),
                    method=self.ran,
                    setup_seconds=setup,
                    code=lib.qvGetParameteri(_q.SYSTEM_ERROR),
                    fill=fill,
                ))
            lib.qvGetError()
        self.info = infos[0] if b.ndim == 1 else infos
        answer = x[0] if b.ndim == 1 else np.ascontiguousarray(x.T)
        if self._raised:
            raise self._raised[0]
        if not solved:
            raise SolveError(first_code, lib.qvErrorString(first_code).decode(), answer,
                             self.info)
        return answer


def solve(
    A,
    b,
    method: str = "default",
    preconditioner: str = "jacobi",
    threshold: Optional[float] = None,
    max_iterations: Optional[int] = None,
    threads: Optional[int] = None,
    least_squares: bool = False,
    locked: Optional[Dict[int, float]] = None,
    callback: Optional[Callback] = None,
) -> Tuple[np.ndarray, Union[SolveInfo, List[SolveInfo]]]:
    """Solves A x = b once, or in least-squares mode minimises ||b - A x||;
    the arguments are Solver's. Returns (x, info); b of shape (m, k) gives X
    and a list of infos. Raises SolveError when the solve fails."""
    with Solver(A, method=method, preconditioner=preconditioner, threshold=threshold,
                max_iterations=max_iterations, threads=threads, least_squares=least_squares,
                locked=locked, callback=callback) as solver:
        x = solver.solve(b)
        return x, solver.info


# ---- SciPy's signatures ----


def _scipy_style(method, A, b, x0, rtol, atol, maxiter, callback, preconditioner,
                 restart=None, iterations_per_step=1):
    """(x, info) as scipy.sparse.linalg's iterative solvers give them."""
    shape = A.shape if hasattr(A, "shape") else np.asarray(A).shape
    b = np.asarray(b, dtype=np.float64).ravel()
    n = shape[1]
    if b.shape[0] != shape[0]:
        raise ValueError(f"b has {b.shape[0]} entries; A has {shape[0]} rows")
    x_start = np.zeros(n) if x0 is None else np.asarray(x0, dtype=np.float64).ravel()
    norm_b = float(np.linalg.norm(b)) if np.all(np.isfinite(b)) else np.nan
    if not np.isfinite(norm_b):
        return x_start.copy(), -1  # bad input
    if norm_b == 0.0:
        return np.zeros(n), 0
    threshold = min(max(float(rtol), float(atol) / norm_b), 0.5)
    limit = None if maxiter is None else int(maxiter) * iterations_per_step
    if limit is None:
        limit = 10 * n * iterations_per_step
    try:
        solver = Solver(A, method=method, preconditioner=preconditioner, threshold=threshold,
                        max_iterations=max(limit, 1), callback=callback, restart=restart)
    except ValueError as e:
        if "NaN" in str(e):
            return x_start.copy(), -1
        raise
    with solver:
        try:
            return solver.solve(b, x0=x_start), 0
        except SolveError as e:
            if e.code in (_q.ERROR_NOT_CONVERGED, _q.ERROR_STAGNATED, _q.ERROR_INTERRUPTED):
                return e.x, max(1, e.info.iterations // iterations_per_step)
            return e.x, -1


def cg(A, b, x0=None, *, rtol: float = 1e-5, atol: float = 0.0, maxiter: Optional[int] = None,
       callback: Optional[Callback] = None, preconditioner: str = "jacobi"):
    """Conjugate gradients, as scipy.sparse.linalg.cg: returns (x, info),
    info 0 on success, the iterations when maxiter (default 10 n) ended the
    solve or it stagnated, negative on a breakdown or bad input."""
    return _scipy_style("cg", A, b, x0, rtol, atol, maxiter, callback, preconditioner)


def bicgstab(A, b, x0=None, *, rtol: float = 1e-5, atol: float = 0.0,
             maxiter: Optional[int] = None, callback: Optional[Callback] = None,
             preconditioner: str = "jacobi"):
    """BiCGStab, as scipy.sparse.linalg.bicgstab; see cg for the result."""
    return _scipy_style("bicgstab", A, b, x0, rtol, atol, maxiter, callback, preconditioner)


def gmres(A, b, x0=None, *, rtol: float = 1e-5, atol: float = 0.0, restart: Optional[int] = None,
          maxiter: Optional[int] = None, callback: Optional[Callback] = None,
          preconditioner: str = "jacobi"):
    """Restarted GMRES, as scipy.sparse.linalg.gmres: restart defaults to 20
    and maxiter counts restart cycles (default 10 n); see cg for the result."""
    restart = 20 if restart is None else int(restart)
    return _scipy_style("gmres", A, b, x0, rtol, atol, maxiter, callback, preconditioner,
                        restart=restart, iterations_per_step=restart)


def lsmr(A, b, damp: float = 0.0, atol: float = 1e-6, btol: float = 1e-6, conlim: float = 1e8,
         maxiter: Optional[int] = None, show: bool = False, x0=None):
    """Least squares by LSMR, as scipy.sparse.linalg.lsmr: returns
    (x, istop, itn, normr, normar, norma, conda, normx); istop 2 on success
    (||A'r|| / ||A'b|| met max(atol, btol), judged on the true residual), 7
    when maxiter (default min(m, n)) ended it; conda is not estimated (NaN).
    damp must be 0; conlim and show are accepted and ignored."""
    if damp != 0.0:
        raise ValueError("brisvel's lsmr solves undamped problems only (damp=0)")
    (m, n), indptr, indices, data = _as_rows(A)
    b = np.asarray(b, dtype=np.float64).ravel()
    limit = min(m, n) if maxiter is None else int(maxiter)
    with Solver(A, least_squares=True, threshold=min(max(atol, btol), 0.5),
                max_iterations=max(limit, 1)) as solver:
        try:
            x, istop = solver.solve(b, x0=x0), 2
        except SolveError as e:
            if e.code != _q.ERROR_NOT_CONVERGED:
                raise
            x, istop = e.x, 7
        itn = solver.info.iterations
    r = b - (A @ x)
    normar = float(np.linalg.norm(np.asarray(A.T @ r).ravel()))
    norma = float(np.sqrt(np.sum(data * data)))
    return (x, istop, itn, float(np.linalg.norm(r)), normar, norma, float("nan"),
            float(np.linalg.norm(x)))


def spsolve(A, b) -> np.ndarray:
    """A direct solve, as scipy.sparse.linalg.spsolve: CHOLMOD for a
    symmetric A, SuperLU otherwise (with a fill-reducing ordering), each when
    its extension is available; b of shape (n,) or (n, k). Raises SolveError
    on a singular matrix, RuntimeError when neither extension loads."""
    available = available_extensions()
    symmetric = False
    if "CHOLMOD" in available:
        t = A.T if hasattr(A, "T") else np.asarray(A).T
        difference = A - t
        symmetric = (difference.count_nonzero() if hasattr(difference, "count_nonzero")
                     else np.count_nonzero(difference)) == 0
    if symmetric:
        method = "cholmod"
    elif "SUPERLU" in available:
        method = "superlu_permuted"
    else:
        raise RuntimeError("no direct solver extension loads here for this matrix "
                           "(SuperLU, or CHOLMOD for a symmetric one)")
    with Solver(A, method=method) as solver:
        return solver.solve(b)
