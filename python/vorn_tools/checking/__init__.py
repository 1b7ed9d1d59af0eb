"""Checking: validation reports of data files (report), the verdicts and findings the
core's checker gives, for `vorn_tools.check` and `vorn check`."""
