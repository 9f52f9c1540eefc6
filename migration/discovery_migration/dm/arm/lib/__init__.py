"""Azure helper functions."""
