#!/usr/bin/env python3
"""Puts POSIX shells through job-control and hand-down checks, with
zelk_test_helper as the child that reports what each shell gave it.

usage: shell_audit.py [--helper PATH] [--format table|json|tap|junit]
                      [--only ID,...] [--expect FILE] [--list] SHELL...
"""

import os
import sys

HERE = os.path.dirname(os.path.realpath(__file__))
# The package lies beside this script in the source tree, and under
# share/zelk_test_helper once installed as bin/zelk-shell-audit.
for place in (HERE, os.path.join(HERE, os.pardir, "share", "zelk_test_helper")):
    if os.path.isdir(os.path.join(place, "zelk_audit")):
        sys.path.insert(0, place)
        break

from zelk_audit.shells.audit import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:], os.path.abspath(__file__)))
