"""`python -m velmora.server`: a Jupyter server with velmora alone."""
from .app import main

if __name__ == "__main__":
    main()
