// The thread count: its parameter, and answers that do not depend on it.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#if defined(__unix__)
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace testing_support;

namespace {

class Threads : public LibraryTest {};

struct Answer {
    bool solved = false;
    int iterations = 0;
    double reported = 0.0;
    std::vector<double> x;
};

// Solves p on the given number of threads and returns everything it gave.
Answer solve_on(const Problem &p, QVint method, QVint threads, bool least_squares = false,
                QVint preconditioner = QV_PRECONDITIONER_JACOBI) {
    assemble(p, method, preconditioner, least_squares);
    qvSolverParameteri(QV_PARAM_THREADS, threads);
    qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-9);
    Answer a;
    a.solved = qvSolve() != 0;
    a.iterations = qvGetParameteri(QV_USED_ITERATIONS);
    a.reported = qvGetParameterd(QV_RESIDUAL);
    a.x = read_variables(p.cols);
    qvDeleteContext(qvGetCurrent());
    return a;
}

TEST_F(Threads, ParameterDefaultsToTheProcessorsAndReadsBack) {
    qvNewContext();
    const QVint processors = qvGetParameteri(QV_PARAM_THREADS);
    EXPECT_GE(processors, 1);
    qvSolverParameteri(QV_PARAM_THREADS, 3);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_THREADS), 3);
    qvSolverParameteri(QV_PARAM_THREADS, -1);
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE);
    qvSolverParameteri(QV_PARAM_THREADS, QV_MAX_THREADS + 1);
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_THREADS), 3);  // refused values change nothing
    qvSolverParameteri(QV_PARAM_THREADS, 0);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_THREADS), processors);
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 2);
    qvBegin(QV_BLOCK_SYSTEM);
    qvSolverParameteri(QV_PARAM_THREADS, 2);
    EXPECT_EQ(qvGetError(), QV_ERROR_BLOCK_ORDER);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_THREADS), processors);
}

// Large enough that the kernels share the work: every method must give the
// same bits run after run, and whatever the thread count.
TEST_F(Threads, AnswersAreTheSameBitsOnAnyNumberOfThreads) {
    const Problem nonsymmetric = convection_diffusion(140, 0.1);  // 19,600 unknowns
    const Problem symmetric = poisson(140);
    const struct {
        QVint method;
        const Problem &p;
    } cases[] = {{QV_METHOD_BICGSTAB, nonsymmetric},
                 {QV_METHOD_GMRES, nonsymmetric},
                 {QV_METHOD_CG, symmetric}};
    for (const auto &c : cases) {
        const Answer first = solve_on(c.p, c.method, 2);
        ASSERT_TRUE(first.solved) << c.method;
        EXPECT_LE(relative_residual(c.p, first.x), 1e-9 * 1.01) << c.method;
        const Answer again = solve_on(c.p, c.method, 2);
        EXPECT_EQ(again.x, first.x) << c.method;
        EXPECT_EQ(again.iterations, first.iterations) << c.method;
        EXPECT_EQ(again.reported, first.reported) << c.method;
        for (QVint threads : {1, 3}) {
            const Answer other = solve_on(c.p, c.method, threads);
            ASSERT_TRUE(other.solved) << c.method << " on " << threads;
            EXPECT_LE(relative_residual(c.p, other.x), 1e-9 * 1.01) << c.method;
            EXPECT_EQ(other.x, first.x) << c.method << " on " << threads;
            EXPECT_EQ(other.iterations, first.iterations) << c.method << " on " << threads;
        }
    }
}

// With a diagonal preconditioner, GMRES overlaps each step's second pass
// with the next step's product and first pass, unless a row reaches too far
// from the diagonal. On a unit diagonal Jacobi scales by exactly 1, and
// without a preconditioner the steps go one pass after another: both must
// give the same bits, on any team, with and without a far entry.
TEST_F(Threads, OverlappedGmresStepsGiveTheBitsOfStepsInTurn) {
    Problem near = convection_diffusion(140, 0.1);
    for (Entry &e : near.entries)
        e.value *= 0.25;  // the diagonal 4 made 1, exactly
    Problem far = near;   // and row 0 reaching its last column: no overlap
    auto row_0_end = std::find_if(far.entries.begin(), far.entries.end(),
                                  [](const Entry &e) { return e.row > 0; });
    far.entries.insert(row_0_end, Entry{0, far.cols - 1, 1e-3});
    for (const Problem *p : {&near, &far})
        for (QVint threads : {1, 2, 3}) {
            const Answer jacobi = solve_on(*p, QV_METHOD_GMRES, threads, false);
            const Answer none =
                solve_on(*p, QV_METHOD_GMRES, threads, false, QV_PRECONDITIONER_NONE);
            ASSERT_TRUE(jacobi.solved) << threads;
            EXPECT_EQ(jacobi.iterations, none.iterations) << threads;
            EXPECT_EQ(jacobi.x, none.x) << threads;
        }
}

