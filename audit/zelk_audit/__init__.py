"""Puts POSIX shells through job-control and hand-down checks, with
zelk_test_helper as the child that reports what each shell gave it."""
