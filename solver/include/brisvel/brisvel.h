/*
 * brisvel: a sparse linear-solver library with a flat C interface.
 *
 * All building and solving calls act on the current context, which
 * qvNewContext creates and makes current. A system is given row by row:
 *
 *   qvNewContext();
 *   qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, n);
 *   qvBegin(QV_BLOCK_SYSTEM);
 *     qvLockVariable(k); qvSetVariable(k, value);   (optional)
 *     qvBegin(QV_BLOCK_MATRIX);
 *       qvBegin(QV_BLOCK_ROW);
 *         qvCoefficient(j, a_ij); ... qvRightHandSide(b_i);
 *         (or a whole row at once: qvCoefficients(count, js, a_ijs))
 *       qvEnd(QV_BLOCK_ROW);
 *       ...
 *     qvEnd(QV_BLOCK_MATRIX);
 *   qvEnd(QV_BLOCK_SYSTEM);
 *   if (qvSolve()) x_j = qvGetVariable(j);
 *   qvDeleteContext(qvGetCurrent());
 *
 * Misuse never crashes: a bad call records an error code (read it with
 * qvGetError) and leaves the context as it was. The library prints nothing.
 *
 * Threads. The current context and the last error belong to the calling
 * thread: each thread starts with no current context, and qvGetError reads
 * the errors of the calls that thread made. Contexts belong to the process:
 * any thread may make one current (qvMakeCurrent) and use it, but only one
 * thread at a time is inside a call on a context. A call on a context that
 * another thread is using at that moment fails with QV_ERROR_BUSY and
 * changes nothing, so independent threads should each use contexts of
 * their own, and they may all solve at once. A context may be deleted while
 * it is current in another thread (not while that thread is inside a call on
 * it): that thread then finds no current context (QV_ERROR_NO_CONTEXT).
 * A process forked after loading the library solves on one thread.
 */
#ifndef BRISVEL_BRISVEL_H
#define BRISVEL_BRISVEL_H

#include <stdint.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(BRISVEL_BUILDING)
#define QV_API __declspec(dllexport)
#elif defined(BRISVEL_STATIC)
#define QV_API
#else
#define QV_API __declspec(dllimport)
#endif
#else
#define QV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* clang-format off */
typedef int32_t QVint;                 /* codes, counts and variable indices */
typedef double QVdouble;               /* coefficients and values */
typedef unsigned char QVbool;          /* 0 = false, anything else = true */
typedef struct QVcontextRec *QVcontext; /* opaque handle of a solver context */

/* ---- Parameter codes: qvSolverParameteri/d, qvGetParameteri/d ---- */
#define QV_PARAM_SOLVER 0x100          /* int: a QV_METHOD_* code (default QV_METHOD_DEFAULT) */
#define QV_PARAM_VARIABLE_COUNT 0x101  /* int: number of variables, 1 .. QV_MAX_VARIABLES */
#define QV_PARAM_LEAST_SQUARES 0x102   /* int: 1 = least squares, 0 = square system (default) */
#define QV_PARAM_MAX_ITERATIONS 0x103  /* int: iteration limit; 0 = default, max(1000, 2 * unknowns) */
#define QV_PARAM_THRESHOLD 0x104       /* double: relative residual to reach (default 1e-10) */
#define QV_PARAM_GMRES_RESTART 0x105   /* int: GMRES restart length (default 30) */
#define QV_PARAM_SSOR_OMEGA 0x106      /* double: SSOR relaxation factor, 0 < w < 2 (default 1) */
#define QV_PARAM_PRECONDITIONER 0x10B  /* int: a QV_PRECONDITIONER_* code (default Jacobi) */
#define QV_PARAM_THREADS 0x10C         /* int: threads, 1 .. QV_MAX_THREADS; 0 = default, see below */
#define QV_PARAM_AMG_STRENGTH 0x10D    /* double: AMG strength threshold, 0 < t < 1 (default 0.02) */
#define QV_PARAM_AMG_SWEEPS 0x10E      /* int: AMG smoothing degree per level, 1 .. 10 (default 2) */
#define QV_PARAM_AMG_COARSEST 0x10F    /* int: AMG coarsest level's most unknowns, 1 .. 4000 (default 500) */
#define QV_PARAM_SYSTEMS 0x110         /* int: systems sharing the matrix, 1 .. QV_MAX_SYSTEMS (default 1) */
#define QV_PARAM_SYSTEM 0x111          /* int: the selected system, 0 .. systems - 1 (default 0); see below */
#define QV_PARAM_ILUT_DROP 0x112       /* double: ILUT drops entries below this times their row's 2-norm, 0 <= t < 1 (default 1e-4) */
#define QV_PARAM_ILUT_FILL 0x113       /* double: ILUT's factors hold at most this times A's entries, 0 < f <= 1000 (default 10) */
#define QV_PARAM_ILUT_PIVOT 0x114      /* double: ILUT swaps a diagonal below this times its row's largest, 0 (never) .. 1 (default 0.1) */
#define QV_PARAM_ILUT_SCALING 0x115    /* int: QV_ILUT_MATCHING (default), QV_ILUT_EQUILIBRATE or QV_ILUT_NO_SCALING */
#define QV_PARAM_AMG_PAIRS 0x116       /* int: 1 = AMG aggregates unknowns found in pairs together (default), 0 = never; see below */

