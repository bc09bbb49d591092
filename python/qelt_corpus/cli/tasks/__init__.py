"""The work done on Dask workers, one module per subcommand. Each task returns a small
summary for the client; the documents and their ends never leave the worker."""
