"""pip's way in: the extension is built by the project's CMake build (one
definition of the engine's sources), the Python files are copied as usual.

    /usr/bin/python3 -m venv --system-site-packages venv
    venv/bin/pip install --no-build-isolation --no-index ./python
"""

import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DTRIROTOR_PYTHON=ON", "-DTRIROTOR_BUILD_TESTS=OFF", "-DTRIROTOR_BUILD_CLI=OFF",
                     "-DTRIROTOR_GUI=OFF", f"-DPython3_EXECUTABLE={sys.executable}"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "trirotor_python", "-j", "2"], check=True)
        name = pathlib.Path(self.get_ext_filename(ext.name)).name
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build / "python" / "trirotor" / name, target)


version = re.search(r"project\(trirotor VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)

setup(
    name="trirotor",
    version=version,
    description="Open and seal trirotor messages: the engine, batch records, and Dask",
    license="MIT",
    python_requires=">=3.9",
    packages=["trirotor"],
    package_data={"trirotor": ["*.pyi", "py.typed"]},
    ext_modules=[Extension("trirotor._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    extras_require={"dask": ["dask", "distributed"]},
    zip_safe=False,
)