/* ---- Results of the last qvSolve, read with qvGetParameteri/d ---- */
#define QV_USED_ITERATIONS 0x180 /* int: iterations the last solve used; 0 for a direct method */
#define QV_RESIDUAL 0x181        /* double: true relative residual of the last solve's answer */
#define QV_SETUP_SECONDS 0x182   /* double: seconds of the last solve spent building its
                                    preconditioner or factorisation (part of the solve) */
#define QV_AMG_LEVELS 0x183      /* int: levels of the last solve's AMG hierarchy; 0 without AMG */
#define QV_AMG_COMPLEXITY 0x184  /* double: its operator complexity, the entries of all levels'
                                    matrices over the finest's; 0 without AMG */
#define QV_SYSTEM_ERROR 0x185    /* int: the error code of the selected system in the last
                                    solve, QV_OK when it succeeded */
#define QV_FACTOR_FILL 0x186     /* double: the entries of the last solve's ILUT factors over
                                    A's; 0 without ILUT */
/* QV_USED_ITERATIONS, QV_RESIDUAL and QV_SYSTEM_ERROR are the selected
   system's; QV_SETUP_SECONDS and the AMG results the solve's, shared by all. */

#define QV_MAX_VARIABLES (1 << 28) /* largest accepted variable count */
#define QV_MAX_THREADS 1024        /* largest accepted thread count */
#define QV_MAX_SYSTEMS 1024        /* largest accepted system count */

/* ---- Solver methods ---- */
#define QV_METHOD_DEFAULT 0x000          /* BiCGStab; LSMR in least-squares mode (see below) */
#define QV_METHOD_BICGSTAB 0x201         /* BiCGStab, for general square systems */
#define QV_METHOD_GMRES 0x202            /* restarted GMRES, for general square systems */
#define QV_METHOD_CG 0x203               /* conjugate gradients, symmetric positive definite only */
#define QV_METHOD_SUPERLU 0x210          /* SuperLU direct solver (extension), natural ordering */
#define QV_METHOD_SUPERLU_PERMUTED 0x211 /* SuperLU with a fill-reducing column ordering */
#define QV_METHOD_CHOLMOD 0x214          /* CHOLMOD LDL' direct solver (extension), symmetric only */
/* In least-squares mode (min ||b - Ax||, A with any number of rows):
   - QV_METHOD_DEFAULT is LSMR and QV_METHOD_CG is CGLS. Both use products
     with A and A' only, both made in one sweep over A's rows an iteration,
     and never form A'A; their preconditioners act on A'A without forming it:
     Jacobi scales the columns of A to unit norm, SSOR is applied by sweeps
     over the columns of A (on one thread, with a copy of A stored by columns:
     12 bytes an entry), NONE is none. Both stop when
     ||A'(b - Ax)|| / ||A'b||, recomputed from A, meets the threshold, and
     call the progress callback with their estimate of that ratio.
     When forming A'A pays (an estimate of its size from A's structure,
     min(sum of squared row lengths, unknowns^2), is at most 3 times A's
     entries, as for rows of one or two entries or few unknowns) both run
     CG on the formed A'A with the same preconditioner instead.
   - QV_METHOD_BICGSTAB and QV_METHOD_GMRES run on the formed A'A x = A'b.
   - The direct methods factor the formed A'A.
   A rank-deficient A has many least-squares solutions: LSMR and CGLS return
   the one nearest the initial guess in the norm their preconditioner
   weights (from a zero guess, without preconditioner: the minimum-norm
   solution); a variable whose column is empty keeps its initial value. */

