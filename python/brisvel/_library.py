"""Finding and loading the brisvel shared library, and declaring its functions."""

import ctypes
import ctypes.util
import os
import sys

QVint = ctypes.c_int32
QVdouble = ctypes.c_double
QVbool = ctypes.c_ubyte
QVprogress = ctypes.CFUNCTYPE(QVbool, QVint, QVdouble, ctypes.c_void_p)

# Codes from brisvel.h.
PARAM_SOLVER = 0x100
PARAM_VARIABLE_COUNT = 0x101
PARAM_LEAST_SQUARES = 0x102
PARAM_MAX_ITERATIONS = 0x103
PARAM_THRESHOLD = 0x104
PARAM_GMRES_RESTART = 0x105
PARAM_PRECONDITIONER = 0x10B
PARAM_THREADS = 0x10C
PARAM_SYSTEMS = 0x110
PARAM_SYSTEM = 0x111
PARAM_ILUT = {"drop": 0x112, "fill": 0x113, "pivot": 0x114}  # doubles
PARAM_ILUT_SCALING = 0x115
ILUT_SCALINGS = {"matching": 2, "equilibrate": 1, "none": 0}
USED_ITERATIONS = 0x180
RESIDUAL = 0x181
SETUP_SECONDS = 0x182
SYSTEM_ERROR = 0x185
FACTOR_FILL = 0x186
BLOCK_SYSTEM, BLOCK_MATRIX, BLOCK_ROW = 0, 1, 2
ERROR_NOT_CONVERGED = 0x40A
ERROR_STAGNATED = 0x414
ERROR_INTERRUPTED = 0x410

METHODS = {
    "default": 0x000,
    "bicgstab": 0x201,
    "gmres": 0x202,
    "cg": 0x203,
    "superlu": 0x210,
    "superlu_permuted": 0x211,
    "cholmod": 0x214,
}
EXTENSION_OF = {"superlu": "SUPERLU", "superlu_permuted": "SUPERLU", "cholmod": "CHOLMOD"}
PRECONDITIONERS = {"jacobi": 0x300, "ssor": 0x301, "none": 0x302, "ilu0": 0x303, "ic0": 0x304,
                   "amg": 0x305, "ilut": 0x306}

_SIGNATURES = {
    "qvNewContext": (ctypes.c_void_p, []),
    "qvGetCurrent": (ctypes.c_void_p, []),
    "qvMakeCurrent": (None, [ctypes.c_void_p]),
    "qvDeleteContext": (None, [ctypes.c_void_p]),
    "qvSolverParameteri": (None, [QVint, QVint]),
    "qvSolverParameterd": (None, [QVint, QVdouble]),
    "qvGetParameteri": (QVint, [QVint]),
    "qvGetParameterd": (QVdouble, [QVint]),
    "qvBegin": (None, [QVint]),
    "qvEnd": (None, [QVint]),
    "qvLockVariable": (None, [QVint]),
    "qvSetVariable": (None, [QVint, QVdouble]),
    "qvCoefficients": (None, [QVint, ctypes.c_void_p, ctypes.c_void_p]),
    "qvRightHandSide": (None, [QVdouble]),
    "qvCompressedRows": (None, [QVint, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                ctypes.c_void_p]),
    "qvSetRightHandSides": (None, [QVint, ctypes.c_void_p]),
    "qvGetVariables": (None, [QVint, ctypes.c_void_p]),
    "qvSetVariables": (None, [QVint, ctypes.c_void_p]),
    "qvSolve": (QVbool, []),
    "qvGetVariable": (QVdouble, [QVint]),
    "qvSetProgressCallback": (None, [QVprogress, ctypes.c_void_p]),
    "qvGetError": (QVint, []),
    "qvErrorString": (ctypes.c_char_p, [QVint]),
    "qvInitExtension": (QVbool, [ctypes.c_char_p]),
}


def _candidates():
    """Where to look, in order: $BRISVEL_LIBRARY, beside this package, the system."""
    explicit = os.environ.get("BRISVEL_LIBRARY")
    if explicit:
        yield explicit
        return
    here = os.path.dirname(os.path.abspath(__file__))
    names = (
        ["brisvel.dll", "libbrisvel.dll"]
        if sys.platform == "win32"
        else ["libbrisvel.dylib"]
        if sys.platform == "darwin"
        else ["libbrisvel.so", "libbrisvel.so.0"]
    )
    for name in names:
        path = os.path.join(here, name)
        if os.path.exists(path):
            yield path
    found = ctypes.util.find_library("brisvel")
    if found:
        yield found
    yield from names  # the loader's own search path


def load():
    """Loads the library and declares its functions; raises OSError when none loads."""
    errors = []
    for candidate in _candidates():
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as e:
            errors.append(f"{candidate}: {e}")
            continue
        for name, (restype, argtypes) in _SIGNATURES.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        return lib
    raise OSError(
        "cannot load the brisvel library; set BRISVEL_LIBRARY to its path\n  "
        + "\n  ".join(errors)
    )
