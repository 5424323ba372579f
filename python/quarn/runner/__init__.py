"""The runner: discovers assets, checks their graph, plans jobs and runs them.

- `contract`: what the runner and the native core agree on (files, records, commands).
- `graph/`: discovery, the asset graph and its checks.
- `plan/`: selection, jobs and their versions.
- `executors/`: running the jobs.
- `store/`: what an output directory holds.
- `report/`: what a person sees.
- `commands/`: the command lines.
"""
