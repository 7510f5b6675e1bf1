"""brisvel.Solver (reuse, several right-hand sides, update) and the SciPy-style
functions against SciPy, on the public matrix in tests/ and generated ones;
two threads at once; bad input."""

import inspect
import os
import threading

import numpy as np
import pytest
import scipy.io
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import brisvel

HERE = os.path.dirname(os.path.abspath(__file__))
G20 = os.path.join(HERE, "..", "..", "tests", "matrices", "g20.mtx")


def poisson(n):
    t = sp.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(n, n))
    return (sp.kron(t, sp.identity(n)) + sp.kron(sp.identity(n), t)).tocsr()


def g20():
    return sp.csr_matrix(scipy.io.mmread(G20))


def residual(a, x, b):
    return np.linalg.norm(b - a @ x) / np.linalg.norm(b)


def methods():
    found = brisvel.available_extensions()
    yield "cg", "ic0"
    yield "gmres", "ilu0"
    yield "bicgstab", "ilut"
    yield "cg", "amg"
    if "CHOLMOD" in found:
        yield "cholmod", "jacobi"
    if "SUPERLU" in found:
        yield "superlu_permuted", "jacobi"


@pytest.mark.parametrize("method,preconditioner", list(methods()))
def test_reuse_several_right_hand_sides_and_update(method, preconditioner):
    a = g20()
    n = a.shape[0]
    rng = np.random.default_rng(5)
    b, B = rng.standard_normal(n), rng.standard_normal((n, 3))
    with brisvel.Solver(a, method=method, preconditioner=preconditioner,
                        threshold=1e-11) as solver:
        x = solver.solve(b)
        assert residual(a, x, b) <= 1.01e-11
        again = solver.solve(2 * b)  # the setup is kept
        assert solver.info.setup_seconds == 0.0
        np.testing.assert_allclose(again, 2 * x, rtol=1e-8, atol=1e-12)
        X = solver.solve(B)
        assert X.shape == (n, 3) and len(solver.info) == 3
        assert solver.info[0].setup_seconds == 0.0  # three systems, the same setup
        for s in range(3):
            assert residual(a, X[:, s], B[:, s]) <= 1.01e-11
            assert solver.info[s].code == 0 and solver.info[s].residual <= 1e-11
        np.testing.assert_allclose(X[:, 1], spla.spsolve(a.tocsc(), B[:, 1]), rtol=1e-8,
                                   atol=1e-10)
        changed = a + sp.diags(np.full(n, 0.5))  # the same pattern, new values
        solver.update(changed)
        assert residual(changed, solver.solve(b), b) <= 1.01e-11


def test_locked_values_move_between_solves():
    a = poisson(12)
    n = a.shape[0]
    b = np.ones(n)
    solver = brisvel.Solver(a, method="cg", preconditioner="ic0", threshold=1e-12,
                            locked={0: 1.0, n - 1: -1.0})
    solver.solve(b)
    solver.set_locked_values({0: 3.0})
    x = solver.solve(b)
    free = np.arange(1, n - 1)
    reference = spla.spsolve(a[free][:, free].tocsc(),
                             b[free] - a[free][:, [0, n - 1]] @ np.array([3.0, -1.0]))
    assert x[0] == 3.0 and x[-1] == -1.0
    np.testing.assert_allclose(x[free], reference, rtol=1e-9)
    with pytest.raises(KeyError):
        solver.set_locked_values({5: 1.0})  # never locked
    solver.close()
    with pytest.raises(ValueError):
        solver.solve(b)


def test_scipy_signatures_and_info_convention():
    a = g20()
    n = a.shape[0]
    b = np.ones(n)
    for ours, theirs in ((brisvel.cg, spla.cg), (brisvel.bicgstab, spla.bicgstab),
                         (brisvel.gmres, spla.gmres)):
        x, info = ours(a, b, rtol=1e-9)
        assert info == 0 and residual(a, x, b) <= 1e-9
        # (SciPy before 1.12 calls rtol tol)
        name = "rtol" if "rtol" in inspect.signature(theirs).parameters else "tol"
        reference, their_info = theirs(a, b, **{name: 1e-10}, atol=0.0)
        assert their_info == 0
        np.testing.assert_allclose(x, reference, rtol=1e-6, atol=1e-8)
    x, info = brisvel.cg(a, b, rtol=1e-12, maxiter=3)
    assert info == 3 and np.all(np.isfinite(x))  # maxiter ended it
    x, info = brisvel.gmres(a, b, rtol=1e-12, restart=5, maxiter=2)
    assert info == 2  # counted in restart cycles
    x, info = brisvel.cg(a, np.full(n, np.nan))
    assert info < 0  # bad input
    x, info = brisvel.cg(a, np.zeros(n))
    assert info == 0 and not x.any()
    np.testing.assert_allclose(brisvel.spsolve(a, b), spla.spsolve(a.tocsc(), b), rtol=1e-9)
    # lsmr and lsqr agree on an overdetermined problem.
    rng = np.random.default_rng(2)
    m = sp.random(300, 40, density=0.1, random_state=3, format="csr") + sp.eye(300, 40)
    c = rng.standard_normal(300)
    result = brisvel.lsmr(m, c, atol=1e-12, btol=1e-12)
    assert result[1] == 2 and len(result) == 8
    np.testing.assert_allclose(result[0], spla.lsqr(m, c, atol=1e-14, btol=1e-14)[0],
                               rtol=1e-7, atol=1e-9)


def test_two_threads_solve_at_once():
    a = poisson(60)
    n = a.shape[0]
    answers, errors = {}, []

    def work(seed):
        try:
            b = np.random.default_rng(seed).standard_normal(n)
            with brisvel.Solver(a, method="cg", preconditioner="ic0", threads=1,
                                threshold=1e-10) as solver:
                for _ in range(3):
                    answers[seed] = (solver.solve(b), b)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for x, b in answers.values():
        assert residual(a, x, b) <= 1.01e-10


def test_bad_input_is_refused():
    a = poisson(4)
    solver = brisvel.Solver(a)
    with pytest.raises(ValueError):
        solver.solve(np.full(16, np.nan))
    with pytest.raises(ValueError):
        solver.solve(np.ones((15, 2)))  # wrong shape
    with pytest.raises(TypeError):
        solver.solve(np.ones(16) * 1j)  # complex
    with pytest.raises(ValueError):
        solver.update(poisson(5))  # another shape
    with pytest.raises(TypeError):
        brisvel.Solver(a * 1j)
    with pytest.raises(ValueError):
        brisvel.Solver(a[:10])  # not square, and not least squares
    with pytest.raises(ValueError):
        brisvel.Solver(a, method="lu")
    for ilut in ({"drop": -1.0}, {"scaling": "max"}, {"levels": 2}):
        with pytest.raises(ValueError):
            brisvel.Solver(a, preconditioner="ilut", ilut=ilut)
    x = solver.solve(np.ones(16))  # still fine afterwards
    assert residual(a, x, np.ones(16)) <= 1e-10
