"""A build backend of a few lines for the pure-Python brisvel package: it
writes the wheel itself, so pip installs the package with no network and
nothing to download. With BRISVEL_BUNDLE=<path of libbrisvel.so or
brisvel.dll> set, the library goes into the wheel beside the package."""

import base64
import hashlib
import os
import tarfile
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
WHEEL = "Wheel-Version: 1.0\nGenerator: brisvel build_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n"


def _package_files():
    """(path in the wheel, bytes) of the package, and of the library when bundled."""
    package = os.path.join(HERE, NAME)
    for name in sorted(os.listdir(package)):
        if name.endswith(".py"):
            with open(os.path.join(package, name), "rb") as f:
                yield f"{NAME}/{name}", f.read()
    bundle = os.environ.get("BRISVEL_BUNDLE")
    if bundle:
        name = os.path.basename(bundle)
        if name.startswith("libbrisvel.so"):
            name = "libbrisvel.so"
        with open(bundle, "rb") as f:
            yield f"{NAME}/{name}", f.read()


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}\n"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    filename = f"{NAME}-{VERSION}-py3-none-any.whl"
    info = f"{NAME}-{VERSION}.dist-info"
    files = list(_package_files())
    files += [(f"{info}/METADATA", METADATA.encode()), (f"{info}/WHEEL", WHEEL.encode())]
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
