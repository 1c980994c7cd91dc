"""The interpreted handler modules under the names the tests and benchmarks use.

They ship in the package as its fallback; `twins.hostfacts` and
`twins.groundwork` are those very module objects, so that a test that replaces
a module global changes what the methods read.
"""
