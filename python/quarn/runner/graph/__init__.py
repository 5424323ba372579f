"""Discovery, the asset graph built from it, and the checks run before anything runs."""
