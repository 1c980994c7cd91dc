"""Interpreted twins of the compiled handler modules, for tests and benchmarks."""
