"""Warm workers: a template process that imports once and forks one child per job."""
