#!/usr/bin/env python3
"""The Python package as pip users get it.

    check_wheel.py contents WHEEL [--tool]
    check_wheel.py venv WHEEL WORKDIR --python PY --source SOURCE --five-lines TEST

contents: the wheel is tagged py3-none-<platform> and holds the module, its
type marker, the pytest plugin's entry point, and the library built for that
platform (ELF or PE of the right machine), plus on Linux the kestrin tool with
no library search path of its own.

venv: installed into a fresh virtual environment as a user installs it, with
nothing in the environment pointing at a library, `import kestrin` loads the
library inside the wheel, and a five-line pytest test using the fixture
passes (the plugin registered by its entry point alone). The package's
sources install with pip too (Debian's setuptools, no build isolation).
Debian's pytest is the one thing taken from the system's site-packages.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

# The processor each platform tag's library must be built for:
# ELF e_machine or PE Machine.
MACHINES = {
    "linux_x86_64": ("ELF", 62), "linux_aarch64": ("ELF", 183), "linux_armv7l": ("ELF", 40),
    "linux_i686": ("ELF", 3), "win32": ("PE", 0x14C), "win_amd64": ("PE", 0x8664),
}
MODULE = ("kestrin/__init__.py", "kestrin/_abi.py", "kestrin/testing.py", "kestrin/py.typed")


def binary_kind(data):
    """("ELF", e_machine), ("PE", Machine) or None."""
    if data[:4] == b"\x7fELF":
        little = data[5] == 1
        return "ELF", struct.unpack("<H" if little else ">H", data[18:20])[0]
    if data[:2] == b"MZ":
        offset = struct.unpack("<I", data[0x3C:0x40])[0]
        if data[offset:offset + 4] == b"PE\0\0":
            return "PE", struct.unpack("<H", data[offset + 4:offset + 6])[0]
    return None


def contents_faults(wheel, tool):
    faults = []
    match = re.fullmatch(r"kestrin-([\d.]+)-py3-none-(\w+)\.whl", os.path.basename(wheel))
    if not match:
        return [f"{wheel}: not a py3-none-<platform> wheel of kestrin"]
    version, platform = match.groups()
    if platform not in MACHINES:
        return [f"{wheel}: unknown platform tag {platform}"]
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        for name in sorted(names):
            print(f"  {name}")
        info = f"kestrin-{version}.dist-info"
        wheel_file = archive.read(f"{info}/WHEEL").decode()
        if f"Tag: py3-none-{platform}" not in wheel_file:
            faults.append(f"{wheel}: WHEEL does not say Tag: py3-none-{platform}")
        if not re.search(rf"^Version: {re.escape(version)}$", archive.read(f"{info}/METADATA").decode(), re.M):
            faults.append(f"{wheel}: METADATA is not version {version}")
        entry_points = archive.read(f"{info}/entry_points.txt").decode()
        if not re.search(r"^\[pytest11\]\s*\nkestrin\.testing = kestrin\.testing$", entry_points, re.M):
            faults.append(f"{wheel}: no pytest11 entry point for kestrin.testing: {entry_points!r}")
        for name in MODULE:
            if name not in names:
                faults.append(f"{wheel}: lacks {name}")

        windows = platform.startswith("win")
        library = "kestrin/kestrin.dll" if windows else "kestrin/libkestrin.so"
        binaries = {library: MACHINES[platform]}
        if tool and not windows:
            binaries["kestrin/kestrin"] = ("ELF", MACHINES[platform][1])
        for name, wanted in binaries.items():
            if name not in names:
                faults.append(f"{wheel}: lacks {name}")
                continue
            kind = binary_kind(archive.read(name))
            if kind != wanted:
                faults.append(f"{wheel}: {name} is {kind}, not {wanted} for {platform}")
        unexpected = names - set(MODULE) - set(binaries) - {n for n in names if n.startswith(info + "/")}
        for name in sorted(unexpected):
            faults.append(f"{wheel}: unexpected {name}")

        if "kestrin/kestrin" in binaries and "kestrin/kestrin" in names:
            member = archive.getinfo("kestrin/kestrin")
            if not (member.external_attr >> 16) & 0o100:
                faults.append(f"{wheel}: kestrin/kestrin is not executable")
            with tempfile.NamedTemporaryFile() as copy:
                copy.write(archive.read(member))
                copy.flush()
                dynamic = subprocess.run(["readelf", "-d", copy.name], capture_output=True, text=True).stdout
            if "RUNPATH" in dynamic or "RPATH" in dynamic:
                faults.append(f"{wheel}: kestrin/kestrin has a library search path; in a wheel it points nowhere")
    return faults


def run(command, **kwargs):
    print("$", " ".join(command))
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    print(result.stdout[-3000:], result.stderr[-3000:], sep="")
    return result


def fresh_venv(python, place):
    shutil.rmtree(place, ignore_errors=True)
    if run([python, "-m", "venv", "--system-site-packages", place]).returncode != 0:
        raise SystemExit(f"cannot make a virtual environment at {place} (python3-venv)")
    return os.path.join(place, "bin", "python")


# Where the module was imported from, what it loaded, and its version.
PROBE = "import kestrin; print(kestrin.__file__); print(kestrin.library_path()); print(kestrin.__version__)"


def venv_faults(args):
    faults = []
    version = re.match(r"kestrin-([\d.]+)-", os.path.basename(args.wheel)).group(1)
    # Nothing may point the module at a library, a tool or our sources.
    clean = {k: v for k, v in os.environ.items()
             if not k.startswith("KESTRIN_") and k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    clean["PYTHONDONTWRITEBYTECODE"] = "1"
    os.makedirs(args.workdir, exist_ok=True)

    python = fresh_venv(args.python, os.path.join(args.workdir, "venv-wheel"))
    if run([python, "-m", "pip", "install", "--no-cache-dir", "--no-index", "--no-deps", args.wheel], env=clean).returncode != 0:
        return [f"pip cannot install {args.wheel}"]
    probe = run([python, "-c", PROBE], env=clean, cwd=args.workdir)
    if probe.returncode != 0:
        return ["import kestrin fails in the wheel's environment"]
    module, library, reported = probe.stdout.split()
    package_dir = os.path.dirname(module)
    if not package_dir.startswith(os.path.join(args.workdir, "venv-wheel")):
        faults.append(f"kestrin was imported from {module}, not from the environment")
    if os.path.dirname(library) != package_dir:
        faults.append(f"the module loaded {library}, not the library inside the wheel")
    if reported != version:
        faults.append(f"kestrin.__version__ is {reported}, the wheel {version}")

    bench = os.path.join(args.workdir, "test-bench")
    shutil.rmtree(bench, ignore_errors=True)
    os.makedirs(bench)
    shutil.copy(args.five_lines, bench)
    test = run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", os.path.basename(args.five_lines)],
               env=clean, cwd=bench)
    if test.returncode != 0 or not re.search(r"\b1 passed", test.stdout):
        faults.append("the five-line device test fails in the wheel's environment")
    # A bench that also runs where the plugin is not registered names it itself.
    with open(os.path.join(bench, "conftest.py"), "w") as conftest:
        conftest.write('pytest_plugins = ["kestrin.testing"]\n')
    test = run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", os.path.basename(args.five_lines)],
               env=clean, cwd=bench)
    if test.returncode != 0 or not re.search(r"\b1 passed", test.stdout):
        faults.append("the device test fails when its conftest.py names the plugin the wheel registers")

    # From the sources: the module alone, the library given by KESTRIN_LIBRARY.
    sources = os.path.join(args.workdir, "python-sources")
    shutil.rmtree(sources, ignore_errors=True)
    shutil.copytree(os.path.join(args.source, "python"), sources,
                    ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    python = fresh_venv(args.python, os.path.join(args.workdir, "venv-sources"))
    install = run([python, "-m", "pip", "install", "--no-cache-dir", "--no-index", "--no-deps", "--no-build-isolation", sources],
                  env=clean)
    if install.returncode != 0:
        return faults + ["pip install --no-build-isolation of the sources fails"]
    library = os.path.join(package_dir, "libkestrin.so")
    probe = run([python, "-c", PROBE], env={**clean, "KESTRIN_LIBRARY": library}, cwd=args.workdir)
    if probe.returncode != 0:
        return faults + ["import kestrin fails when installed from the sources"]
    module, _, reported = probe.stdout.split()
    if not os.path.isfile(os.path.join(os.path.dirname(module), "py.typed")):
        faults.append("the package installed from the sources lacks py.typed")
    if reported != version:
        faults.append(f"kestrin.__version__ from the sources is {reported}, not {version}")
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["contents", "venv"])
    parser.add_argument("wheel")
    parser.add_argument("workdir", nargs="?")
    parser.add_argument("--tool", action="store_true", help="contents: the Linux wheel carries the tool")
    parser.add_argument("--python", help="venv: the interpreter to make environments with")
    parser.add_argument("--source", help="venv: the source tree")
    parser.add_argument("--five-lines", help="venv: the pytest file of a simulated device's test")
    args = parser.parse_args()
    if args.mode == "venv" and not (args.workdir and args.python and args.source and args.five_lines):
        parser.error("venv needs WORKDIR, --python, --source and --five-lines")
    faults = contents_faults(args.wheel, args.tool) if args.mode == "contents" else venv_faults(args)
    for fault in faults:
        print(f"FAULT: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