/* ---- Preconditioners ---- */
#define QV_PRECONDITIONER_JACOBI 0x300 /* inverse of the diagonal (the default); of A'A in least squares */
#define QV_PRECONDITIONER_SSOR 0x301   /* symmetric successive over-relaxation */
#define QV_PRECONDITIONER_NONE 0x302   /* no preconditioning */
#define QV_PRECONDITIONER_ILU0 0x303   /* incomplete LU with the sparsity of A; square systems only */
#define QV_PRECONDITIONER_IC0 0x304    /* incomplete Cholesky of a symmetric A (else QV_ERROR_NOT_SYMMETRIC) */
#define QV_PRECONDITIONER_AMG 0x305    /* algebraic multigrid (smoothed aggregation), one V-cycle */
#define QV_PRECONDITIONER_ILUT 0x306   /* threshold incomplete LU with column pivoting; square systems only */
/* AMG: the levels go down by aggregating strongly connected unknowns
   (QV_PARAM_AMG_STRENGTH) until one has at most QV_PARAM_AMG_COARSEST
   unknowns, solved exactly; each level is smoothed by a Chebyshev
   polynomial of degree QV_PARAM_AMG_SWEEPS before and after its coarse
   correction, which keeps the preconditioner symmetric for CG. A zero or
   non-finite diagonal entry fails with QV_ERROR_PRECONDITIONER. In least
   squares it is built on the formed A'A. When a level's unknowns come in
   interleaved pairs (2p, 2p+1), as the u and v of a map or the x and y of a
   displacement do (rows of a pair hold the same columns, and those are
   whole pairs), a pair is aggregated as one node and each of its two
   components gets its own coarse unknown (QV_PARAM_AMG_PAIRS). */
/* ILUT: A's rows are put in an order and scaled (QV_PARAM_ILUT_SCALING),
   then factored row by row: entries below QV_PARAM_ILUT_DROP times their
   row's 2-norm are dropped, each row of L and of U keeps its largest
   entries within QV_PARAM_ILUT_FILL, and a column whose entry exceeds the
   diagonal's by more than 1 / QV_PARAM_ILUT_PIVOT takes the diagonal's
   place. An empty row, a zero or tiny pivot, or a factor that overflows
   fails with QV_ERROR_PRECONDITIONER. */
#define QV_ILUT_MATCHING 2    /* rows ordered by a maximum-product transversal and scaled by
                                 its duals: the diagonal is 1, no entry larger (the default) */
#define QV_ILUT_EQUILIBRATE 1 /* rows, then columns, scaled to a largest entry of 1 */
#define QV_ILUT_NO_SCALING 0  /* A as given */

/* ---- Blocks: a system holds a matrix, a matrix holds rows ---- */
#define QV_BLOCK_SYSTEM 0
#define QV_BLOCK_MATRIX 1
#define QV_BLOCK_ROW 2

