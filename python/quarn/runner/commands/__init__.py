"""The command lines of the runner."""
