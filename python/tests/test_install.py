"""The package installs like one, with no network: pip into a fresh venv
that sees Debian's packages, building with Debian's setuptools; the
installed package then runs the tool from any folder, found by
$DOLVANEX_HOST or on the PATH."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import MOTOR_GEAR, SOURCE

# Any address pip might try: nothing listens on the discard port.
NO_NETWORK = {"http_proxy": "http://127.0.0.1:9", "https_proxy": "http://127.0.0.1:9",
              "HTTP_PROXY": "http://127.0.0.1:9", "HTTPS_PROXY": "http://127.0.0.1:9", "PIP_NO_INDEX": "1",
              "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_CACHE_DIR": "1"}
RUN = """
import sys
import dolvanex
result = dolvanex.run(sys.argv[1])
print(dolvanex.__file__)
print(dolvanex.__version__, len(result.data), result.steps)
"""


def call(command: list[str], env: dict[str, str], cwd: Path) -> subprocess.CompletedProcess:
    done = subprocess.run(command, env=env, cwd=cwd, capture_output=True, text=True, timeout=240, check=False)
    assert done.returncode == 0, f"{' '.join(command)}:\n{done.stdout}\n{done.stderr}"
    return done


@pytest.mark.skipif(not Path("/usr/lib/python3/dist-packages/setuptools").is_dir(),
                    reason="needs Debian's python3-setuptools")
def test_pip_installs_the_package_offline_and_it_runs_from_anywhere(tool: Path, tmp_path: Path) -> None:
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "DOLVANEX_HOST", "PYTHONHOME")}
    env.update(NO_NETWORK)
    # A copy of the source folder: pip builds in it and leaves build/ and
    # *.egg-info there, which the checkout does not want.
    source = tmp_path / "source"
    shutil.copytree(SOURCE / "python", source, ignore=shutil.ignore_patterns("__pycache__", "tests", "build",
                                                                              "*.egg-info"))
    venv = tmp_path / "venv"
    call([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], env, tmp_path)
    python = venv / "bin" / "python"
    call([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index", str(source)], env, tmp_path)
    shutil.rmtree(source)  # the installed package stands on its own

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    by_variable = call([str(python), "-c", RUN, str(MOTOR_GEAR)], dict(env, DOLVANEX_HOST=str(tool)), elsewhere)
    place, figures = by_variable.stdout.split("\n")[:2]
    assert Path(place).is_relative_to(venv), "the venv's copy, not the source folder's"
    version, samples, steps = figures.split()
    assert int(samples) == 201 and int(steps) > 0
    assert version == call([str(python), "-m", "pip", "show", "dolvanex"], env, elsewhere).stdout.split(
        "Version: ")[1].split()[0]

    on_path = call([str(python), "-c", RUN, str(MOTOR_GEAR)],
                   dict(env, PATH=f"{tool.parent}{os.pathsep}{env.get('PATH', '')}"), elsewhere)
    assert on_path.stdout.split("\n")[1] == figures
    nowhere = subprocess.run([str(python), "-c", RUN, str(MOTOR_GEAR)], env=dict(env, PATH="/usr/bin:/bin"),
                             cwd=elsewhere, capture_output=True, text=True, timeout=60, check=False)
    assert nowhere.returncode != 0 and "dolvanex-host not found" in nowhere.stderr
