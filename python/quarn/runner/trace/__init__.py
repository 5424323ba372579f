"""Dependencies seen while a job runs: the project code that ran, the files it read, the
environment variables it read, and the bytes of each upstream value it consumed.

- `units`, `parse`: the named pieces of a source (functions, methods, class and module
  bodies) and the digest of each, normalized as the static code version hashes code.
- `record`: the recording inside the job's process (and the warm template's imports);
  `folders`: the folders the import system searched while discovery imported, for a
  discovery remembered.
- `settle`, `cache`: what was seen turned into the job's record, with the digests kept
  between processes.
- `deps`: the record's comparison with what is observed now, and its sharing between jobs
  (pure).
- `observe`: what is observed now, read cheaply (a stat cache for files, parsed sources by
  digest).

Layer: between `job` (whose worker records) and `plan` (whose planning compares, through
the hook `plan.freshness.Dependencies`); `parse` reads sources with the static code
version's normalization, so both count code alike.
"""
