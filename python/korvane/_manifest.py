"""The manifest of a saved sharded index: what it records, how it is
written so that a crash never leaves a half-written one, and how a
manifest read back is checked before anything trusts it."""

import hashlib
import json
import os
import re

from ._routing import HASH_RULE

MANIFEST_NAME = "manifest.json"
FORMAT_NAME = "korvane-sharded-index"
FORMAT_VERSION = 1
STORES = ("int8", "f32", "none")

# Shard files carry the save's token, so a new save never overwrites the
# files the previous manifest names: a crash mid-save leaves the previous
# save whole, and the files of older saves are removed only once the new
# manifest is in place.
_SHARD_FILE = re.compile(r"shard-(\d{5})-([0-9a-f]{16})\.kvx")
_SHA256 = re.compile(r"[0-9a-f]{64}")


class ManifestError(Exception):
    """Raised by ``check`` with a message naming the offending field."""


def shard_file_name(shard, token):
    return f"shard-{shard:05d}-{token}.kvx"


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def build(settings, shard_records):
    """Manifest text; ``shard_records`` holds (file, length, sha256)."""
    manifest = {
        "format": FORMAT_NAME,
        "format_version": FORMAT_VERSION,
        "shard_count": len(shard_records),
        "hash_rule": HASH_RULE,
        "seed": settings["seed"],
        "store": settings["store"],
        "ef_construction": settings["ef_construction"],
        "shards": [{"file": f, "length": n, "sha256": h}
                   for f, n, h in shard_records],
    }
    return json.dumps(manifest, indent=2) + "\n"


def _require(condition, message):
    if not condition:
        raise ManifestError(message)


def _is_int(value, low, high):
    return type(value) is int and low <= value <= high


def check(text):
    """Parse and check manifest text; returns the manifest as a dict."""
    try:
        m = json.loads(text)
    except ValueError as e:
        raise ManifestError(f"not valid JSON ({e})") from None
    _require(isinstance(m, dict), "not a JSON object")
    _require(m.get("format") == FORMAT_NAME, f"format is not {FORMAT_NAME!r}")
    _require(m.get("format_version") == FORMAT_VERSION,
             f"format_version {m.get('format_version')!r} is not "
             f"{FORMAT_VERSION}")
    _require(m.get("hash_rule") == HASH_RULE,
             f"hash_rule {m.get('hash_rule')!r} is not {HASH_RULE!r}")
    _require(_is_int(m.get("seed"), 0, 2**64 - 1), "seed is not a u64")
    _require(_is_int(m.get("ef_construction"), 1, 2**64 - 1),
             "ef_construction is not a positive integer")
    _require(m.get("store") in STORES, f"store is not one of {STORES}")
    shards = m.get("shards")
    _require(isinstance(shards, list) and len(shards) >= 1,
             "shards is not a non-empty list")
    _require(m.get("shard_count") == len(shards),
             f"shard_count {m.get('shard_count')!r} does not match the "
             f"{len(shards)} shard entries")
    for number, entry in enumerate(shards):
        _check_shard(number, entry)
    names = [entry["file"] for entry in shards]
    _require(len(set(names)) == len(names), "two shards name the same file")
    return m


def _check_shard(number, entry):
    _require(isinstance(entry, dict), f"shard {number} is not an object")
    name = entry.get("file")
    match = _SHARD_FILE.fullmatch(name) if isinstance(name, str) else None
    _require(match is not None and int(match.group(1)) == number,
             f"shard {number}: file name {name!r} is not a shard file name "
             f"of shard {number}")
    _require(_is_int(entry.get("length"), 0, 2**64 - 1),
             f"shard {number}: length is not a non-negative integer")
    sha = entry.get("sha256")
    _require(isinstance(sha, str) and _SHA256.fullmatch(sha) is not None,
             f"shard {number}: sha256 is not 64 lower-case hex digits")


def write_atomically(directory, text):
    """Replace the manifest in one rename, flushed to stable storage, then
    delete shard files that it no longer names. Runs where the files are."""
    target = os.path.join(directory, MANIFEST_NAME)
    temporary = target + f".tmp-{os.getpid()}"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, target)
    _fsync_directory(directory)
    kept = {entry["file"] for entry in json.loads(text)["shards"]}
    for name in os.listdir(directory):
        if _SHARD_FILE.fullmatch(name) and name not in kept:
            os.remove(os.path.join(directory, name))


def _fsync_directory(directory):
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def read(directory):
    """Manifest text of a saved sharded index. Runs where the files are."""
    with open(os.path.join(directory, MANIFEST_NAME), encoding="utf-8") as f:
        return f.read()
