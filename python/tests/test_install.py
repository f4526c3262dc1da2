"""`pip install ./python` gives a module that imports on its own: it carries
the library it was built with, found without SONX_LIBRARY from any folder."""
import os
import pathlib
import shutil
import subprocess
import sys

import sonx

PACKAGE = pathlib.Path(__file__).resolve().parents[1]


def test_pip_install_carries_the_library(tmp_path):
    # A copy, so the build leaves nothing in the source tree.
    source = tmp_path / "python"
    shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__", "tests"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    # The library this suite tests is the one to carry.
    quiet = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", SONX_LIBRARY=sonx._lib._name)
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index", "--no-cache-dir",
                    str(source)], check=True, env=quiet)
    alone = {key: value for key, value in os.environ.items()
             if key not in ("SONX_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    found = subprocess.run([python, "-c", "import numpy, sonx\n"
                            "print(sonx.__version__, sonx._lib._name)\n"
                            "print(sonx.info(sonx.encode(numpy.zeros(1600, numpy.float32), 8000))['codec'])"],
                           cwd=tmp_path, env=alone, check=True, capture_output=True, text=True).stdout.split()
    version = next(line.split('"')[1] for line in (PACKAGE / "pyproject.toml").read_text().splitlines()
                   if line.startswith("version = "))
    assert found[0] == version
    assert pathlib.Path(found[1]).parent == next(venv.glob("lib/python3*/site-packages/sonx"))
    assert found[2] == "QCELP-13K"
