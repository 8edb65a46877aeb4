"""Inputs that once made a fuzz target fail, replayed through the same target (fuzz/fuzz_targets.py).

Each target runs in a child interpreter, so that an input that crashes the
module fails its test instead of ending the run. Add a failing input as
tests/fuzz_regressions/<target>/<short description>.
"""
import os
import subprocess
import sys

import pytest

import lorvex_native as ln

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = os.path.join(HERE, "fuzz_regressions")
FUZZ = os.path.join(os.path.dirname(HERE), "fuzz")

SCRIPT = """
import os, sys, fuzz_targets
if not fuzz_targets.available(sys.argv[1]):
    print("SKIP"); sys.exit(0)
fn = fuzz_targets.target(sys.argv[1])
for path in sys.argv[2:]:
    print("INPUT", os.path.basename(path), flush=True)
    fn(open(path, "rb").read())
print("DONE")
"""


@pytest.mark.parametrize("target", sorted(os.listdir(CASES)) if os.path.isdir(CASES) else [])
def test_fuzz_regressions(target):
    files = sorted(os.path.join(CASES, target, f) for f in os.listdir(os.path.join(CASES, target)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [FUZZ, os.path.dirname(os.path.abspath(ln.__file__))] + [p for p in [env.get("PYTHONPATH")] if p])
    proc = subprocess.run([sys.executable, "-c", SCRIPT, target, *files], env=env, capture_output=True, text=True,
                          timeout=300)
    if proc.stdout.strip() == "SKIP":
        pytest.skip(f"the module does not offer every decoder of {target} yet")
    last = [line for line in proc.stdout.splitlines() if line.startswith("INPUT")][-1:]
    assert proc.returncode == 0 and proc.stdout.rstrip().endswith("DONE"), (
        f"{last} (exit {proc.returncode}):\n{proc.stderr[-3000:]}")
