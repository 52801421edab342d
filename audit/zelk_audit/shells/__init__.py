"""The shell audit: POSIX shells through job-control and hand-down checks."""
