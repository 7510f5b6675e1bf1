// brisvel-selftest: drives the solver library through ten fixed cases and
// writes what happens to standard output.
#include <brisvel/brisvel.h>

#include <cstdio>

namespace {

const char *const NEEDS_TEXT = "Needs Linux/shared librariess/-DBRISVEL_DYNAMIC_LIBS\n";

const int POINT_COUNT = 7;
const double POINT_X[POINT_COUNT] = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0};
const double POINT_Y[POINT_COUNT] = {3.5, 3.8, 5.5, 5.4, 6.3, 8.2, 9.5};

void write_label(QVint method) {
    switch (method) {
    case QV_METHOD_DEFAULT:
        std::printf("Using default solver (BiCGStab)\n");
        break;
    case QV_METHOD_GMRES:
        std::printf("Using GMRES\n");
        break;
    case QV_METHOD_BICGSTAB:
        std::printf("Using BiCGSTAB\n");
        break;
    case QV_METHOD_SUPERLU:
        std::printf("Using SUPERLU\n");
        break;
    case QV_METHOD_SUPERLU_PERMUTED:
        std::printf("(with permutation) ");
        std::printf("Using SUPERLU\n");
        break;
    case QV_METHOD_CHOLMOD:
        std::printf("using CHOLMOD\n");
        break;
    default:
        break;
    }
}

// Probes the extension a method needs; false ends the case.
bool probe_extension(QVint method) {
    if (method == QV_METHOD_SUPERLU || method == QV_METHOD_SUPERLU_PERMUTED) {
        if (qvInitExtension("SUPERLU")) {
            std::printf("...SUPERLU extension successfully initialized\n");
            return true;
        }
        std::printf("...failed to initialize SUPERLU extension\n");
        std::printf("%s", NEEDS_TEXT);
        return false;
    }
    if (method == QV_METHOD_CHOLMOD) {
        if (qvInitExtension("CHOLMOD")) {
            std::printf("...CHOLMOD extension successfully initialized\n");
            return true;
        }
        std::printf("...failed to initialize CHOLMOD extension\n");
        std::printf("%s", NEEDS_TEXT);
        return false;
    }
    return true;
}

void add_row(double c0, double c1, double rhs) {
    qvBegin(QV_BLOCK_ROW);
    qvCoefficient(0, c0);
    qvCoefficient(1, c1);
    qvRightHandSide(rhs);
    qvEnd(QV_BLOCK_ROW);
}

void run_linear_solve(QVint method) {
    const bool symmetric = method == QV_METHOD_CHOLMOD;
    std::printf("\n");
    std::printf("Testing linear solve\n");
    std::printf("====================\n");
    write_label(method);
    if (!probe_extension(method))
        return;

    std::printf("Creating linear system:\n");
    if (symmetric) {
        std::printf("  1.0*x0 - 5.0*x1 = 5.0\n");
        std::printf(" -5.0*x0 + 4.0*x1 = 6.0\n");
    } else {
        std::printf("  1.0*x0 + 2.0*x1 = 5.0\n");
        std::printf("  3.0*x0 + 4.0*x1 = 6.0\n");
    }

    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 2);
    qvSolverParameteri(QV_PARAM_SOLVER, method);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    if (symmetric) {
        add_row(1.0, -5.0, 5.0);
        add_row(-5.0, 4.0, 6.0);
    } else {
        add_row(1.0, 2.0, 5.0);
        add_row(3.0, 4.0, 6.0);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);

    std::printf("Solving...\n");
    qvSolve();
    std::printf("Solution:   x0=%f   x1=%f\n", qvGetVariable(0), qvGetVariable(1));

    std::printf("Verifying:\n");
    if (symmetric) {
        std::printf("  1.0*x0 - 5.0*x1 = %f\n", qvGetVariable(0) - 5.0 * qvGetVariable(1));
        std::printf(" -5.0*x0 + 4.0*x1 = %f\n", 4.0 * qvGetVariable(1) - 5.0 * qvGetVariable(0));
    } else {
        std::printf("  1.0*x0 + 2.0*x1 = %f\n", qvGetVariable(0) + 2.0 * qvGetVariable(1));
        std::printf("  3.0*x0 + 4.0*x1 = %f\n", 3.0 * qvGetVariable(0) + 4.0 * qvGetVariable(1));
    }
    qvDeleteContext(qvGetCurrent());
}

void run_regression(bool through_origin, bool use_ssor) {
    std::printf("\n");
    if (through_origin) {
        std::printf("Testing constrained least-squares regression\n");
        std::printf("============================================\n");
    } else {
        std::printf("Testing least-squares regression\n");
        std::printf("================================\n");
    }

    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 2);
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, 1);
    if (use_ssor) {
        std::printf("Using SSOR preconditioner\n");
        qvSolverParameteri(QV_PARAM_PRECONDITIONER, QV_PRECONDITIONER_SSOR);
    } else {
        std::printf("Using default preconditioner (Jacobi)\n");
    }

    qvBegin(QV_BLOCK_SYSTEM);
    if (through_origin) {
        qvLockVariable(1);
        qvSetVariable(1, 0.0);
    }
    qvBegin(QV_BLOCK_MATRIX);
    for (int i = 0; i < POINT_COUNT; ++i) {
        qvBegin(QV_BLOCK_ROW);
        qvCoefficient(0, POINT_X[i]);
        qvCoefficient(1, 1.0);
        qvRightHandSide(POINT_Y[i]);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);

    std::printf("Solving...\n");
    qvSolve();
    std::printf("Solution:   a=%f   b=%f\n", qvGetVariable(0), qvGetVariable(1));
    qvDeleteContext(qvGetCurrent());
}

}  // namespace

int main(int argc, char **argv) {
    qvInitialize(argc, argv);
    run_linear_solve(QV_METHOD_DEFAULT);
    run_linear_solve(QV_METHOD_GMRES);
    run_linear_solve(QV_METHOD_BICGSTAB);
    run_linear_solve(QV_METHOD_SUPERLU);
    run_linear_solve(QV_METHOD_SUPERLU_PERMUTED);
    run_linear_solve(QV_METHOD_CHOLMOD);
    run_regression(false, false);
    run_regression(false, true);
    run_regression(true, false);
    run_regression(true, true);
    return 0;
}
