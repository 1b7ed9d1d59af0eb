"""Reading: `open` and `VornFile` (files), whole documents read quietly and the bundled
examples (documents), and the one exception of vorn_tools (errors). Everything reads
through the native module `vorn_tools._native`."""
