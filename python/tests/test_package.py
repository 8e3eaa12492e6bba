"""The package as a user gets it: installed into a fresh virtual environment
without network, and the README's sweep run unchanged against tecsim."""

import csv
import os
import shutil
import subprocess
import sys

import pytest

from conftest import HERE

PACKAGE = os.path.dirname(HERE)
SWEEP = os.path.join(PACKAGE, "examples", "sweep.py")


def test_readme_shows_the_sweep_as_it_is():
    with open(os.path.join(PACKAGE, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    with open(SWEEP, encoding="utf-8") as f:
        assert "```python\n" + f.read() + "```" in readme


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A virtual environment with the package installed as the README says."""
    root = tmp_path_factory.mktemp("venv")
    src = root / "src"
    # A copy: building writes its egg-info beside the sources.
    shutil.copytree(PACKAGE, str(src), ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
    env = root / "env"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(env)], check=True)
    python = str(env / "bin" / "python")
    r = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", str(src)],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    return python


def test_installs_without_network(venv, tmp_path):
    r = subprocess.run([venv, "-c", "import tecontrol, serial; print(tecontrol.__file__)"], cwd=str(tmp_path),
                       capture_output=True, text=True, check=True)
    assert "site-packages" in r.stdout


def test_the_sweep_runs_against_tecsim(venv, start_sim, tmp_path):
    s = start_sim("--speed", "100")
    run = tmp_path / "run"
    run.mkdir()
    r = subprocess.run([venv, SWEEP, s.link, "1"], cwd=str(run), capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert [line.split()[0] for line in r.stdout.splitlines()] == ["30.0", "35.0", "40.0"]
    with open(str(run / "sweep.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == 15
    for row in rows:
        assert float(row["sv"]) == float(row["setpoint"])
        assert abs(float(row["pv"]) - float(row["setpoint"])) <= 0.5
