"""Azure side of the migration tool."""
