"""The Python API of the runner: reading values back (`quarn.load`), running a pipeline."""