TEST_F(Threads, LeastSquaresAnswersDoNotDependOnThreads) {
    Problem p = poisson(130);  // 16,900 unknowns, and as many rows again below
    for (int j = 0; j < p.cols; ++j) {
        p.entries.push_back({p.rows + j, j, 1.0});  // x_j = 1 / (1 + j % 7), in the mean
        p.rhs.push_back(1.0 / (1 + j % 7));
    }
    p.rows *= 2;
    // Rows of two entries, differences along and across a 120 x 120 grid:
    // A'A is formed, as its upper triangle, over four blocks of rows, so
    // that three threads each replay the rows above their runs.
    constexpr int grid = 120;
    Problem d;
    d.cols = grid * grid;
    for (int j = 0; j < d.cols; ++j)
        for (int step : {1, grid})
            if (j + step < d.cols) {
                d.entries.push_back({d.rows, j, 1.5});  // damped: 1.5 x_j - x_j+step
                d.entries.push_back({d.rows, j + step, -1.0});
                d.rhs.push_back(1.0 / (1 + d.rows % 5));
                ++d.rows;
            }
    const struct {
        const Problem &problem;
        QVint method, preconditioner;
    } cases[] = {{p, QV_METHOD_DEFAULT, QV_PRECONDITIONER_JACOBI},  // LSMR and CGLS, without A'A
                 {p, QV_METHOD_CG, QV_PRECONDITIONER_JACOBI},
                 {d, QV_METHOD_DEFAULT, QV_PRECONDITIONER_JACOBI},  // CG on A'A
                 {d, QV_METHOD_CG, QV_PRECONDITIONER_NONE}};
    for (const auto &c : cases) {
        const Answer one = solve_on(c.problem, c.method, 1, true, c.preconditioner);
        ASSERT_TRUE(one.solved) << c.method;
        EXPECT_LE(normal_residual(c.problem, one.x), 1e-9 * 1.01) << c.method;
        for (QVint threads : {2, 3}) {
            const Answer other = solve_on(c.problem, c.method, threads, true, c.preconditioner);
            EXPECT_EQ(other.x, one.x) << c.method << " on " << threads;
            EXPECT_EQ(other.iterations, one.iterations) << c.method << " on " << threads;
            EXPECT_EQ(other.reported, one.reported) << c.method << " on " << threads;
        }
    }
}

