"""Support for tests, benchmarks and examples, as numpy.testing is for numpy:
`vdf_writer` writes data files of this format byte by byte (standard library only),
`synthetic_fids` makes free-induction decays of known lines with it (needs numpy).

    from vorn_tools.testing.vdf_writer import build_file, standard_params
"""