/* ---- Error codes, read with qvGetError ---- */
#define QV_OK 0                           /* no error */
#define QV_ERROR_NO_CONTEXT 0x401         /* no context is current */
#define QV_ERROR_INVALID_HANDLE 0x402     /* the handle is not a live context */
#define QV_ERROR_INVALID_CODE 0x403       /* unknown parameter, method, preconditioner or block code */
#define QV_ERROR_INVALID_VALUE 0x404      /* argument out of its range, or a null pointer */
#define QV_ERROR_INVALID_INDEX 0x405      /* variable index outside 0 .. count - 1 */
#define QV_ERROR_BLOCK_ORDER 0x406        /* call not allowed in the current block state */
#define QV_ERROR_NOT_FINITE 0x407         /* NaN or infinite number given */
#define QV_ERROR_OUT_OF_MEMORY 0x408      /* an allocation failed; nothing was changed */
#define QV_ERROR_DIMENSION 0x409          /* rows do not match the unknowns, or no unknowns */
#define QV_ERROR_NOT_CONVERGED 0x40A      /* iteration limit reached above the threshold */
#define QV_ERROR_BREAKDOWN 0x40B          /* the iterative method broke down */
#define QV_ERROR_SINGULAR 0x40C           /* the direct solver found the matrix singular */
#define QV_ERROR_EXTENSION 0x40D          /* unknown extension name */
#define QV_ERROR_EXTENSION_UNAVAILABLE 0x40E /* extension not found, or not initialised */
#define QV_ERROR_NOT_SYMMETRIC 0x40F      /* method needs a symmetric matrix */
#define QV_ERROR_INTERRUPTED 0x410        /* the progress callback stopped the solve */
#define QV_ERROR_INTERNAL 0x411           /* a fault inside the library; nothing was changed */
#define QV_ERROR_BUSY 0x412               /* the context is being solved, or another thread is in a call on it */
#define QV_ERROR_PRECONDITIONER 0x413     /* ILU(0)/IC(0) could not be built: overflow, a diagonal entry not positive (IC), no shift helped */
#define QV_ERROR_STAGNATED 0x414          /* the true residual stopped falling above the threshold, before the limit */

/* clang-format on */

/* ---- Initialisation and contexts ---- */

/* Sets the library up. Accepts any arguments, including 0 and NULL, and
   ignores those it does not know. May be called more than once. */
QV_API QVbool qvInitialize(int argc, char **argv);
/* Creates a context and makes it current; NULL when memory runs out. */
QV_API QVcontext qvNewContext(void);
/* The current context, or NULL when there is none. */
QV_API QVcontext qvGetCurrent(void);
/* Makes a live context current. */
QV_API void qvMakeCurrent(QVcontext context);
/* Frees a context. When it was current, no context is current afterwards. */
QV_API void qvDeleteContext(QVcontext context);

/* ---- Parameters ---- */

/* Parameters are set outside blocks. Setting QV_PARAM_VARIABLE_COUNT or
   QV_PARAM_LEAST_SQUARES discards an assembled system.
   Several systems: with QV_PARAM_SYSTEMS = k, k systems share one matrix,
   each with right-hand sides and variables of its own; one qvSolve solves
   all k with one setup, and succeeds only when every one does (qvGetError
   then gives the first failing system's code). The calls that address one
   system (qvRightHandSide, qvSetRightHandSide(s), qvSetVariable(s),
   qvGetVariable(s) and the results above) address the selected one,
   QV_PARAM_SYSTEM; the locks are shared. Changing the count keeps the
   matrix, the locks and the setup, and the right-hand sides and values of
   the systems kept; new ones start with zeros.
   QV_PARAM_THREADS defaults by OpenMP's rules: OMP_NUM_THREADS when set,
   capped by OMP_THREAD_LIMIT, else the processors available (1 in a build
   without OpenMP, which runs on one thread whatever the value); setting 0
   restores that. A solve's team is capped at the processors available, and
   solves running at once in several threads share them rather than
   oversubscribe them. Inside the caller's own OpenMP parallel region a
   solve starts no nested team unless the caller allows nesting. After fork()
   the child solves on one thread. Systems too small to gain run on one
   thread. For a given matrix and right-hand side, every thread count gives
   the same answer, to the bit. */
