"""Migration tool: cloud-independent services and the per-cloud packages."""
