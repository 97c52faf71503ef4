"""Inputs and outputs named by URI (s3://bucket/prefix/, gs://..., anything
pyarrow's filesystems or fsspec know), beside local paths.

A store is configured by its own standard environment and config files
(for S3: AWS_ENDPOINT_URL, the keys, the region, profiles), in the main
process and in every worker alike: a worker opens the store itself and reads
only its own row groups. An output goes up as one object once it is complete.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from functools import lru_cache
from pathlib import PurePosixPath

import pyarrow as pa
import pyarrow.fs as pafs

from .errors import InputError
from .uris import URI, is_uri


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split())


@lru_cache(maxsize=None)
def _filesystem(root: str) -> pafs.FileSystem | None:
    """pyarrow's filesystem for a scheme and bucket (or host), one per process;
    None where pyarrow does not know the scheme."""
    # pyarrow leaves out the standard variables for an S3-compatible store's address.
    endpoint = os.environ.get("AWS_ENDPOINT_URL_S3") or os.environ.get("AWS_ENDPOINT_URL")
    if root.startswith("s3://") and endpoint:
        return pafs.S3FileSystem(endpoint_override=endpoint)
    try:
        return pafs.FileSystem.from_uri(root)[0]
    except pa.ArrowInvalid as error:
        if "Unrecognized filesystem type" in str(error):
            return None
        raise


def resolve(uri: str) -> tuple[pafs.FileSystem, str]:
    """The store holding a URI, and the path within it."""
    match = URI.match(uri)
    assert match is not None, uri
    try:
        filesystem = _filesystem(match.group(0))
        if filesystem is not None:
            return filesystem, uri[len(match.group(1)) + 3:].split("?", 1)[0]
        try:
            from fsspec.core import url_to_fs
        except ImportError:
            raise InputError(f"{uri}: unknown kind of store (fsspec may know it)") from None
        store, path = url_to_fs(uri)
        return pafs.PyFileSystem(pafs.FSSpecHandler(store)), path
    except (OSError, ImportError, ValueError, pa.ArrowException) as error:
        raise InputError(f"{uri}: {one_line(error)}") from None


def info(uri: str) -> tuple[pafs.FileSystem, str, pafs.FileInfo]:
    filesystem, path = resolve(uri)
    try:
        return filesystem, path, filesystem.get_file_info(path)
    except (OSError, pa.ArrowException) as error:
        raise InputError(f"{uri}: {one_line(error)}") from None


def find_files(uri: str, wanted: Callable[[PurePosixPath], bool]) -> list[str]:
    """The URI itself if it names an object, or the wanted objects under it as a prefix."""
    filesystem, path, found = info(uri)
    if found.type == pafs.FileType.File:
        return [uri]
    if found.type == pafs.FileType.NotFound:
        raise InputError(f"{uri}: no such object or prefix")
    base = uri.rstrip("/")
    try:
        under = filesystem.get_file_info(pafs.FileSelector(path.rstrip("/"), recursive=True))
    except (OSError, pa.ArrowException) as error:
        raise InputError(f"{uri}: {one_line(error)}") from None
    files = []
    for entry in under:
        relative = PurePosixPath(entry.path).relative_to(PurePosixPath(path.rstrip("/") or "/"))
        if entry.type == pafs.FileType.File and wanted(relative):
            files.append(f"{base}/{relative}")
    if not files:
        raise InputError(f"{uri}: no Parquet or JSON Lines files under this prefix")
    return files


def located(name: str) -> tuple[str, pafs.FileSystem | None]:
    """A file's path and the store that holds it; no store for a local path."""
    if not is_uri(name):
        return name, None
    filesystem, path = resolve(name)
    return path, filesystem


def check_object_target(uri: str) -> None:
    """Fails before any work when the store cannot take an object there."""
    filesystem, path, found = info(uri)
    if found.type == pafs.FileType.Directory:
        raise InputError(f"{uri}: is a prefix holding objects, not an object")
    bucket, _, key = path.partition("/")
    if bucket and key:  # a bucket must exist; prefixes below it need not
        try:
            found = filesystem.get_file_info(bucket)
        except (OSError, pa.ArrowException) as error:
            raise InputError(f"{uri}: {one_line(error)}") from None
        if found.type == pafs.FileType.NotFound:
            raise InputError(f"{uri}: no such bucket: {bucket}")


def upload(uri: str, data: bytes | memoryview) -> None:
    """The data as one object: a store shows it complete or not at all."""
    filesystem, path = resolve(uri)
    try:
        with filesystem.open_output_stream(path) as out:
            out.write(data)
    except (OSError, pa.ArrowException) as error:
        raise InputError(f"{uri}: cannot write it: {one_line(error)}") from None
