"""Exports: one module per output format (json, npz, jcamp, parquet, plot), each turning
one file into bytes, and the atomic writes every output goes through (atomic)."""
