"""The runner: discovers assets, checks their graph, plans jobs and runs them.

- `contract`: what the runner and the native core agree on (files, records, commands).
- `graph/`: the asset graph and its checks (it imports neither `store/` nor `report/`).
- `plan/`: selection, jobs and their versions.
- `executors/`: discovery, where the jobs will run (`discovery.discover`), and running them.
- `store/`: what an output directory holds.
- `report/`: what a person sees.
- `commands/`: the command lines.
"""
