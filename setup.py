"""Builds the extension img3d._img3d with the project's CMake.

Only what the module needs is configured: no tests, tools, benchmarks or
examples.  IMG3D_CMAKE_ARGS adds arguments to the configure step (the test
script passes -DIMG3D_WERROR=ON).
"""
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def version():
    with open(os.path.join(ROOT, "include", "img3d.h")) as f:
        return re.search(r'#define IMG3D_VERSION "([^"]+)"', f.read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = os.path.abspath(self.get_ext_fullpath(ext.name))
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = [
            "cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
            "-DIMG3D_BUILD_PYTHON=ON", "-DIMG3D_BUILD_TESTS=OFF", "-DIMG3D_BUILD_TOOLS=OFF",
            "-DIMG3D_BUILD_BENCH=OFF", "-DIMG3D_BUILD_EXAMPLES=OFF",
            f"-DPython_EXECUTABLE={sys.executable}",
            *shlex.split(os.environ.get("IMG3D_CMAKE_ARGS", "")),
        ]
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")) and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", build_dir, "--target", "_img3d", "-j", "2"], check=True)
        built = glob.glob(os.path.join(build_dir, "python", "_img3d.*"))
        if len(built) != 1:
            raise RuntimeError(f"expected one built module in {build_dir}/python, found {built}")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)


# Everything the build makes stays under build/ with the project's other builds
# (IMG3D_BUILD_BASE: elsewhere, as the test script's own build does).
setup(version=version(), ext_modules=[Extension("img3d._img3d", sources=[])], cmdclass={"build_ext": CMakeBuild},
      options={"build": {"build_base": os.environ.get("IMG3D_BUILD_BASE", "build/setuptools")}})
