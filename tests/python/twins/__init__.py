"""The interpreted handler modules under the names the tests and benchmarks use.

They are the package's handler modules run from their .py files (loaded under
names of their own where the compiled modules hold the real ones);
`twins.hostfacts` and `twins.groundwork` are those very module objects, so that
a test that replaces a module global changes what the methods read.
"""
