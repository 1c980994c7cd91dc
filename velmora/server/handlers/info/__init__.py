"""The server-information endpoint."""
