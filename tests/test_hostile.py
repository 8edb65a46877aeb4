"""Hostile host objects against every function, each function's cases in a subprocess.

tests/hostile_runner.py derives the cases from the representative calls of
hardening_cases.py; this file runs them in a child interpreter (with the
debug memory allocator unless the sanitizers are loaded) so that a crash is
reported as the failing case instead of ending the test run. After a crash
the remaining cases run in a new child.
"""
import os
import subprocess
import sys

import pytest

import hardening_cases as hc
import lorvex_native as ln

RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hostile_runner.py")


def run_child(name, start):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(ln.__file__))] + [p for p in [env.get("PYTHONPATH")] if p])
    if "libasan" not in env.get("LD_PRELOAD", ""):
        env["PYTHONMALLOC"] = "debug"
    try:
        proc = subprocess.run([sys.executable, "-X", "faulthandler", RUNNER, name, str(start)], env=env,
                              capture_output=True, text=True, timeout=300)
        return proc.returncode, proc.stdout, proc.stderr
    except subprocess.TimeoutExpired as exc:
        out = exc.stdout.decode() if isinstance(exc.stdout, bytes) else (exc.stdout or "")
        return "timeout", out, ""


@pytest.mark.parametrize("name", list(hc.CALLS))
def test_hostile_objects(name):
    if name not in hc.available():
        pytest.skip(f"{name} is not in the module yet")
    failures, start, total, done = [], 0, None, False
    while not done and len(failures) < 20:
        code, out, err = run_child(name, start)
        current = None
        for line in out.splitlines():
            word, _, rest = line.partition(" ")
            if word == "TOTAL":
                total = int(rest)
            elif word == "START":
                current = rest
            elif word == "OK":
                current = None
            elif word == "FAIL":
                failures.append(f"{current}: {rest.partition(' ')[2]}")
                current = None
            elif word == "DONE":
                done = True
        if done:
            break
        if current is None:
            failures.append(f"child ended without a case running (exit {code}): {err[-2000:]}")
            break
        failures.append(f"{current}: CRASH (exit {code})\n{err[-3000:]}")
        start = int(current.split()[0]) + 1
    assert total, "no cases ran"
    assert not failures, f"{len(failures)} of {total} hostile cases failed:\n" + "\n".join(failures)
