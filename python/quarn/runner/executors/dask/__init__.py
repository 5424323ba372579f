"""Running the jobs on a Dask cluster: backend, cluster, start-up probes, the task of a job,
and the warm templates a worker forks them from."""
