"""Start the benchmark's fresh-process samples from a small process.

On Linux a child's ru_maxrss starts at its parent's resident-set high-water
mark (it survives fork and exec), so children of the runner, which holds
large results by then, would all report the runner's peak. This process is
started at the beginning of the run, while the runner is still small, and
stays small: it reads one JSON list (an argv) per line on stdin, runs it, and
answers with one JSON line {"rc", "stdout", "stderr"}.
"""

import json
import subprocess
import sys


def main():
    for line in sys.stdin:
        if not line.strip():
            continue
        argv = json.loads(line)
        try:
            res = subprocess.run(argv, capture_output=True, text=True)
            out = {"rc": res.returncode, "stdout": res.stdout, "stderr": res.stderr}
        except OSError as e:
            out = {"rc": 127, "stdout": "", "stderr": str(e)}
        sys.stdout.write(json.dumps(out) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
