"""What an output directory holds: the job folders and the manifest."""