QV_API void qvSolverParameteri(QVint code, QVint value);
QV_API void qvSolverParameterd(QVint code, QVdouble value);
/* Parameters and the results of the last solve; 0 on an error. */
QV_API QVint qvGetParameteri(QVint code);
QV_API QVdouble qvGetParameterd(QVint code);

/* ---- Blocks and assembly ---- */

/* Opening a system block starts a new system: rows and locks are cleared,
   variable values are kept and serve as the initial guess. */
QV_API void qvBegin(QVint block);
QV_API void qvEnd(QVint block);
/* In the system block, before the matrix: the variable keeps its value and
   is no unknown; its terms move to the right-hand side. */
QV_API void qvLockVariable(QVint index);
/* Sets a variable: the value of a locked one, or the initial guess. */
QV_API void qvSetVariable(QVint index, QVdouble value);
/* Adds value * x[index] to the open row; repeated calls on one index add up. */
QV_API void qvCoefficient(QVint index, QVdouble value);
/* Adds count coefficients to the open row, values[k] * x[indices[k]], as
   count calls of qvCoefficient would: repeated indices add up. It adds all of
   them or none: a negative count, or a null array when count > 0, records
   QV_ERROR_INVALID_VALUE; otherwise the first entry with a bad index or a
   value that is not finite records that error, as qvCoefficient would; then
   QV_ERROR_BLOCK_ORDER when no row is open. count 0 does nothing. */
QV_API void qvCoefficients(QVint count, const QVint *indices, const QVdouble *values);
/* Sets the open row's right-hand side, of the selected system. */
QV_API void qvRightHandSide(QVdouble value);
/* Sets the open row's right-hand sides of all systems, values[s] for system
   s; count must be QV_PARAM_SYSTEMS (else QV_ERROR_INVALID_VALUE). */
QV_API void qvRightHandSides(QVint count, const QVdouble *values);
/* In the system block, after the locks: gives the whole matrix at once, as a
   matrix block of rows rows would. Row i holds the entries starts[i] ..
   starts[i + 1] - 1 of columns and values (unsorted, repeated columns adding
   up), starts[0] = 0; rhs holds rows right-hand sides for each system, one
   system after another (NULL: all 0). All or nothing: QV_ERROR_INVALID_VALUE
   for a negative rows, a null array (starts, and columns and values when
   there are entries) or starts not rising from 0; then the first bad column
   QV_ERROR_INVALID_INDEX, the first value (then right-hand side) not finite
   QV_ERROR_NOT_FINITE; then QV_ERROR_BLOCK_ORDER outside the system block or
   inside the matrix block. */
QV_API void qvCompressedRows(QVint rows, const int64_t *starts, const QVint *columns,
                             const QVdouble *values, const QVdouble *rhs);

/* Solving again. After a solve, the right-hand sides and the values of the
   variables (locked or not) may change and qvSolve be called again without
   sending the system again: the matrix, the elimination of the locked
   variables, the preconditioner or the factorisation and the work arrays are
   all reused (QV_SETUP_SECONDS is then 0). What they depend on makes them
   new: a new system block (with a matrix of the same pattern and the same
   locks, a direct method factors it again on its kept ordering and
   analysis), or another method, preconditioner or setting of theirs, mode or
   thread count. Least squares keeps its setup (the scaled A and the
   preconditioner) when its method never forms A'A; a formed A'A, with its
   preconditioner or factorisation, is made for every solve and freed
   before the verdict, keeping the peak memory low. */
/* Sets right-hand side row of the closed system, of the selected system:
   outside blocks (else QV_ERROR_BLOCK_ORDER), row in 0 .. rows - 1 (else
   QV_ERROR_INVALID_INDEX). */
QV_API void qvSetRightHandSide(QVint row, QVdouble value);
/* Sets all count right-hand sides of the selected system, as count calls of
   qvSetRightHandSide would, or none: QV_ERROR_BLOCK_ORDER as above, then
   QV_ERROR_INVALID_VALUE unless count is the number of rows and values is
   not null, then QV_ERROR_NOT_FINITE for a value that is not finite. */
