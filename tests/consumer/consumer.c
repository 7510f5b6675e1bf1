/* Solves a small tridiagonal system through an installed brisvel and checks
   the answer against the exact solution; exit status 0 when it is right. */
#include <brisvel/brisvel.h>

#include <stdio.h>

#define N 5

int main(void) {
    /* [2 -1; -1 2 -1; ...] x = b, with b made from x_i = i + 1. */
    int wrong = 0;
    qvInitialize(0, NULL);
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, N);
    qvSolverParameteri(QV_PARAM_SOLVER, QV_METHOD_CG);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    for (int i = 0; i < N; ++i) {
        double b = 2.0 * (i + 1);
        qvBegin(QV_BLOCK_ROW);
        qvCoefficient(i, 2.0);
        if (i > 0) {
            qvCoefficient(i - 1, -1.0);
            b -= i;
        }
        if (i + 1 < N) {
            qvCoefficient(i + 1, -1.0);
            b -= i + 2;
        }
        qvRightHandSide(b);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    if (!qvSolve()) {
        printf("not solved: %s\n", qvErrorString(qvGetError()));
        return 1;
    }
    for (int i = 0; i < N; ++i) {
        const double error = qvGetVariable(i) - (i + 1);
        if (!(error < 1e-8 && error > -1e-8)) /* a NaN is wrong too */
            ++wrong;
    }
    qvDeleteContext(qvGetCurrent());
    printf("solved %d unknowns, %d wrong\n", N, wrong);
    return wrong == 0 ? 0 : 1;
}
