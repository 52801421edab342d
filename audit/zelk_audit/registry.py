"""Each audit's checks, declared once each with an id, a kind and a rule. A
check's id is its name in every report and expectation, so the registry
refuses an id it already holds."""

import collections

JUDGED, REPORTED = "judged", "reported"
Check = collections.namedtuple("Check", "id kind rule note judge")


class Registry:
    def __init__(self):
        self.checks = []  # in the order they run and are shown

    def declare(self, check_id, kind, rule, judge, note=""):
        if any(c.id == check_id for c in self.checks):
            raise ValueError("the check id %r is declared twice" % check_id)
        if kind not in (JUDGED, REPORTED):
            raise ValueError("the check %r has no kind %r" % (check_id, kind))
        self.checks.append(Check(check_id, kind, rule, note, judge))

    def ids(self):
        return [c.id for c in self.checks]

    def get(self, check_id):
        return next(c for c in self.checks if c.id == check_id)

    def listing(self):
        return "".join("%s (%s%s): %s\n" % (c.id, c.kind, ", " + c.note if c.note else "", c.rule)
                       for c in self.checks)
