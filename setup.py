"""Builds the extension module quillkit._quillkit with the project's CMake build.

The module is linked with the library and the virtual printer as static libraries, so the
wheel holds one self-contained module. Extra CMake options come from the CMAKE_ARGS variable;
CMAKE_BUILD_PARALLEL_LEVEL sets the build jobs.
"""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(quillkit VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        tree = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(tree),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_SHARED_LIBS=OFF",
            "-DQUILLKIT_BUILD_TESTS=OFF",
            "-DQUILLKIT_BUILD_BENCH=OFF",
            "-DQUILLKIT_BUILD_PYTHON=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
            *shlex.split(os.environ.get("CMAKE_ARGS", "")),
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(tree), "--target", "quillkit_python"],
                       check=True)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(tree / "python" / "quillkit" / target.name, target)


setup(
    version=version(),
    ext_modules=[Extension("quillkit._quillkit", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Beside the CMake build trees (build*/), not inside build/.
    options={"build": {"build_base": "build-python-package"}},
)
