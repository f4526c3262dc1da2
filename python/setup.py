"""The package carries the libsonx.so.3 the project built, so it imports
wherever it is installed: SONX_LIBRARY names the library to carry, else the
build/ folder of the source tree (where scripts/setup.sh builds)."""
import os
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

LIBRARY = "libsonx.so.3"
SOURCE_TREE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        library = os.environ.get("SONX_LIBRARY") or os.path.join(SOURCE_TREE, "build", LIBRARY)
        if not os.path.isfile(library):
            raise SystemExit(f"sonx: no library at {library}: run scripts/setup.sh first, "
                             "or name the built libsonx.so.3 in SONX_LIBRARY")
        shutil.copyfile(library, os.path.join(self.build_lib, "sonx", LIBRARY))


class CarriesNativeCode(Distribution):
    """A wheel with a native library in it is for one platform."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=CarriesNativeCode)
