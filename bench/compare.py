#!/usr/bin/python3
"""The comparison with scipy, scikit-image and ITK under its usual name:
runs compare/compare.py with the same arguments (see there)."""

import os
import runpy
import sys

script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "compare", "compare.py")
sys.argv[0] = script
runpy.run_path(script, run_name="__main__")
