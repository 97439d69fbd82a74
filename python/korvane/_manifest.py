"""The manifest of a saved sharded index: what it records, how it is
written so that a crash never leaves a half-written one, and how a
manifest read back is checked before anything trusts it."""

import fcntl
import hashlib
import json
import os
import re

from ._routing import HASH_RULE

MANIFEST_NAME = "manifest.json"
FORMAT_NAME = "korvane-sharded-index"
FORMAT_VERSION = 1
STORES = ("int8", "f32", "none")
METRICS = ("ip", "cosine", "l2")
MAX_DIM = 4096
# Saves made before indexes had other shapes record neither field; theirs
# is this one.
DEFAULT_SHAPE = {"dim": 256, "metric": "ip"}

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
        "dim": settings["dim"],
        "metric": settings["metric"],
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
    _require(_is_int(m.get("ef_construction"), 0, 2**64 - 1),
             "ef_construction is not a u64")
    _require(m.get("store") in STORES, f"store is not one of {STORES}")
    for key, value in DEFAULT_SHAPE.items():
        m.setdefault(key, value)
    _require(_is_int(m["dim"], 1, MAX_DIM), f"dim is not an integer in 1 .. {MAX_DIM}")
    _require(isinstance(m["metric"], str) and m["metric"] in METRICS,
             f"metric is not one of {METRICS}")
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
    delete the shard files of older saves. Runs where the files are.

    Saves from other processes may interleave with this one, so the steps
    run under an exclusive lock on the directory, and the manifest is only
    replaced by one whose shard files all exist: whatever the interleaving,
    the manifest on disk names files that are there. Files are deleted only
    if the manifest being replaced named them, or if they are older than
    it (left by a save that failed or crashed before it); the files of a
    save still in progress are newer and stay."""
    new_files = {entry["file"] for entry in json.loads(text)["shards"]}
    target = os.path.join(directory, MANIFEST_NAME)
    with _locked(directory):
        missing = sorted(name for name in new_files
                         if not os.path.isfile(os.path.join(directory, name)))
        if missing:
            raise FileNotFoundError(
                f"{directory}: shard files {missing} of this save were "
                f"deleted before its manifest was written (by another save "
                f"of the same directory); the previous save is kept")
        old_files, old_time = _previous_save(target)
        temporary = target + f".tmp-{os.getpid()}-{os.urandom(4).hex()}"
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        _fsync_directory(directory)  # the shard files' renames first
        os.replace(temporary, target)
        _fsync_directory(directory)
        for name in os.listdir(directory):
            if not _SHARD_FILE.fullmatch(name) or name in new_files:
                continue
            path = os.path.join(directory, name)
            try:
                if name in old_files or os.stat(path).st_mtime < old_time:
                    os.remove(path)
            except FileNotFoundError:
                pass


def remove_files_of_save(directory, token):
    """Deletes what a failed save wrote (shard files carrying its token),
    unless its manifest went in after all (the client stopped waiting)."""
    with _locked(directory):
        current, _ = _previous_save(os.path.join(directory, MANIFEST_NAME))
        if any(_SHARD_FILE.fullmatch(name).group(2) == token
               for name in current):
            return
        for name in os.listdir(directory):
            match = _SHARD_FILE.fullmatch(name)
            if match and match.group(2) == token:
                try:
                    os.remove(os.path.join(directory, name))
                except FileNotFoundError:
                    pass


class _locked:
    """An exclusive lock on a directory, across threads and processes."""

    def __init__(self, directory):
        self.directory = directory

    def __enter__(self):
        self.fd = os.open(self.directory, os.O_RDONLY | os.O_DIRECTORY)
        fcntl.flock(self.fd, fcntl.LOCK_EX)

    def __exit__(self, *exc):
        os.close(self.fd)  # releases the lock


def _previous_save(target):
    """The shard files the current manifest names and its modification
    time; nothing and 0 when there is none or it cannot be read."""
    try:
        old_time = os.stat(target).st_mtime
        with open(target, encoding="utf-8") as f:
            return {entry["file"] for entry in check(f.read())["shards"]}, old_time
    except (OSError, ManifestError):
        return set(), 0.0


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
