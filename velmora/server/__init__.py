"""Server side of velmora: the handlers, the facts they report, and the Jupyter extension application."""
