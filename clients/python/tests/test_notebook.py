"""The tutorial notebook runs to its end against the suite's package and
simulator; run-notebook refuses a notebook kept with outputs or no notebook
at all, and names the cell that fails."""

import json
import os
import subprocess
import sys

import pytest

from conftest import PACKAGE_ROOT, SLOW, sim_executable

pytest.importorskip("nbclient")
pytest.importorskip("ipykernel")
pytest.importorskip("matplotlib")

ROOT = os.path.dirname(os.path.dirname(PACKAGE_ROOT))
RUN = os.path.join(ROOT, "scripts", "run-notebook.py")
TUTORIAL = os.path.join(ROOT, "examples", "tutorial.ipynb")


def run_notebook(path, cwd, timeout=300):
    # The suite's package first, then whatever the suite's path holds (a build's compiled kernel).
    search = [PACKAGE_ROOT] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(search), VALDRIX_SIM=os.path.abspath(sim_executable()))
    return subprocess.run([sys.executable, RUN, str(path)], capture_output=True, text=True, cwd=str(cwd), env=env,
                          timeout=timeout)


@pytest.mark.skipif(SLOW, reason="the tutorial's campaigns take minutes on an emulated simulator")
def test_the_tutorial_runs_to_its_end(tmp_path):
    run = run_notebook(TUTORIAL, tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "run-notebook: %s: 9 code cells ran\n" % TUTORIAL
    assert "Debugger warning" not in run.stderr


def test_a_notebook_with_outputs_or_a_failing_cell_is_refused_in_one_line(tmp_path):
    with open(TUTORIAL, encoding="utf-8") as f:
        nb = json.load(f)
    kept = tmp_path / "kept.ipynb"
    nb["cells"][1]["outputs"] = [{"output_type": "stream", "name": "stdout", "text": "hello\n"}]
    kept.write_text(json.dumps(nb))
    run = run_notebook(kept, tmp_path)
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr == ("run-notebook: %s: cell 2 holds outputs; keep notebooks stripped "
                          "(Kernel > Restart & Clear Output)\n" % kept)
    failing = tmp_path / "failing.ipynb"
    cell = {"cell_type": "code", "metadata": {}, "execution_count": None, "outputs": []}
    nb["cells"] = [dict(cell, id="one", source="x = 1"),
                   {"cell_type": "markdown", "id": "two", "metadata": {}, "source": "no code"},
                   dict(cell, id="three", source="import valdrix\nx / 0")]
    failing.write_text(json.dumps(nb))
    run = run_notebook(failing, tmp_path)
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr == "run-notebook: %s: cell 3 failed: ZeroDivisionError: division by zero\n" % failing
    broken = tmp_path / "broken.ipynb"
    broken.write_text('{"cells": 3}')
    run = run_notebook(broken, tmp_path)
    assert run.returncode == 1 and run.stderr == "run-notebook: %s: not a notebook: 'int' object is not iterable\n" \
        % broken