// Many callers, each with contexts of its own, at once: every answer right.
TEST_F(Threads, CallerThreadsSolveTheirOwnContextsAtOnce) {
    constexpr int callers = 8, systems = 60;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < callers; ++t) {
        threads.emplace_back([t, &wrong] {
            EXPECT_EQ(qvGetCurrent(), nullptr);  // the current context is per thread
            for (int k = 0; k < systems; ++k) {
                Problem p = t % 2 == 0 ? poisson(6 + k % 5) : convection_diffusion(6 + k % 5, 0.2);
                for (double &b : p.rhs)
                    b *= 1.0 + t + k;
                assemble(p, t % 3 == 0 ? QV_METHOD_GMRES : QV_METHOD_BICGSTAB,
                         QV_PRECONDITIONER_JACOBI);
                if (!qvSolve() || qvGetError() != QV_OK ||
                    !(relative_residual(p, read_variables(p.cols)) <= 1e-10 * 1.01))
                    ++wrong;
                qvDeleteContext(qvGetCurrent());
            }
            EXPECT_EQ(qvGetError(), QV_OK);  // and so is the last error
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// A progress callback that waits until another thread has had its go.
struct Rendezvous {
    std::atomic<bool> solving{false}, tried{false};
};
QVbool wait_for_the_other(QVint, QVdouble, void *user) {
    auto *r = static_cast<Rendezvous *>(user);
    r->solving = true;
    while (!r->tried)
        std::this_thread::yield();
    return 0;
}

TEST_F(Threads, AContextInUseByAnotherThreadIsRefusedNeverRaced) {
    const Problem p = poisson(20);
    assemble(p, QV_METHOD_CG, QV_PRECONDITIONER_JACOBI);
    const QVcontext shared = qvGetCurrent();
    Rendezvous r;
    qvSetProgressCallback(wait_for_the_other, &r);
    std::thread other([&] {
        while (!r.solving)
            std::this_thread::yield();
        qvMakeCurrent(shared);  // making it current is allowed; using it is not
        EXPECT_EQ(qvGetError(), QV_OK);
        EXPECT_EQ(qvGetParameteri(QV_PARAM_VARIABLE_COUNT), 0);
        EXPECT_EQ(qvGetError(), QV_ERROR_BUSY);
        qvSetVariable(0, 5.0);
        EXPECT_EQ(qvGetError(), QV_ERROR_BUSY);
        qvDeleteContext(shared);
        EXPECT_EQ(qvGetError(), QV_ERROR_BUSY);
        EXPECT_FALSE(qvSolve());
        EXPECT_EQ(qvGetError(), QV_ERROR_BUSY);
        r.tried = true;
    });
    EXPECT_TRUE(qvSolve());
    other.join();
    EXPECT_LE(relative_residual(p, read_variables(p.cols)), 1e-10 * 1.01);
    // Once the solve is over, the other thread may use it, and delete it.
    std::thread deleter([&] {
        qvMakeCurrent(shared);
        EXPECT_EQ(qvGetParameteri(QV_PARAM_VARIABLE_COUNT), p.cols);
        qvDeleteContext(shared);
        EXPECT_EQ(qvGetError(), QV_OK);
    });
    deleter.join();
    // Here it was current: now there is none, and nothing touches freed memory.
    EXPECT_EQ(qvGetCurrent(), nullptr);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_VARIABLE_COUNT), 0);
    EXPECT_EQ(qvGetError(), QV_ERROR_NO_CONTEXT);
    assemble(p, QV_METHOD_CG, QV_PRECONDITIONER_JACOBI);  // a new context may take its place
    EXPECT_TRUE(qvSolve());
}

// Two threads taking turns on one context, in runs long enough that each
// run has it to itself without a locked instruction, and giving it over
// between runs: every call succeeds or is refused, neither thread is shut
// out, and each one's last write stands.
TEST_F(Threads, TwoThreadsTakingTurnsOnOneContextEachGetIt) {
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 2);
    const QVcontext shared = qvGetCurrent();
    std::atomic<int> unexpected{0};
    int succeeded[2] = {0, 0};
    double last[2] = {0.0, 0.0};
    auto take_turns = [&](int me) {
        qvMakeCurrent(shared);
        for (int run = 0; run < 300; ++run)
            for (int k = 0; k < 40; ++k) {
                const double value = run * 40 + k + 1;
                qvSetVariable(me, value);
                const int code = qvGetError();
                if (code == QV_OK) {
                    ++succeeded[me];
                    last[me] = value;
                } else if (code != QV_ERROR_BUSY) {
                    ++unexpected;
                }
            }
    };
    std::thread first(take_turns, 0), second(take_turns, 1);
    first.join();
    second.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(succeeded[0], 0);
    EXPECT_GT(succeeded[1], 0);
    EXPECT_EQ(qvGetVariable(0), last[0]);
    EXPECT_EQ(qvGetVariable(1), last[1]);
    qvDeleteContext(shared);
    EXPECT_EQ(qvGetError(), QV_OK);
}

TEST_F(Threads, TheDefaultTeamFollowsOmpNumThreads) {
    const char *asked = std::getenv("OMP_NUM_THREADS");
    if (asked == nullptr)
        GTEST_SKIP() << "run with OMP_NUM_THREADS set (a test of its own does)";
    qvNewContext();
    EXPECT_EQ(qvGetParameteri(QV_PARAM_THREADS), std::atoi(asked));
}

#if defined(__unix__)
TEST_F(Threads, AChildSolvesAfterFork) {
    const Problem p = poisson(175);  // 30,625 unknowns: the team is used before the fork
    ASSERT_TRUE(solve_on(p, QV_METHOD_CG, 2).solved);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(120);  // a hang ends the child, and fails the test
        const Answer a = solve_on(p, QV_METHOD_CG, 2);
        _exit(a.solved && relative_residual(p, a.x) <= 1e-9 * 1.01 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
#endif

}  // namespace
