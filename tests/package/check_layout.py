#!/usr/bin/env python3
"""Checks what Kestrin ships: an installed tree, or the release archives.

    check_layout.py tree PREFIX --flavour linux|win32|win64 [--tool] [--python PY]
    check_layout.py archives OUTDIR --flavour ... --version 1.0.0 --cpack CPACK
                    --config CPackConfig.cmake [--tool] [--python PY]

Each place must hold exactly the expected files (none missing, none extra),
with the library's version links on Linux. With --python, the Python module
found in the tree or the .deb must load the library that came with it.
"""

import argparse
import fnmatch
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

LINUX_PYTHON = "lib/python3/dist-packages/kestrin"


def expected_layout(flavour, tool):
    """{path or pattern: None for a file, or the target of a symbolic link}."""
    common = {
        "include/kestrin.h": None,
        "lib/cmake/Kestrin/KestrinConfig.cmake": None,
        "lib/cmake/Kestrin/KestrinConfigVersion.cmake": None,
        "lib/cmake/Kestrin/KestrinTargets.cmake": None,
        "lib/cmake/Kestrin/KestrinTargets-*.cmake": None,
        "lib/pkgconfig/kestrin.pc": None,
    }
    if flavour == "linux":
        layout = {
            "lib/libkestrin.so.1.0.0": None,
            "lib/libkestrin.so.1": "libkestrin.so.1.0.0",
            "lib/libkestrin.so": "libkestrin.so.1",
            f"{LINUX_PYTHON}/__init__.py": None,
            f"{LINUX_PYTHON}/_abi.py": None,
            f"{LINUX_PYTHON}/_location.py": None,
            "share/doc/kestrin/README.md": None,
            "share/doc/kestrin/LICENSE": None,
        }
        if tool:
            layout["bin/kestrin"] = None
            layout["share/man/man1/kestrin.1"] = None
            layout["share/bash-completion/completions/kestrin"] = None
    else:
        layout = {
            "bin/kestrin.dll": None,
            "lib/libkestrin.dll.a": None,
            "lib/kestrin.lib": None,
            "python/kestrin/__init__.py": None,
            "python/kestrin/_abi.py": None,
            "python/kestrin/_location.py": None,
            "README.md": None,
            "LICENSE": None,
        }
        if tool:
            layout["bin/kestrin.exe"] = None
    layout.update(common)
    return layout


def compare(where, entries, layout):
    """entries: {relative path: None or link target}. Returns a list of faults."""
    faults = []
    unmatched = dict(entries)
    for pattern, link in layout.items():
        hits = [path for path in unmatched if fnmatch.fnmatchcase(path, pattern)]
        if len(hits) != 1:
            faults.append(f"{where}: expected one {pattern}, found {hits or 'none'}")
            continue
        actual = unmatched.pop(hits[0])
        if actual != link:
            want = f"a link to {link}" if link else "a regular file"
            got = f"a link to {actual}" if actual else "a regular file"
            faults.append(f"{where}: {hits[0]} should be {want}, is {got}")
    for path in sorted(unmatched):
        faults.append(f"{where}: unexpected {path}")
    return faults


def tree_entries(root):
    entries = {}
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root).replace(os.sep, "/")
            entries[relative] = os.readlink(path) if os.path.islink(path) else None
    return entries


def tar_entries(archive, strip):
    entries = {}
    for member in archive.getmembers():
        if member.isdir():
            continue
        name = member.name[2:] if member.name.startswith("./") else member.name
        if not name.startswith(strip):
            raise SystemExit(f"{member.name} lies outside {strip}")
        entries[name[len(strip):]] = member.linkname if member.issym() else None
    return entries


def zip_entries(path, strip):
    entries = {}
    with zipfile.ZipFile(path) as archive:
        bad = archive.testzip()
        if bad is not None:
            raise SystemExit(f"{path}: {bad} is damaged")
        for info in archive.infolist():
            if info.is_dir():
                continue
            if not info.filename.startswith(strip):
                raise SystemExit(f"{info.filename} lies outside {strip}")
            entries[info.filename[len(strip):]] = None
    return entries


def show(entries):
    for entry in sorted(entries):
        print(f"  {entry}" + (f" -> {entries[entry]}" if entries[entry] else ""))


