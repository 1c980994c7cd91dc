"""The pipeline-import endpoint."""
