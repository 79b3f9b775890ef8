#!/usr/bin/env python3
"""Builds the release files a second time and checks they are the same bytes as this build's.

The second build is made the way a second person would make it: from a fresh clone of the same
commit (with the same uncommitted changes on top, so that a work in progress compares too), in
other folders (laid out alike), at another time (faketime, a couple of days on), without the
compiler cache (which would hand back this build's objects). Then every file named must be byte for byte the same, and
neither build's files may hold the path of its source or build folder. Where the build names its
commit (the About line), it must name the commit it was built from.

Prints the SHA-256 of each file of both builds. Exits non-zero naming every fault; the second
build's folder is kept then, for a look.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile


def run(command, **kwargs):
    print("$ " + " ".join(command), flush=True)
    subprocess.run(command, check=True, **kwargs)


def git(source, *args):
    return subprocess.run(["git", "-C", source, *args], check=True, capture_output=True,
                          text=True).stdout


def clone(source, target):
    """A clone of source's commit, with its uncommitted changes and new files copied on top."""
    head = git(source, "rev-parse", "HEAD").strip()
    run(["git", "clone", "--quiet", "--shared", "--no-checkout", source, target])
    run(["git", "-C", target, "checkout", "--quiet", "--detach", head])
    changed = git(source, "ls-files", "-z", "--modified", "--others", "--exclude-standard")
    deleted = set(git(source, "ls-files", "-z", "--deleted").split("\0")) - {""}
    for name in set(changed.split("\0")) - {""} - deleted:
        os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
        shutil.copy2(os.path.join(source, name), os.path.join(target, name))
    for name in deleted:
        os.remove(os.path.join(target, name))
    return head


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def first_difference(a, b):
    with open(a, "rb") as f, open(b, "rb") as g:
        x, y = f.read(), g.read()
    for i, (p, q) in enumerate(zip(x, y)):
        if p != q:
            return i
    return min(len(x), len(y))


def held_paths(path, folders):
    """The folders whose path the file holds, as UTF-8 or UTF-16 text."""
    with open(path, "rb") as f:
        data = f.read()
    return [folder for folder in folders
            if folder.encode() in data or folder.encode("utf-16-le") in data]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True, help="the build folder to compare with")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--cmake-arg", action="append", default=[],
                        help="configures the second build (paths relative to the source)")
    parser.add_argument("--target", action="append", required=True)
    parser.add_argument("--file", action="append", required=True,
                        help="a file to compare, relative to the build folder")
    parser.add_argument("--about", help="a file that must name the commit (relative, as --file)")
    parser.add_argument("--faketime", default="+2d")
    args = parser.parse_args()
    source, build = os.path.realpath(args.source), os.path.realpath(args.build)
    faults = []

    work = tempfile.mkdtemp(prefix="dalvento-rebuild-")
    other_source = os.path.join(work, "elsewhere", "dalvento-src")
    # In the same place relative to its source: paths are recorded relative to the build.
    other_build = os.path.normpath(os.path.join(other_source, os.path.relpath(build, source)))
    env = {k: v for k, v in os.environ.items() if not k.endswith("_COMPILER_LAUNCHER")}
    env["CCACHE_DISABLE"] = "1"
    try:
        head = clone(source, other_source)
        cmake_args = [a.replace("@SOURCE@", other_source) for a in args.cmake_arg]
        run([args.cmake, "-S", other_source, "-B", other_build, "-G", "Ninja", *cmake_args],
            env=env, stdout=subprocess.DEVNULL)
        run(["faketime", "-f", args.faketime, args.cmake, "--build", other_build, "--target",
             *args.target], env=env, stdout=subprocess.DEVNULL)
    except (subprocess.CalledProcessError, OSError) as error:
        faults.append(f"the second build failed: {error}")

    if not faults:
        for name in args.file:
            mine, theirs = os.path.join(build, name), os.path.join(other_build, name)
            if not os.path.isfile(mine) or not os.path.isfile(theirs):
                faults.append(f"{name} is missing from one build")
                continue
            a, b = sha256(mine), sha256(theirs)
            print(f"{a}  {mine}\n{b}  {theirs}")
            if a != b:
                faults.append(f"{name} differs between the builds, first at byte "
                              f"{first_difference(mine, theirs)}")
            for path, folders in ((mine, (source, build)), (theirs, (other_source, other_build))):
                held = held_paths(path, folders)
                if held:
                    faults.append(f"{path} holds the build's paths {held}")
        if args.about:
            with open(os.path.join(build, args.about), "rb") as f:
                if head[:12].encode() not in f.read():
                    faults.append(f"{args.about} does not name the commit {head[:12]} it was "
                                  "built from")

    for fault in faults:
        print(f"FAULT: {fault}", file=sys.stderr)
    if faults:
        print(f"The second build is kept for a look: {work}", file=sys.stderr)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print(f"{len(args.file)} files are the same bytes in both builds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
