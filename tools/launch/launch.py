# SPDX-License-Identifier: MIT
import os, signal, subprocess, sys
r = subprocess.run(sys.argv[1:])
if r.returncode < 0:
    signal.signal(-r.returncode, signal.SIG_DFL)
    os.kill(os.getpid(), -r.returncode)
sys.exit(r.returncode)
