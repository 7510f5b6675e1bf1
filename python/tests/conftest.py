"""Lets the tests import the package from this source tree, unless they are
to test an installed copy (BRISVEL_TEST_INSTALLED=1)."""

import os
import sys

if not os.environ.get("BRISVEL_TEST_INSTALLED"):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
