#!/usr/bin/env python3
"""Audits what launchers (runtimes, build tools, wrappers, inits) hand their
children, with zelk_test_helper as the child.

usage: launch_audit.py [--helper PATH] [--states clean,inherited,pipe] [--format table|json|tap|junit]
                       [--expect FILE] [--only ID,...] [--list] [--catalogue FILE] LAUNCHER...
"""

import os
import sys

HERE = os.path.dirname(os.path.realpath(__file__))
# The package lies beside this script in the source tree, and under
# share/zelk_test_helper once installed as bin/zelk-launch-audit.
for place in (HERE, os.path.join(HERE, os.pardir, "share", "zelk_test_helper")):
    if os.path.isdir(os.path.join(place, "zelk_audit")):
        sys.path.insert(0, place)
        break

from zelk_audit.launchers.audit import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:], os.path.abspath(__file__)))
