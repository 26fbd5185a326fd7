"""The distributions: the sdist holds the sources a build needs and no build
output, and the repaired wheel installs into a fresh virtual environment with
no compiler reachable and runs the demo there.

Slow (builds both with scripts/wheel.sh), so deselected by default; run with
`pytest -m dist tests/test_distribution.py` (scripts/test.sh does)."""

import os
import platform
import re
import subprocess
import sys
import tarfile
import venv
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.dist

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    done = subprocess.run([str(ROOT / "scripts" / "wheel.sh"), str(out)], capture_output=True, text=True,
                          env={**os.environ, "PYTHON": sys.executable}, timeout=1800)
    assert done.returncode == 0, done.stderr[-5000:]
    wheel = Path(done.stdout.strip().splitlines()[-1])
    (sdist,) = out.glob("vintrel-*.tar.gz")
    return sdist, wheel, done.stderr


def test_sdist_holds_the_sources_and_no_build_output(dist):
    sdist, _, _ = dist
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    tracked = subprocess.run(["git", "ls-files", "CMakeLists.txt", "pyproject.toml", "LICENSE", "README.md", "src",
                              "tests", "tools"], cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()
    assert tracked and not set(tracked) - names
    built = [name for name in names if re.search(r"(^|/)(build|dist|\.venv|\.nox|__pycache__)/|\.(so|o|a|pyc|whl)$",
                                                  name)]
    assert built == []


def test_wheel_runs_the_demo_in_a_fresh_venv_without_a_compiler(dist, tmp_path):
    _, wheel, log = dist
    tag = rf'consistent with\s+the following platform tag:\s+"manylinux_\d+_\d+_{platform.machine()}"'
    assert re.search(tag, log), log
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
    assert any(re.fullmatch(r"vintrel/_vintrel\..+\.so", n) for n in names)
    assert {"vintrel/__init__.py", "vintrel/__init__.pyi", "vintrel/_vintrel.pyi", "vintrel/py.typed"} <= set(names)
    assert any(n.startswith("vintrel.libs/libyaml") for n in names)

    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    python = str(env_dir / "bin" / "python")
    # Only the venv on PATH, and compilers that fail: anything that tried to
    # build from source would stop here.
    env = {"PATH": str(env_dir / "bin"), "HOME": str(tmp_path), "CC": "false", "CXX": "false",
           "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_ONLY_BINARY": ":all:"}
    # The wheel file itself, its declared dependencies from the index (as wheels).
    subprocess.run([python, "-m", "pip", "install", "-q", str(wheel)], env=env, check=True, timeout=600)

    probe = ("import vintrel\n"
             "print(vintrel.__file__, vintrel.__version__)\n"
             "print(*[line.split()[-1] for line in open('/proc/self/maps') if 'libyaml' in line][:1])\n")
    where = subprocess.run([python, "-c", probe], env=env, cwd=tmp_path, capture_output=True, text=True, check=True)
    module_file, version, libyaml = where.stdout.split()
    assert module_file.startswith(str(env_dir)) and wheel.name.startswith(f"vintrel-{version}-")
    assert "/vintrel.libs/" in libyaml and libyaml.startswith(str(env_dir))

    demo = subprocess.run([python, str(ROOT / "tools" / "demo.py"), "--model", "ostra96", "--events", "3"],
                          env=env, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert demo.returncode == 0, demo.stdout + demo.stderr
    assert "acquisition    sample-ostra96" in demo.stdout and "parsed event 0" in demo.stdout

    # The console script, and `plot` naming the extra it needs (not installed here).
    command = str(env_dir / "bin" / "vintrel")
    assert subprocess.run([command, "--version"], env=env, capture_output=True, text=True,
                          check=True).stdout == f"vintrel {version}\n"
    plot = subprocess.run([command, "plot", str(tmp_path), "0"], env=env, capture_output=True, text=True)
    assert plot.returncode == 1 and "pip install 'vintrel[plot]'" in plot.stderr