QV_API void qvSetRightHandSides(QVint count, const QVdouble *values);

/* ---- Solve and results ---- */

/* Solves the closed system. True only when the true relative residual,
   ||b - Ax|| / ||b|| (least squares: ||A'(b - Ax)|| / ||A'b||), is at most
   QV_PARAM_THRESHOLD. Fails with QV_ERROR_NOT_FINITE when the assembled
   system is not finite: repeated coefficients that add up past the largest
   double, or locked variables whose terms overflow the right-hand side.
   Least squares scales the problem by powers of two before any product, so
   entries anywhere from 1e-300 to 1e300 are handled. When the method fails,
   the variables hold whichever of the last iterate and the initial guess has
   the smaller true residual (never NaN or infinity), and QV_RESIDUAL gives
   that residual; when it meets the threshold, the solve succeeds with it
   (the verdict decides, whatever stopped the method). Otherwise the error
   code tells why: QV_ERROR_NOT_CONVERGED only once the iteration limit is
   reached, QV_ERROR_STAGNATED when the true residual stopped falling before
   it (rounding sets its floor: more iterations will not help). */
QV_API QVbool qvSolve(void);
QV_API QVdouble qvGetVariable(QVint index);
/* All variables of the selected system at once, count of them: count must
   be QV_PARAM_VARIABLE_COUNT and values not null (else QV_ERROR_INVALID_VALUE);
   qvSetVariables sets all or, with a value that is not finite
   (QV_ERROR_NOT_FINITE), none. */
QV_API void qvGetVariables(QVint count, QVdouble *values);
QV_API void qvSetVariables(QVint count, const QVdouble *values);

/* A progress callback: called by the iterative methods after each iteration
   with its number (from 1) and the method's running estimate of the relative
   residual; success is still judged on the true residual. Returning non-zero
   stops the solve: unless the answer so far already meets the threshold, the
   solve fails with QV_ERROR_INTERRUPTED, and the variables get the last
   iterate when it is better than the initial guess.
   A callback may call into the library. While the solve runs, its context may
   be read (qvGetParameteri/d, qvGetVariable(s), qvGetCurrent) but not
   changed: qvBegin, qvEnd, qvLockVariable, qvSetVariable(s),
   qvCoefficient(s), qvRightHandSide(s), qvCompressedRows,
   qvSetRightHandSide(s), qvSolverParameteri/d, qvSetProgressCallback,
   qvSolve and qvDeleteContext on it fail with QV_ERROR_BUSY and change
   nothing. Other contexts may be created, changed, solved and deleted, and
   another context may be made current; the running solve goes on with its
   own. */
typedef QVbool (*QVprogress)(QVint iteration, QVdouble residual, void *user);
/* Sets the current context's progress callback, called with user as its last
   argument; NULL removes it. Outside blocks. Direct solvers do not call it. */
QV_API void qvSetProgressCallback(QVprogress callback, void *user);

/* ---- Errors ---- */

/* The last error code (QV_OK when none) and clears it. */
QV_API QVint qvGetError(void);
/* A short English text for an error code; never NULL. */
QV_API const char *qvErrorString(QVint code);

/* ---- Extensions ---- */

/* Looks for an optional extension, "SUPERLU" or "CHOLMOD", and answers
   non-zero when it can be used. The extension is the system's own shared
   library (libsuperlu.so.5 to .7, libcholmod.so.3 to .5; on Windows
   superlu.dll or cholmod.dll, with or without a "lib" prefix), loaded at run
   time; a build configured with -DBRISVEL_DYNAMIC_LIBS=OFF never finds one.
   The direct methods need a successful call first: until then qvSolve fails
   with QV_ERROR_EXTENSION_UNAVAILABLE. Failure records that code too, or
   QV_ERROR_EXTENSION for a name other than these two; a later call tries
   again. Least squares with a direct method factors A'A. */
QV_API QVbool qvInitExtension(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* BRISVEL_BRISVEL_H */
