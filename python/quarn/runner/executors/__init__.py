"""Running planned jobs: worker processes, inputs, and why a job failed."""
