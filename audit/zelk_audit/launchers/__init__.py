"""The launcher audit: what runtimes, build tools, wrappers and inits hand
their children, in both directions."""
