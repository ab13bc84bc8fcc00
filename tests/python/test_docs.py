"""The examples of docs/python.md and the README's Python quick start, run
as they are written: an example is the fenced block after a line
`<!-- example: NAME -->`."""

import os
import re
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR, SOURCE_DIR, child_env


def example(page, name):
    text = open(os.path.join(SOURCE_DIR, page)).read()
    match = re.search(r"^<!-- example: %s -->\n```\w*\n(.*?)^```" % re.escape(name), text, re.S | re.M)
    assert match, "no example %s in %s" % (name, page)
    return match.group(1)


def run(command, folder, timeout=90, **options):
    done = subprocess.run(command, cwd=str(folder), capture_output=True, text=True, timeout=timeout,
                          env=child_env(), **options)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_fleet(tmp_path):
    out = run([sys.executable, "-c", example("docs/python.md", "fleet")], tmp_path)
    batteries = sorted(int(line.split("battery")[1].split("%")[0]) for line in out.splitlines())
    assert batteries == [42, 80, 80], out


def test_paced_run(tmp_path):
    out = run([sys.executable, "-c", example("docs/python.md", "paced-run")], tmp_path)
    assert "stop confirmed: True after 1 attempt(s)" in out, out
    final = re.search(r"(\d+) poses, final \((-?\d+) mm, (-?\d+) mm, (-?\d+) deg\)", out)
    assert final, out
    poses, x, y, heading = map(int, final.groups())
    # A pose every 50 ms (fewer on a loaded machine) along a circle of
    # 400 mm radius around (0, 400), nearly a quarter of it.
    assert 10 <= poses <= 62 and 70 <= heading <= 95, out
    assert abs(((x ** 2 + (y - 400) ** 2) ** 0.5) - 400) < 20, out
    assert len((tmp_path / "run.csv").read_text().splitlines()) == poses


def test_own_test(tmp_path):
    (tmp_path / "test_charging.py").write_text(example("docs/python.md", "own-test"))
    out = run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_charging.py"], tmp_path)
    assert "3 passed" in out, out


def test_readme_quick_start(simulator, tmp_path):
    text = example("README.md", "quick-start-python")
    text = text.replace("tcp://127.0.0.1:11331", simulator.uri).replace("build/python", PYTHON_DIR)
    text = re.sub(r"\bpython3 ", sys.executable + " ", text)
    out = run(["bash", "-c", text], tmp_path)
    assert out.startswith("Status(battery_percent=80, charging='cable'"), out
