"""Archive runs: a folder of data files converted in a pool of processes (pool), with
planned, never-destroying outputs (batch, dataset_files), as a Parquet dataset, or as
Dask collections (dask)."""
