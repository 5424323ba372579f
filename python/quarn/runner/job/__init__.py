"""The runner's job worker: materializes one job from a job spec (`python -m quarn.runner.job`).

Nothing is imported here: the command imports the standard modules it needs before the
project's folders go on the import path (see `__main__`).
"""
