"""Parses one data file and prints a short account of what was read."""

import sys

import vorn_parser


def main(path: str) -> int:
    try:
        result = vorn_parser.parse(path)
    except BaseException as exc:  # a failed parse raises vorn_parser's ParseFailure
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        print(f"{path}: {exc}", file=sys.stderr)
        return 1
    headers, info, data = result["headers"], result["info"], result["data"]
    print(f"file:        {path}")
    print(f"title:       {headers['title']}")
    print(f"layout:      {headers['dataFormat']}, {headers['dataType']}, {headers['endian']}")
    print(f"points:      {info['dataPoints']}")
    print(f"experiment:  {info['experiment']}   sample: {info['sampleName']}   solvent: {info['solvent']}")
    print(f"nucleus:     {info['nucleus']}")
    widths = ", ".join(f"{w['magnitude']:g} {w['unit']}" for w in info["spectralWidth"])
    print(f"sweep:       {widths}")
    print(f"scans:       {info['numberOfScans']}")
    print(f"filter:      {info['digitalFilter']}")
    print(f"parameters:  {len(result['parameters']['paramArray'])}")
    for name in ("re", "im"):
        field = data[name]
        rows = field if isinstance(field, list) else field["im"]
        print(f"data[{name!r}]: {len(rows)} row(s) of {len(rows[0]) if rows else 0} samples")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "examples/one_d.vdf"))
