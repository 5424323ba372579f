"""The runner: discovers assets, checks their graph, plans jobs and runs them.

Its layers, each importing only from those below it (checked by `make lint`):

- `commands/`: the command lines, one file per `quarn` subcommand.
- `api/`: the Python API: the run's flow (`flow`, which `quarn run` prints),
  `quarn.materialize` and its result, `quarn.load`.
- `executors/`: discovery (`discovery.discover`), the run's transitions (`transitions`,
  pure: what follows a job's start and end) and the backends that run jobs.
- `report/`: what a person sees: progress, summary, states as words, pictures, the page.
- `job/`: the job worker, one job from its spec.
- `trace/`: what a job is seen to use while it runs, recorded in its process, and that
  record compared with what is there now.
- `plan/`: selection, run parameters, jobs, their versions, and every job's assessment over
  the graph.
- `graph/`: the asset graph (inputs that take other keys of a dimension included) and its
  checks; it imports neither `store/` nor `report/`.
- `state/`: the one model of a job's state and why (facts in, decisions out).
- `store/`: what an output directory holds, read and written; input and output only.
- the base: `contract` (what the runner and the core agree on), `config` (the project
  file), `canonical`, `text`, `project`, `inputs` (what a result was computed from, and
  whether it is still so: reused results rest on it).
"""
