#!/usr/bin/env python3
"""Bytes per update on real consecutive releases of real Windows programs.

    bytes_bench.py PUBLISH WORK REPORT

Fetches each release's package from the npm registry (npm pack, cached in
WORK/npm), takes its program (the largest file), publishes the releases of
each package in order into one release folder with the publish command, and
compares what a client on the older release fetches for the newer one
(the delta if the release has it, else the compressed file) with:
  zstd -19 --long=27 --patch-from   the delta floor
  zstd -19 --long=27                the whole file compressed
  bsdiff                            approximate matching, for reference
Targets: the median over patch releases within 1.25 of the patch-from
floor, and every pair within 1.05 of the compressed file. Also the time
publishing takes per release. The table goes to stdout and to REPORT.
"""
import json
import os
import statistics
import subprocess
import sys
import tarfile
import time

PACKAGES = [
    # package, releases in order, and which steps are minor releases
    ("@swc/core-win32-x64-msvc", ["1.16.17", "1.16.18", "1.16.20", "1.16.22"], ["1.15.47", "1.16.0"]),
    ("lightningcss-win32-x64-msvc", ["1.29.0", "1.29.1", "1.29.2", "1.29.3"], ["1.29.3", "1.30.0"]),
    ("@oxlint/win32-x64", ["0.16.7", "0.16.8", "0.16.9", "0.16.10"], ["0.16.12", "0.17.0"]),
]
PATCH_TARGET, WHOLE_TARGET = 1.25, 1.05


def run(args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def program(work, package, version):
    """The package's largest file, extracted once."""
    npm = os.path.join(work, "npm")
    os.makedirs(npm, exist_ok=True)
    name = package.lstrip("@").replace("/", "-") + "-" + version
    out = os.path.join(npm, name + ".bin")
    if os.path.exists(out):
        return out
    packed = run(["npm", "pack", "--silent", package + "@" + version], cwd=npm).stdout.decode().split()[-1]
    with tarfile.open(os.path.join(npm, packed)) as tar:
        largest = max((m for m in tar.getmembers() if m.isfile()), key=lambda m: m.size)
        with tar.extractfile(largest) as src, open(out + ".tmp", "wb") as dst:
            dst.write(src.read())
    os.rename(out + ".tmp", out)
    os.remove(os.path.join(npm, packed))
    return out


def size_of(args):
    return len(run(args).stdout)


def floors(old, new):
    patch = size_of(["zstd", "-q", "-c", "-19", "--long=27", "--patch-from=" + old, new])
    whole = size_of(["zstd", "-q", "-c", "-19", "--long=27", new])
    patch_file = new + ".bsdiff"
    run(["bsdiff", old, new, patch_file])
    bsdiff = os.path.getsize(patch_file)
    os.remove(patch_file)
    return patch, whole, bsdiff


def publish_sequence(publish, work, key, package, versions):
    """Publishes the versions in order; per version: what a client on the one
    before fetches for its program, and how long publishing took."""
    folder = os.path.join(work, "releases", package.lstrip("@").replace("/", "-") + "-" + versions[0])
    run(["rm", "-rf", folder])
    fetched, took = {}, {}
    for v in versions:
        src = os.path.join(work, "from")
        run(["rm", "-rf", src])
        os.makedirs(src)
        os.link(program(work, package, v), os.path.join(src, "program.bin"))
        start = time.monotonic()
        run([publish, "release", "--from", src, "--to", folder, "--product", "Bench", "--version", v,
             "--key", key, "--deltas", "1"])
        took[v] = time.monotonic() - start
        lines = open(os.path.join(folder, "stable.3.manifest")).read().split("\n")
        stored = [l.split() for l in lines[lines.index(next(l for l in lines if l.startswith("stored "))) + 1:] if l]
        whole = [int(s[2]) for s in stored if len(s) == 3][0]
        deltas = [int(s[2]) for s in stored if len(s) == 5]
        fetched[v] = min(deltas) if deltas else whole
    run([publish, "verify", folder, "--public", key[:-4] + ".pub"])
    return fetched, took


def composite(work):
    """An old and a new program of about 100 MiB of real code: the programs
    of each package's releases laid end to end, each followed in the new one
    by its next release."""
    paths = (os.path.join(work, "composite-old.bin"), os.path.join(work, "composite-new.bin"))
    if all(os.path.exists(p) for p in paths):
        return paths
    pairs = []
    for package, patches, minor in PACKAGES:
        pairs += [(package, a, b) for a, b in zip(patches, patches[1:])]
        pairs.append((package, minor[0], minor[1]))
    for path, side in zip(paths, (1, 2)):
        with open(path + ".tmp", "wb") as out:
            for pair in pairs:
                with open(program(work, pair[0], pair[side]), "rb") as f:
                    out.write(f.read())
        os.rename(path + ".tmp", path)
    return paths


def main():
    publish, work, report = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    key = os.path.join(work, "bench.key")
    if not os.path.exists(key):
        run([publish, "keygen", key[:-4]])
    rows, patch_ratios, worst_whole = [], [], 0.0
    for package, patches, minor in PACKAGES:
        for versions, kind in ((patches, "patch"), (minor, "minor")):
            fetched, took = publish_sequence(publish, work, key, package, versions)
            for old, new in zip(versions, versions[1:]):
                a, b = program(work, package, old), program(work, package, new)
                patch, whole, bsdiff = floors(a, b)
                ours = fetched[new]
                if kind == "patch":
                    patch_ratios.append(ours / patch)
                worst_whole = max(worst_whole, ours / whole)
                rows.append((package, old + " -> " + new, kind, os.path.getsize(b), ours, patch, whole,
                             bsdiff, took[new]))
    median = statistics.median(patch_ratios)
    lines = ["| package | release | kind | file | fetched | % of file | patch-from | / patch-from |"
             " zstd -19 | / zstd -19 | bsdiff | publish s |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for p, pair, kind, size, ours, patch, whole, bsdiff, secs in rows:
        lines.append("| %s | %s | %s | %d | %d | %.1f | %d | %.2f | %d | %.2f | %d | %.0f |" % (
            p, pair, kind, size, ours, 100.0 * ours / size, patch, ours / patch, whole, ours / whole,
            bsdiff, secs))
    lines.append("")
    lines.append("median over patch releases, fetched / patch-from: %.2f (target %.2f): %s" % (
        median, PATCH_TARGET, "met" if median <= PATCH_TARGET else "MISSED"))
    lines.append("worst pair, fetched / zstd -19: %.2f (target %.2f): %s" % (
        worst_whole, WHOLE_TARGET, "met" if worst_whole <= WHOLE_TARGET else "MISSED"))
    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    with open(report, "w") as f:
        f.write(text)
    json.dump({"median_patch": median, "worst_whole": worst_whole},
              open(os.path.splitext(report)[0] + ".json", "w"))


if __name__ == "__main__":
    main()
