"""The samples, axes and metadata of a document as an uncompressed .npz file. Needs numpy."""

from __future__ import annotations

import os
import zipfile
from typing import TYPE_CHECKING, Any, BinaryIO

import numpy as np

from ..arrays.samples import to_numpy
from ..reading.files import VornFile
from ..reading.files import open as open_file
from .json import to_json

if TYPE_CHECKING:
    from collections.abc import Callable
    from pathlib import Path

    from numpy.typing import NDArray
    from vorn_parser import VornDataFile


def save_npz(document: VornDataFile | VornFile, file: str | os.PathLike[str] | BinaryIO) -> None:
    """Writes the samples, axes and metadata of a document to an uncompressed .npz file.

    Arrays: "data" (complex, shaped like the sections), "data_mixed" (four-section Two_D
    only), "x_axis" and for Two_D "y_axis"; "metadata_json" is a 0-d string array
    holding the rest of the document ("headers", "parameters", "info") as JSON.
    """
    metadata: dict[str, object]
    if isinstance(document, VornFile):
        arrays = document.to_numpy()
        metadata = {"headers": document.headers, "parameters": document.parameters, "info": document.info}
    else:
        arrays = to_numpy(document)
        metadata = {key: value for key, value in document.items() if key != "data"}
    content: dict[str, NDArray[Any]] = {"data": arrays.values, "x_axis": arrays.axes[0].values}
    if len(arrays.axes) > 1:
        content["y_axis"] = arrays.axes[1].values
    if arrays.mixed is not None:
        content["data_mixed"] = arrays.mixed
    content["metadata_json"] = np.array(to_json(metadata))
    # Every key is an array name; none is one of savez's own keyword arguments.
    np.savez(file, **content)  # type: ignore[arg-type]


def prepare(source: str) -> Callable[[BinaryIO], None]:
    """The .npz output of a folder conversion: the samples are decoded straight into
    arrays (no Python float each) when it is written; a data failure leaves no output."""
    opened = open_file(source)

    def write(file: BinaryIO) -> None:
        save_npz(opened, file)

    return write


def is_output(path: Path) -> bool:
    """An .npz holding the document's samples and metadata."""
    try:
        with zipfile.ZipFile(path) as archive:
            names = set(archive.namelist())
    except (OSError, zipfile.BadZipFile, ValueError):
        return False
    return {"data.npy", "metadata_json.npy"} <= names
