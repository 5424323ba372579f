"""What state a job is in, and why: the one answer every command, view and `quarn.load` gives.

- `words`: the vocabularies: a job's states, the actions a run takes, the named reasons a job
  is not current, and how a job's run ended.
- `assess`: the decision itself, facts in and state out, reading no file.
"""
