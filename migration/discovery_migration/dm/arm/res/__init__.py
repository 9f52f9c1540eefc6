"""Process-wide context and resource helpers."""
