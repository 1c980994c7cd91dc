"""Request handlers of the velmora API."""
