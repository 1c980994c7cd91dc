"""`python -m velmora.server`: run the standalone server."""
import sys

from .app import main

if __name__ == "__main__":
    sys.exit(main())