def python_module_faults(python, module_dir, library):
    """The module in module_dir, with no hint from the environment, must load `library`."""
    env = {k: v for k, v in os.environ.items() if k not in ("KESTRIN_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = module_dir
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    probe = "import kestrin; print(kestrin.library_path()); print(kestrin.version())"
    run = subprocess.run([python, "-c", probe], env=env, capture_output=True, text=True)
    if run.returncode != 0:
        return [f"the module in {module_dir} fails: {run.stderr.strip()}"]
    path, number = run.stdout.split()
    faults = []
    if os.path.realpath(path) != os.path.realpath(library):
        faults.append(f"the module in {module_dir} loaded {path}, not {library}")
    if number != str(0x01000000):
        faults.append(f"the module in {module_dir} reports version {number}")
    return faults


def check_tree(args):
    layout = expected_layout(args.flavour, args.tool)
    faults = compare(args.place, tree_entries(args.place), layout)
    if args.python and args.flavour == "linux" and not faults:
        faults += python_module_faults(
            args.python, os.path.join(args.place, os.path.dirname(LINUX_PYTHON)),
            os.path.join(args.place, "lib/libkestrin.so.1"))
    return faults


def deb_faults(path, version, layout, python):
    faults = []
    fields = {}
    for field in ("Package", "Version", "Architecture", "Depends"):
        fields[field] = subprocess.run(["dpkg-deb", "-f", path, field],
                                       check=True, capture_output=True, text=True).stdout.strip()
    architecture = subprocess.run(["dpkg", "--print-architecture"],
                                  check=True, capture_output=True, text=True).stdout.strip()
    wanted = {"Package": "kestrin", "Version": version, "Architecture": architecture}
    for field, value in wanted.items():
        if fields[field] != value:
            faults.append(f"{path}: {field} is {fields[field]!r}, not {value!r}")
    if "libc6" not in fields["Depends"]:
        faults.append(f"{path}: Depends ({fields['Depends']!r}) lacks libc6")
    data = subprocess.run(["dpkg-deb", "--fsys-tarfile", path], check=True, capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(data)) as archive:
        entries = tar_entries(archive, "usr/")
    show(entries)
    faults += compare(path, entries, layout)
    if python and not faults:
        with tempfile.TemporaryDirectory() as unpacked:
            subprocess.run(["dpkg-deb", "-x", path, unpacked], check=True)
            faults += python_module_faults(
                python, os.path.join(unpacked, "usr", os.path.dirname(LINUX_PYTHON)),
                os.path.join(unpacked, "usr/lib/libkestrin.so.1"))
    return faults


def check_archives(args):
    shutil.rmtree(args.place, ignore_errors=True)
    subprocess.run([args.cpack, "--config", args.config, "-B", args.place], check=True)

    layout = expected_layout(args.flavour, args.tool)
    if args.flavour == "linux":
        architecture = subprocess.run(["dpkg", "--print-architecture"],
                                      check=True, capture_output=True, text=True).stdout.strip()
        stem = f"kestrin-{args.version}-linux-{os.uname().machine}"
        expected = {f"{stem}.tar.gz", f"kestrin_{args.version}_{architecture}.deb"}
    else:
        stem = f"kestrin-{args.version}-{args.flavour}"
        expected = {f"{stem}.zip"}
    made = {name for name in os.listdir(args.place)
            if os.path.isfile(os.path.join(args.place, name)) and not name.endswith(".sha256")}
    if made != expected:
        return [f"cpack made {sorted(made)}, expected {sorted(expected)}"]

    faults = []
    for name in sorted(made):
        path = os.path.join(args.place, name)
        print(f"{name}:")
        if name.endswith(".tar.gz"):
            with tarfile.open(path) as archive:
                entries = tar_entries(archive, f"{stem}/")
            faults += compare(name, entries, layout)
        elif name.endswith(".zip"):
            entries = zip_entries(path, f"{stem}/")
            faults += compare(name, entries, layout)
        else:
            faults += deb_faults(path, args.version, layout, args.python)
            continue
        show(entries)
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["tree", "archives"])
    parser.add_argument("place", help="install prefix, or the directory cpack writes to")
    parser.add_argument("--flavour", required=True, choices=["linux", "win32", "win64"])
    parser.add_argument("--tool", action="store_true", help="the kestrin tool is part of the build")
    parser.add_argument("--python", help="interpreter for checking the Python module (Linux only)")
    parser.add_argument("--version")
    parser.add_argument("--cpack")
    parser.add_argument("--config")
    args = parser.parse_args()
    if args.mode == "archives" and not (args.version and args.cpack and args.config):
        parser.error("archives needs --version, --cpack and --config")

    faults = check_tree(args) if args.mode == "tree" else check_archives(args)
    for fault in faults:
        print(f"FAULT: {fault}")
    if faults:
        return 1
    print(f"{args.place}: layout as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
