"""velmora in a Jupyter server: a package, so that its conftest does not take the name of the suite's."""
