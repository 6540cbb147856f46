# SPDX-License-Identifier: Apache-2.0
"""What the benchmark scripts share: child processes that cannot outlive the script, waiting
for them within a deadline with their CPU time, and reading looptest_load's figures."""

import ctypes
import os
import re
import signal
import subprocess
import sys
import time

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # A child killed with the script (even by SIGKILL) would otherwise keep its ports and run on.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class Child:
    """A child process whose CPU time (user + system, its own waited-for children included)
    is known once it has been waited for."""

    def __init__(self, argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL):
        self.argv = argv
        self.proc = subprocess.Popen(argv, stdout=stdout, stderr=stderr,
                                     preexec_fn=_die_with_parent)
        self.status = None
        self.cpu = 0.0

    def poll(self):
        if self.status is None:
            pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid == self.proc.pid:
                self._reaped(status, usage)
        return self.status

    def _reaped(self, status, usage):
        self.status = os.waitstatus_to_exitcode(status)
        self.proc.returncode = self.status  # keeps Popen from waiting again
        self.cpu = usage.ru_utime + usage.ru_stime

    def kill(self):
        if self.status is None:
            self.proc.kill()
            _, status, usage = os.wait4(self.proc.pid, 0)
            self._reaped(status, usage)

    def terminate(self, limit=10.0):
        """SIGTERM, then SIGKILL if it has not ended within the limit."""
        if self.status is None:
            self.proc.terminate()
            wait_all([self], limit)


def wait_all(children, limit):
    """Waits for every child for at most `limit` seconds; kills those still running then.
    True when all ended on their own."""
    deadline = time.monotonic() + limit
    while any(c.poll() is None for c in children):
        if time.monotonic() > deadline:
            for c in children:
                c.kill()
            return False
        time.sleep(0.1)
    return True


def kill_all(children):
    for c in children:
        c.kill()


_NUMBER = re.compile(r"-?\d+(?:\.\d+)?")


def parse_looptest_load(text):
    """looptest_load's report (a 30-column label, then its figures) as a dict of the figures
    the scripts compare; missing lines raise ValueError naming them."""
    lines = {line[:30].strip(): [float(x) for x in _NUMBER.findall(line[30:])]
             for line in text.splitlines() if len(line) > 30}
    try:
        return {
            "fps_mean": lines["frames per second per test"][0],
            "fps_min": lines["frames per second per test"][1],
            "fps_max": lines["frames per second per test"][2],
            "late_mean_us": lines["send lateness mean"][0],
            "late_p99_us": lines["send lateness p99"][0],
            "late_max_us": lines["send lateness max"][0],
            "sent": int(lines["frames sent / echoed back"][0]),
            "echoed": int(lines["frames sent / echoed back"][1]),
            "lost": int(lines["frames lost (tool's count)"][0]),
            "not_echoed": int(lines["frames not echoed (any cause)"][0]),
            "cpu_ms_per_1000": lines["CPU seconds per 1000 frames"][0] * 1000,
            "phone_cpu_ms_per_1000": lines["phones: CPU s per 1000 frames"][0] * 1000,
        }
    except (KeyError, IndexError) as e:
        raise ValueError(f"looptest_load printed no figure for {e}") from None


def percentile(sorted_values, fraction):
    """The same nearest-rank rule as looptest_load: the value at floor(fraction * (n - 1))."""
    if not sorted_values:
        return float("nan")
    return sorted_values[int(fraction * (len(sorted_values) - 1))]


def require_root():
    if os.geteuid() != 0:
        sys.exit("needs root: the simulated phones bind ports 7 and 161 "
                 "(run it in a network namespace of its own, see the README)")


def find_tool(build, name):
    path = os.path.join(build, "bench", name)
    if not os.access(path, os.X_OK):
        sys.exit(f"{path} is missing: build it first (cmake --build {build} --target {name})")
    return path


def repo_root():
    return os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
