/* A C99 program that knows only the public header: it solves a 20,000-unknown
   nonsymmetric system with every iterative method and preconditioner, and a
   600 x 40 least-squares problem with two locked variables, checking each
   answer itself. Exit status 0 when all pass. */
#include <brisvel/brisvel.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#define GRID 142 /* 142 * 142 = 20,164 unknowns */
#define N (GRID * GRID)
#define LS_ROWS 600
#define LS_COLS 40

static double solution_at(int i) { return cos(0.003 * i); }

/* Row i of a convection-diffusion operator: writes up to 5 entries. */
static int grid_row(int i, int *cols, double *vals) {
    const int gx = i % GRID, gy = i / GRID;
    int k = 0;
    if (gy > 0) {
        cols[k] = i - GRID;
        vals[k++] = -1.35;
    }
    if (gx > 0) {
        cols[k] = i - 1;
        vals[k++] = -1.35;
    }
    cols[k] = i;
    vals[k++] = 4.0;
    if (gx + 1 < GRID) {
        cols[k] = i + 1;
        vals[k++] = -0.65;
    }
    if (gy + 1 < GRID) {
        cols[k] = i + GRID;
        vals[k++] = -0.65;
    }
    return k;
}

static double grid_rhs(int i) {
    int cols[5];
    double vals[5], sum = 0.0;
    const int count = grid_row(i, cols, vals);
    for (int k = 0; k < count; ++k)
        sum += vals[k] * solution_at(cols[k]);
    return sum;
}

static int solve_grid(QVint method, QVint preconditioner) {
    int cols[5];
    double vals[5], rr = 0.0, bb = 0.0;
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, N);
    qvSolverParameteri(QV_PARAM_SOLVER, method);
    qvSolverParameteri(QV_PARAM_PRECONDITIONER, preconditioner);
    qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-8);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    for (int i = 0; i < N; ++i) {
        const int count = grid_row(i, cols, vals);
        qvBegin(QV_BLOCK_ROW);
        for (int k = 0; k < count; ++k)
            qvCoefficient(cols[k], vals[k]);
        qvRightHandSide(grid_rhs(i));
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    const QVbool ok = qvSolve();
    for (int i = 0; i < N; ++i) { /* the true residual, computed here */
        const int count = grid_row(i, cols, vals);
        double r = grid_rhs(i);
        for (int k = 0; k < count; ++k)
            r -= vals[k] * qvGetVariable(cols[k]);
        rr += r * r;
        bb += grid_rhs(i) * grid_rhs(i);
    }
    const double residual = sqrt(rr / bb);
    printf("grid method 0x%03x preconditioner 0x%03x: solved=%d iterations=%d residual=%.3e\n",
           (unsigned)method, (unsigned)preconditioner, (int)ok,
           (int)qvGetParameteri(QV_USED_ITERATIONS), residual);
    qvDeleteContext(qvGetCurrent());
    return ok && residual < 1e-6 && qvGetError() == QV_OK;
}

static double ls_entry(int i, int j) {
    /* A dense-ish pattern: three entries per row. */
    if (j == i % LS_COLS)
        return 2.0 + (i % 7) * 0.25;
    if (j == (i * 7 + 3) % LS_COLS)
        return -0.5 + (i % 5) * 0.2;
    if (j == (i * 13 + 11) % LS_COLS)
        return 0.3 * ((i % 3) - 1);
    return 0.0;
}

static double ls_rhs(int i) { return sin(0.1 * i) * 3.0 + 1.0; }

/* Dense least squares over the free columns by normal equations in long
   double with Cholesky, the locked columns moved to the right-hand side. */
static void ls_reference(const int *locked, const double *fixed, double *x) {
    static long double a[LS_COLS][LS_COLS], c[LS_COLS];
    for (int j = 0; j < LS_COLS; ++j) {
        c[j] = 0.0L;
        for (int k = 0; k < LS_COLS; ++k)
            a[j][k] = 0.0L;
    }
    for (int i = 0; i < LS_ROWS; ++i) {
        long double b = ls_rhs(i);
        for (int j = 0; j < LS_COLS; ++j)
            if (locked[j])
                b -= (long double)ls_entry(i, j) * fixed[j];
        for (int j = 0; j < LS_COLS; ++j) {
            if (locked[j])
                continue;
            c[j] += (long double)ls_entry(i, j) * b;
            for (int k = 0; k < LS_COLS; ++k)
                if (!locked[k])
                    a[j][k] += (long double)ls_entry(i, j) * ls_entry(i, k);
        }
    }
    for (int j = 0; j < LS_COLS; ++j)
        if (locked[j]) {
            a[j][j] = 1.0L;
            c[j] = fixed[j];
        }
    for (int k = 0; k < LS_COLS; ++k) { /* Gaussian elimination, SPD so no pivoting */
        for (int i = k + 1; i < LS_COLS; ++i) {
            const long double f = a[i][k] / a[k][k];
            for (int j = k; j < LS_COLS; ++j)
                a[i][j] -= f * a[k][j];
            c[i] -= f * c[k];
        }
    }
    for (int k = LS_COLS - 1; k >= 0; --k) {
        long double s = c[k];
        for (int j = k + 1; j < LS_COLS; ++j)
            s -= a[k][j] * x[j];
        x[k] = (double)(s / a[k][k]);
    }
}

static int solve_least_squares(void) {
    int locked[LS_COLS] = {0};
    double fixed[LS_COLS] = {0}, reference[LS_COLS], worst = 0.0;
    locked[5] = 1;
    fixed[5] = 0.75;
    locked[31] = 1;
    fixed[31] = -2.0;
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, LS_COLS);
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, 1);
    qvBegin(QV_BLOCK_SYSTEM);
    for (int j = 0; j < LS_COLS; ++j)
        if (locked[j]) {
            qvLockVariable(j);
            qvSetVariable(j, fixed[j]);
        }
    qvBegin(QV_BLOCK_MATRIX);
    for (int i = 0; i < LS_ROWS; ++i) {
        qvBegin(QV_BLOCK_ROW);
        for (int j = 0; j < LS_COLS; ++j)
            if (ls_entry(i, j) != 0.0)
                qvCoefficient(j, ls_entry(i, j));
        qvRightHandSide(ls_rhs(i));
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    const QVbool ok = qvSolve();
    ls_reference(locked, fixed, reference);
    for (int j = 0; j < LS_COLS; ++j)
        worst = fmax(worst, fabs(qvGetVariable(j) - reference[j]));
    printf("least squares %dx%d, 2 locked: solved=%d iterations=%d max difference=%.3e\n", LS_ROWS,
           LS_COLS, (int)ok, (int)qvGetParameteri(QV_USED_ITERATIONS), worst);
    qvDeleteContext(qvGetCurrent());
    return ok && worst < 1e-6;
}

int main(void) {
    const QVint methods[] = {QV_METHOD_DEFAULT, QV_METHOD_BICGSTAB, QV_METHOD_GMRES};
    const QVint preconditioners[] = {QV_PRECONDITIONER_JACOBI, QV_PRECONDITIONER_SSOR};
    int failures = 0;
    qvInitialize(0, NULL);
    for (int m = 0; m < 3; ++m)
        for (int p = 0; p < 2; ++p)
            failures += !solve_grid(methods[m], preconditioners[p]);
    failures += !solve_least_squares();
    printf("%d failed\n", failures);
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
