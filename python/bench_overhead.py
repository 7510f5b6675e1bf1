"""What the Python package adds to a solve, and what reuse and threads give.

    /usr/bin/python3 python/bench_overhead.py [grid ...]      (default 700 1000)

1. brisvel.solve on a grid x grid Laplacian (CG with IC(0), one thread,
   1e-8) against the library's own calls for the same solve (a context, the
   matrix in one qvCompressedRows call, qvSolve, the answer in one
   qvGetVariables call), timed in the same run; and against the same solve
   assembled the way the package did before, four calls a row and one a
   variable. The ratio is Python's time over the library's.
2. brisvel.Solver: the first solve, a second one with a new right-hand side,
   and three right-hand sides in one solve, with CHOLMOD when it loads and
   with CG and AMG.
3. Two Python threads each solving a system of its own (CG with IC(0), one
   library thread each) against the same two solves one after the other.
"""

import sys
import threading
import time

import numpy as np
import scipy.sparse as sp

import brisvel
from brisvel import _library as q

THRESHOLD = 1e-8


def laplacian(n):
    t = sp.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(n, n))
    i = sp.identity(n)
    return (sp.kron(t, i) + sp.kron(i, t)).tocsr()


def configure(lib, n):
    lib.qvNewContext()
    lib.qvSolverParameteri(q.PARAM_VARIABLE_COUNT, n)
    lib.qvSolverParameteri(q.PARAM_SOLVER, q.METHODS["cg"])
    lib.qvSolverParameteri(q.PARAM_PRECONDITIONER, q.PRECONDITIONERS["ic0"])
    lib.qvSolverParameterd(q.PARAM_THRESHOLD, THRESHOLD)
    lib.qvSolverParameteri(q.PARAM_THREADS, 1)


def library_calls(a, b):
    """The solve through the library's calls alone, as a C program makes them."""
    lib = brisvel._get()
    indptr = np.ascontiguousarray(a.indptr, dtype=np.int64)
    indices = np.ascontiguousarray(a.indices, dtype=np.int32)
    data = np.ascontiguousarray(a.data, dtype=np.float64)
    n = a.shape[0]
    x = np.empty(n)
    t0 = time.perf_counter()
    configure(lib, n)
    lib.qvBegin(q.BLOCK_SYSTEM)
    lib.qvCompressedRows(n, indptr.ctypes.data, indices.ctypes.data, data.ctypes.data,
                         b.ctypes.data)
    lib.qvEnd(q.BLOCK_SYSTEM)
    assert lib.qvSolve()
    lib.qvGetVariables(n, x.ctypes.data)
    t = time.perf_counter() - t0
    lib.qvDeleteContext(lib.qvGetCurrent())
    return t, x


def row_by_row(a, b):
    """The solve assembled as the package did before: four calls a row, one a variable."""
    lib = brisvel._get()
    indptr, n = a.indptr.tolist(), a.shape[0]
    indices = np.ascontiguousarray(a.indices, dtype=np.int32)
    data = np.ascontiguousarray(a.data, dtype=np.float64)
    t0 = time.perf_counter()
    configure(lib, n)
    lib.qvBegin(q.BLOCK_SYSTEM)
    lib.qvBegin(q.BLOCK_MATRIX)
    begin, end, coefficients, rhs = lib.qvBegin, lib.qvEnd, lib.qvCoefficients, lib.qvRightHandSide
    cols, vals = indices.ctypes.data, data.ctypes.data
    for i, value in enumerate(b.tolist()):
        begin(q.BLOCK_ROW)
        first, last = indptr[i], indptr[i + 1]
        coefficients(last - first, cols + 4 * first, vals + 8 * first)
        rhs(value)
        end(q.BLOCK_ROW)
    lib.qvEnd(q.BLOCK_MATRIX)
    lib.qvEnd(q.BLOCK_SYSTEM)
    assert lib.qvSolve()
    variable = lib.qvGetVariable
    x = np.array([variable(j) for j in range(n)])
    t = time.perf_counter() - t0
    lib.qvDeleteContext(lib.qvGetCurrent())
    return t, x


def overhead(grid):
    a = laplacian(grid)
    b = np.ones(a.shape[0])
    best = {"python": 1e30, "library": 1e30, "before": 1e30}
    for _ in range(2):  # in turns, the fastest kept
        t0 = time.perf_counter()
        x, _info = brisvel.solve(a, b, method="cg", preconditioner="ic0", threshold=THRESHOLD,
                                 threads=1)
        best["python"] = min(best["python"], time.perf_counter() - t0)
        t, y = library_calls(a, b)
        best["library"] = min(best["library"], t)
        t, z = row_by_row(a, b)
        best["before"] = min(best["before"], t)
        assert np.array_equal(x, y) and np.array_equal(x, z)  # the very same solve
    print(f"{grid}x{grid}: brisvel.solve {best['python']:.3f} s, the library's calls "
          f"{best['library']:.3f} s: ratio {best['python'] / best['library']:.3f}; "
          f"row by row as before {best['before']:.3f} s: ratio "
          f"{best['before'] / best['library']:.3f}")


def reuse(grid):
    a = laplacian(grid)
    n = a.shape[0]
    b = np.ones(n)
    B = np.random.default_rng(1).standard_normal((n, 3))
    methods = [("cg", "amg")]
    if "CHOLMOD" in brisvel.available_extensions():
        methods.insert(0, ("cholmod", "jacobi"))
    for method, preconditioner in methods:
        with brisvel.Solver(a, method=method, preconditioner=preconditioner,
                            threshold=THRESHOLD) as solver:
            t0 = time.perf_counter()
            solver.solve(b)
            first = time.perf_counter() - t0
            t0 = time.perf_counter()
            solver.solve(0.5 * b)
            second = time.perf_counter() - t0
            t0 = time.perf_counter()
            solver.solve(B)
            three = time.perf_counter() - t0
        print(f"{grid}x{grid} Solver({method}, {preconditioner}): first solve {first:.3f} s, "
              f"second {second:.4f} s ({second / first:.3f} of the first), "
              f"three right-hand sides {three:.4f} s ({three / second:.2f} of one)")


def two_threads(grid):
    a = laplacian(grid)
    n = a.shape[0]
    rhs = [np.random.default_rng(s).standard_normal(n) for s in (1, 2)]

    def work(b):
        brisvel.solve(a, b, method="cg", preconditioner="ic0", threshold=THRESHOLD, threads=1)

    best_one, best_two = 1e30, 1e30
    for _ in range(2):
        t0 = time.perf_counter()
        for b in rhs:
            work(b)
        best_one = min(best_one, time.perf_counter() - t0)
        threads = [threading.Thread(target=work, args=(b,)) for b in rhs]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        best_two = min(best_two, time.perf_counter() - t0)
    print(f"{grid}x{grid}, two solves: one after the other {best_one:.3f} s, in two Python "
          f"threads {best_two:.3f} s: ratio {best_two / best_one:.2f}")


def main():
    grids = [int(g) for g in sys.argv[1:]] or [700, 1000]
    for grid in grids:
        overhead(grid)
    reuse(500)
    two_threads(500)


if __name__ == "__main__":
    main()
