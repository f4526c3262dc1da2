"""`pip install ./python` gives a module that imports on its own, from any
folder and without SONX_LIBRARY: it carries the library it was built with."""
import os
import pathlib
import shutil
import subprocess
import sys

import sonx

PACKAGE = pathlib.Path(__file__).resolve().parents[1]


def test_pip_install_carries_the_library(tmp_path):
    source, venv = tmp_path / "python", tmp_path / "venv"
    shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__", "tests"))
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    # The library this suite tests is the one to carry; nothing is downloaded.
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index", "--no-cache-dir",
                    str(source)], check=True,
                   env=dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", SONX_LIBRARY=sonx._lib._name))
    alone = {key: value for key, value in os.environ.items()
             if key not in ("SONX_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    loaded = subprocess.run([python, "-c", "import numpy, sonx; print(sonx.__version__, sonx._lib._name, "
                             "sonx.info(sonx.encode(numpy.zeros(1600, numpy.float32), 8000))['codec'])"],
                            cwd=tmp_path, env=alone, check=True, capture_output=True, text=True).stdout.split()
    carried = next(venv.glob("lib/python3*/site-packages/sonx")) / "libsonx.so.3"
    assert loaded == [sonx.__version__, str(carried), "QCELP-13K"]
