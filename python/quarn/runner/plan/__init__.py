"""What a run plans: selected assets, their jobs, and which jobs are stale."""
