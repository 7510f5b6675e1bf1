"""brisvel.solve against SciPy and NumPy references, its failure paths,
progress callbacks, locked variables and least squares."""

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import brisvel

NOT_CONVERGED, SINGULAR, INTERRUPTED = 0x40A, 0x40C, 0x410


def poisson(n):
    t = sp.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(n, n))
    return (sp.kron(t, sp.identity(n)) + sp.kron(sp.identity(n), t)).tocsr()


def convection(n):
    """Nonsymmetric, given as COO with every entry split in two (repeats add up)."""
    a = (poisson(n) + 0.3 * sp.diags([1.0, -1.0], [1, -1], shape=(n * n, n * n))).tocoo()
    return sp.coo_matrix(
        (np.concatenate([a.data / 2, a.data / 2]), (np.tile(a.row, 2), np.tile(a.col, 2))),
        shape=a.shape,
    )


def random_dominant(n, seed=1):
    a = sp.random(n, n, density=0.05, random_state=seed, format="csc")
    return a + sp.diags(np.asarray(abs(a).sum(axis=1)).ravel() + 1.0)


def relative_residual(a, x, b):
    return np.linalg.norm(b - a @ x) / np.linalg.norm(b)


CASES = [
    ("poisson csr, cg", lambda: poisson(20), "cg"),
    ("poisson csr, default", lambda: poisson(20), "default"),
    ("convection coo with repeats, gmres", lambda: convection(15), "gmres"),
    ("random csc, bicgstab", lambda: random_dominant(300), "bicgstab"),
    ("dense array, default", lambda: random_dominant(40).toarray(), "default"),
    ("random csc, superlu", lambda: random_dominant(300), "superlu_permuted"),
]


@pytest.mark.parametrize("name,make,method", CASES, ids=[c[0] for c in CASES])
def test_agrees_with_spsolve(name, make, method):
    if method.startswith("superlu") and "SUPERLU" not in brisvel.available_extensions():
        pytest.skip("the SuperLU extension is not available")
    a = make()
    rng = np.random.default_rng(7)
    b = rng.standard_normal(a.shape[0])
    x, info = brisvel.solve(a, b, method=method, threshold=1e-12)
    reference = spla.spsolve(sp.csr_matrix(a), b)
    assert relative_residual(a, x, b) <= 1.01e-12
    assert info.residual <= 1e-12
    np.testing.assert_allclose(x, reference, rtol=1e-8, atol=1e-10 * np.abs(reference).max())
    assert info.method == {"default": "bicgstab"}.get(method, method)


def test_failure_carries_code_text_and_last_iterate():
    a = poisson(20)
    b = np.ones(a.shape[0])
    with pytest.raises(brisvel.SolveError) as caught:
        brisvel.solve(a, b, method="bicgstab", max_iterations=3)
    e = caught.value
    assert e.code == NOT_CONVERGED and "iteration limit" in e.text
    assert e.x.shape == (400,) and np.all(np.isfinite(e.x))
    # The last iterate, kept because it is better than the initial zeros.
    assert np.any(e.x != 0)
    assert np.linalg.norm(b - a @ e.x) < np.linalg.norm(b)
    assert e.info.iterations == 3


def test_bad_input_is_refused_before_the_library_sees_it():
    a = poisson(3)
    with pytest.raises(ValueError):
        brisvel.solve(a[:5], np.ones(5))  # not square
    with pytest.raises(ValueError):
        brisvel.solve(a, np.ones(8))  # b too short
    with pytest.raises(ValueError):
        brisvel.solve(a, np.full(9, np.nan))
    with pytest.raises(ValueError):
        brisvel.solve(a, np.ones(9), threshold=2.0)
    with pytest.raises(ValueError):
        brisvel.solve(a, np.ones(9), method="lu")
    x, _ = brisvel.solve(a, np.ones(9))  # and the library is fine afterwards
    assert relative_residual(a, x, np.ones(9)) <= 1e-10


def test_singular_matrix_fails_with_a_direct_method():
    if "SUPERLU" not in brisvel.available_extensions():
        pytest.skip("the SuperLU extension is not available")
    a = sp.csr_matrix(np.array([[1.0, 2.0], [2.0, 4.0]]))
    with pytest.raises(brisvel.SolveError) as caught:
        brisvel.solve(a, np.ones(2), method="superlu")
    assert caught.value.code == SINGULAR


def test_callback_sees_each_iteration_and_can_stop_the_solve():
    a, seen = poisson(30), []
    b = np.ones(a.shape[0])
    x, info = brisvel.solve(a, b, method="cg", callback=lambda i, r: seen.append((i, r)))
    assert [i for i, _ in seen] == list(range(1, info.iterations + 1))
    assert seen[-1][1] < seen[0][1]

    with pytest.raises(brisvel.SolveError) as caught:
        brisvel.solve(a, b, method="cg", callback=lambda i, r: i >= 5)
    assert caught.value.code == INTERRUPTED and caught.value.info.iterations == 5

    def broken(i, r):
        raise KeyError("from the callback")

    with pytest.raises(KeyError):
        brisvel.solve(a, b, callback=broken)


def test_locked_variables_keep_their_values():
    a = poisson(10).tocsr()
    n = a.shape[0]
    b = np.arange(n, dtype=float)
    locked = {0: 2.0, 37: -1.5, n - 1: 0.25}
    x, _ = brisvel.solve(a, b, locked=locked, threshold=1e-12)
    free = np.array([j for j in range(n) if j not in locked])
    fixed = np.array(sorted(locked))
    values = np.array([locked[j] for j in fixed])
    # The locked terms move to the right-hand side; the free rows are solved.
    reference = spla.spsolve(a[free][:, free].tocsc(), b[free] - a[free][:, fixed] @ values)
    np.testing.assert_array_equal(x[fixed], values)
    np.testing.assert_allclose(x[free], reference, rtol=1e-9)


@pytest.mark.parametrize("sparse", [True, False])
def test_least_squares_matches_lstsq(sparse):
    rng = np.random.default_rng(3)
    a = rng.standard_normal((80, 12))
    b = rng.standard_normal(80)
    x, info = brisvel.solve(sp.csr_matrix(a) if sparse else a, b, least_squares=True,
                            threshold=1e-13)
    reference = np.linalg.lstsq(a, b, rcond=None)[0]
    np.testing.assert_allclose(x, reference, rtol=1e-9)
    assert info.method == "cg"
