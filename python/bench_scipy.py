"""brisvel.solve against scipy.sparse.linalg on the same problems: cg,
bicgstab and gmres with a Jacobi LinearOperator, and spsolve. Prints the
time of each (assembly into brisvel included) and the true relative residual
||b - Ax|| / ||b|| of every answer.

    BRISVEL_LIBRARY=build/lib/libbrisvel.so /usr/bin/python3 python/bench_scipy.py [grid ...]
"""

import inspect
import sys
import time

import numpy as np
import scipy
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import brisvel

THRESHOLD = 1e-8


def laplacian(n):
    t = sp.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(n, n))
    i = sp.identity(n)
    return (sp.kron(t, i) + sp.kron(i, t)).tocsr()


def convection_diffusion(n):
    """-(u_xx + u_yy) + 20 (u_x + u_y), central differences on an n x n grid."""
    h = 1.0 / (n + 1)
    c = 20.0 * h / 2
    t = sp.diags([-1.0 - c, 2.0, -1.0 + c], [-1, 0, 1], shape=(n, n))
    i = sp.identity(n)
    return (sp.kron(t, i) + sp.kron(i, t)).tocsr()


def jacobi(a):
    d = 1.0 / a.diagonal()
    return spla.LinearOperator(a.shape, matvec=lambda v: d * v.ravel(), dtype=float)


def scipy_iterative(solver, a, b, **extra):
    """SciPy 1.12 renamed tol to rtol; both ask for ||r|| <= 1e-8 ||b||."""
    name = "rtol" if "rtol" in inspect.signature(solver).parameters else "tol"
    x, info = solver(a, b, M=jacobi(a), atol=0.0, maxiter=20000, **{name: THRESHOLD}, **extra)
    return x, "" if info == 0 else f"info {info}"


def timed(run):
    start = time.perf_counter()
    x, note = run()
    return time.perf_counter() - start, x, note


def brisvel_run(a, b, method, threads):
    try:
        x, _ = brisvel.solve(a, b, method=method, threshold=THRESHOLD, threads=threads)
        return x, ""
    except brisvel.SolveError as e:
        return e.x, e.text


def main():
    grids = [int(g) for g in sys.argv[1:]] or [100, 300]
    print(f"brisvel.solve against SciPy {scipy.__version__}; threshold {THRESHOLD:g}; Jacobi for "
          "every iterative solver; times include brisvel's assembly from the CSR matrix")
    print(f"{'problem':<22} {'unknowns':>8}  {'solver':<24} {'seconds':>8}  {'true res':>9}")
    for n in grids:
        for name, a, pairs in (
            ("Laplacian", laplacian(n), [("cg", spla.cg)]),
            ("convection-diffusion", convection_diffusion(n),
             [("bicgstab", spla.bicgstab), ("gmres", spla.gmres)]),
        ):
            b = np.ones(a.shape[0])
            runs = []
            for method, solver in pairs:
                extra = {"restart": 30} if method == "gmres" else {}
                for threads in (1, 2):
                    runs.append((f"brisvel {method}, {threads} thr",
                                 lambda m=method, t=threads: brisvel_run(a, b, m, t)))
                runs.append((f"scipy {method}",
                             lambda s=solver, e=extra: scipy_iterative(s, a, b, **e)))
            runs.append(("scipy spsolve", lambda: (spla.spsolve(a.tocsc(), b), "")))
            for label, run in runs:
                seconds, x, note = timed(run)
                residual = np.linalg.norm(b - a @ x) / np.linalg.norm(b)
                print(f"{name:<22} {a.shape[0]:>8}  {label:<24} {seconds:>8.3f}  {residual:>9.2e}"
                      f"  {note}")


if __name__ == "__main__":
    main()
