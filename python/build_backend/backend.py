"""A build backend of a few lines for the brisvel package: it writes the
wheel itself, so pip installs the package with no network and nothing to
download. The library goes into the wheel beside the package:
BRISVEL_BUNDLE=<path of libbrisvel.so or brisvel.dll> when set; otherwise,
when this folder sits in brisvel's source tree and CMake is on the path, the
library built from that tree with CMake (BRISVEL_BUILD_JOBS jobs, default
the processors); otherwise none, and the package then loads the one that
BRISVEL_LIBRARY names or the system has."""

import base64
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

NAME, VERSION = "brisvel", "0.1.0"
HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
METADATA = f"""Metadata-Version: 2.1
Name: {NAME}
Version: {VERSION}
Summary: Sparse linear systems solved by the brisvel library, from NumPy and SciPy
Requires-Python: >=3.8
Requires-Dist: numpy
"""
SOURCE = os.path.dirname(HERE)  # brisvel's source tree, when this is its python/ folder


def _wheel_text(tag):
    pure = "true" if tag.endswith("-any") else "false"
    return (f"Wheel-Version: 1.0\nGenerator: brisvel build_backend\n"
            f"Root-Is-Purelib: {pure}\nTag: {tag}\n")


def _built_library(work):
    """Builds the library from the source tree with CMake into work; its
    path, or None when there is no tree or no CMake."""
    cmake = shutil.which("cmake")
    if cmake is None or not os.path.isfile(os.path.join(SOURCE, "solver", "CMakeLists.txt")):
        return None
    jobs = os.environ.get("BRISVEL_BUILD_JOBS") or str(os.cpu_count() or 1)
    options = ["-DCMAKE_BUILD_TYPE=Release", "-DBRISVEL_BUILD_TESTS=OFF", "-DBRISVEL_BUILD_CLI=OFF",
               "-DBRISVEL_BUILD_BENCH=OFF", "-DBRISVEL_BUILD_BENCH_PETSC=OFF"]
    for command in ([cmake, "-S", SOURCE, "-B", work] + options,
                    [cmake, "--build", work, "--target", "brisvel", "-j", jobs]):
        subprocess.run(command, check=True, stdout=sys.stderr)  # pip shows it with -v
    for folder in ("lib", "bin"):
        for name in sorted(os.listdir(os.path.join(work, folder))
                           if os.path.isdir(os.path.join(work, folder)) else []):
            path = os.path.join(work, folder, name)
            if name in ("brisvel.dll", "libbrisvel.dll", "libbrisvel.dylib") or (
                    name.startswith("libbrisvel.so") and not os.path.islink(path)):
                return path
    raise RuntimeError(f"CMake built no brisvel library in {work}")


def _package_files(library):
    """(path in the wheel, bytes) of the package, and of the library when there is one."""
    package = os.path.join(HERE, NAME)
    for name in sorted(os.listdir(package)):
        if name.endswith(".py"):
            with open(os.path.join(package, name), "rb") as f:
                yield f"{NAME}/{name}", f.read()
    if library:
        name = os.path.basename(library)
        if name.startswith("libbrisvel.so"):
            name = "libbrisvel.so"
        with open(library, "rb") as f:
            yield f"{NAME}/{name}", f.read()


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}\n"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    with tempfile.TemporaryDirectory(prefix="brisvel-build-") as work:
        library = os.environ.get("BRISVEL_BUNDLE") or _built_library(work)
        platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
        tag = f"py3-none-{platform}" if library else "py3-none-any"
        files = list(_package_files(library))
    filename = f"{NAME}-{VERSION}-{tag}.whl"
    info = f"{NAME}-{VERSION}.dist-info"
    files += [(f"{info}/METADATA", METADATA.encode()), (f"{info}/WHEEL", _wheel_text(tag).encode())]
    record = "".join(_record_line(p, d) for p, d in files) + f"{info}/RECORD,,\n"
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w", zipfile.ZIP_DEFLATED) as z:
        for path, data in files + [(f"{info}/RECORD", record.encode())]:
            z.writestr(path, data)
    return filename


def build_sdist(sdist_directory, config_settings=None):
    filename = f"{NAME}-{VERSION}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz") as tar:
        for name in ("pyproject.toml", "build_backend", NAME, "tests"):
            tar.add(os.path.join(HERE, name), arcname=f"{NAME}-{VERSION}/{name}",
                    filter=lambda t: None if "__pycache__" in t.name else t)
    return filename
