#!/usr/bin/env python3
"""The Python package as pip users get it: the wheel and the sdist in DIST.

    check_wheel.py contents DIST [--tool]
    check_wheel.py manylinux DIST
    check_wheel.py tap DIST WORKDIR --host PROGRAM [-- RUNNER...]
    check_wheel.py venv DIST WORKDIR --python PY --source SOURCE --five-lines TEST

contents: one wheel, tagged py3-none-<platform> (manylinux_X_Y_<machine> on
Linux, win32 or win_amd64), holding the module, its type marker, the pytest
plugin's entry point, and the library and the read tap built for that
platform (ELF or PE of the right machine); on Linux also the kestrin tool,
whose only library search path is its own directory, and each library it
needs that the wheel carries, with that library's copyright file. Beside it
one sdist: the module's sources and metadata, no binary.

manylinux: every ELF file of the Linux wheel needs nothing outside the
policy of the tag the wheel claims that the wheel does not carry itself
(found through the file's own RUNPATH): each library it needs is one the
policy lists or one the wheel carries, each symbol version it needs from a
listed library is one the tag allows (glibc's up to X.Y; libstdc++'s and
libgcc_s's as the policy table below has them), each from a carried library
one that library defines; and X.Y is the highest glibc version needed, as
the tag is to be taken. Read with pyelftools.

tap: the read tap sees what the library beside it reads, on the wheel's
own binaries (PROGRAM is tests/package/tap_check.c, built for the target;
run under RUNNER: qemu-user or Wine).

venv: installed into a fresh virtual environment as a user installs it, with
nothing in the environment pointing at a library, `import kestrin` loads the
library inside the wheel, the read tap is bound, and the five-line pytest
tests pass (the plugin registered by its entry point alone). The sdist and
the package's sources install with pip too (Debian's setuptools, no build
isolation) and use the library KESTRIN_LIBRARY names. Debian's pytest is the
one thing taken from the system's site-packages.
"""

import argparse
import glob
import io
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

# The processor each platform's binaries must be built for: ELF e_machine or PE Machine.
MACHINES = {
    "x86_64": ("ELF", 62), "aarch64": ("ELF", 183), "armv7l": ("ELF", 40), "i686": ("ELF", 3),
    "win32": ("PE", 0x14C), "win_amd64": ("PE", 0x8664),
}
MODULE = ("kestrin/__init__.py", "kestrin/_abi.py", "kestrin/_tap.py", "kestrin/_win32.py", "kestrin/bench.py",
          "kestrin/testing.py", "kestrin/py.typed")

# ---- The manylinux policy ---------------------------------------------------------------
# From PEP 600 and the policies it refers to (PEP 599's manylinux2014 and
# the manylinux_X_Y policies after it, which list the same libraries): what
# a wheel's ELF files may need from the system.
POLICY_LIBRARIES = {
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libutil.so.1", "libnsl.so.1",
    "libresolv.so.2", "libgcc_s.so.1", "libstdc++.so.6", "libX11.so.6", "libXext.so.6", "libXrender.so.1",
    "libICE.so.6", "libSM.so.6", "libGL.so.1", "libgobject-2.0.so.0", "libgthread-2.0.so.0", "libglib-2.0.so.0",
}
# glibc's dynamic loader is part of glibc, which every manylinux system has.
LOADERS = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1", "armv7l": "ld-linux-armhf.so.3",
           "i686": "ld-linux.so.2"}
# The libraries of glibc, whose GLIBC_X.Y versions the tag bounds.
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libutil.so.1",
                   "libnsl.so.1", "libresolv.so.2", *LOADERS.values()}
# The C++ runtime's versions, as manylinux2014 (manylinux_2_17, GCC 4.8)
# allows them: the oldest of the policies, so what passes here passes under
# every later tag too (they allow more).
RUNTIME_VERSIONS = {
    "libstdc++.so.6": {"GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7)},
    "libgcc_s.so.1": {"GCC": (4, 8, 0)},
}


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def wheel_files(dist):
    wheels = glob.glob(os.path.join(dist, "kestrin-*.whl"))
    sdists = glob.glob(os.path.join(dist, "kestrin-*.tar.gz"))
    return wheels, sdists


def the_wheel(dist):
    wheels, _ = wheel_files(dist)
    if len(wheels) != 1:
        raise SystemExit(f"FAULT: {dist} holds {len(wheels)} wheels, not one: {wheels}")
    return wheels[0]


def parse_name(wheel):
    """(version, platform tag, machine, glibc (X, Y) or None), or None."""
    match = re.fullmatch(r"kestrin-([\d.]+)-py3-none-(\w+)\.whl", os.path.basename(wheel))
    if not match:
        return None
    version, platform = match.groups()
    manylinux = re.fullmatch(r"manylinux_(\d+)_(\d+)_(x86_64|aarch64|armv7l|i686)", platform)
    if manylinux:
        return version, platform, manylinux.group(3), (int(manylinux.group(1)), int(manylinux.group(2)))
    if platform in ("win32", "win_amd64"):
        return version, platform, platform, None
    return None


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


# ---- ELF facts (pyelftools) -----------------------------------------------------------------------


class ElfFacts:
    """What an ELF file needs and defines: its NEEDED libraries, SONAME,
    RUNPATH entries, the symbol versions it needs from each library, and
    the versions it defines."""

    def __init__(self, data):
        try:
            from elftools.elf.dynamic import DynamicSection
            from elftools.elf.elffile import ELFFile
            from elftools.elf.gnuversions import GNUVerDefSection, GNUVerNeedSection
        except ImportError:
            raise SystemExit("FAULT: pyelftools is missing (Debian: python3-pyelftools; scripts/setup.sh)")
        elf = ELFFile(io.BytesIO(data))
        self.machine = elf["e_machine"]
        self.needed, self.runpath, self.soname = [], [], None
        self.needs = {}  # library -> set of versions
        self.defines = set()
        for section in elf.iter_sections():
            if isinstance(section, DynamicSection):
                for tag in section.iter_tags():
                    if tag.entry.d_tag == "DT_NEEDED":
                        self.needed.append(tag.needed)
                    elif tag.entry.d_tag in ("DT_RUNPATH", "DT_RPATH"):
                        self.runpath += (tag.runpath if tag.entry.d_tag == "DT_RUNPATH" else tag.rpath).split(":")
                    elif tag.entry.d_tag == "DT_SONAME":
                        self.soname = tag.soname
            elif isinstance(section, GNUVerNeedSection):
                for needed, versions in section.iter_versions():
                    self.needs.setdefault(needed.name, set()).update(version.name for version in versions)
            elif isinstance(section, GNUVerDefSection):
                for definition, names in section.iter_versions():
                    self.defines.update(name.name for name in names)


def glibc_version(name):
    match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", name)
    return (int(match.group(1)), int(match.group(2))) if match else None


def allowed_by_policy(library, version, glibc):
    """Why `version` of `library` is outside the policy of glibc X.Y, or None."""
    if library in GLIBC_LIBRARIES:
        needed = glibc_version(version)
        if needed is None:
            return f"{version} of {library} is no public glibc version"
        if needed > glibc:
            return f"{version} of {library} is newer than glibc {glibc[0]}.{glibc[1]}"
        return None
    for family, highest in RUNTIME_VERSIONS.get(library, {}).items():
        match = re.fullmatch(rf"{family}_(\d+(?:\.\d+)*)", version)
        if match:
            if version_tuple(match.group(1)) > highest:
                return f"{version} of {library} is newer than the policy's {family}_{'.'.join(map(str, highest))}"
            return None
    if library in RUNTIME_VERSIONS:
        return f"{version} of {library} is none the policy table allows"
    return f"{version} of {library}: the policy table has no versions for it"


def manylinux_faults(members, machine, glibc):
    """Faults of the ELF files in `members` ({path in the wheel: bytes})
    against the policy of manylinux_<glibc>_<machine>."""
    faults = []
    elves = {name: ElfFacts(data) for name, data in members.items() if data[:4] == b"\x7fELF"}
    if not elves:
        return ["the wheel holds no ELF file"]
    highest = (2, 0)
    for name, facts in sorted(elves.items()):
        if facts.machine != {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64", "armv7l": "EM_ARM",
                             "i686": "EM_386"}[machine]:
            faults.append(f"{name} is built for {facts.machine}, not {machine}")
        here = os.path.dirname(name)
        # Where this file's own search path finds libraries in the wheel.
        reached = set()
        for entry in facts.runpath:
            if not entry.startswith("$ORIGIN"):
                faults.append(f"{name}: search path entry {entry!r} points outside the wheel")
                continue
            reached.add(os.path.normpath(os.path.join(here, entry[len("$ORIGIN"):].lstrip("/"))))
        # The loader looks a needed library up by file name in those directories.
        carried = {os.path.basename(other): other_facts for other, other_facts in elves.items()
                   if os.path.dirname(other) in reached}
        for library in facts.needed:
            if library in carried:
                continue
            if library in POLICY_LIBRARIES or library == LOADERS[machine]:
                continue
            in_wheel = [other for other in elves if os.path.basename(other) == library]
            where = f" (it is at {in_wheel[0]}, which its search path does not reach)" if in_wheel else ""
            faults.append(f"{name} needs {library}, which the policy does not list and the wheel does not "
                          f"carry{where}")
        for library, versions in sorted(facts.needs.items()):
            for version in sorted(versions):
                if library in carried:
                    if version not in carried[library].defines:
                        faults.append(f"{name} needs {version} of {library}, which the carried {library} lacks")
                    continue
                if library not in POLICY_LIBRARIES and library != LOADERS[machine]:
                    continue  # needing it at all is the fault, said above
                if library in GLIBC_LIBRARIES and glibc_version(version):
                    highest = max(highest, glibc_version(version))
                why = allowed_by_policy(library, version, glibc)
                if why:
                    faults.append(f"{name} needs {why}")
    if highest != glibc:
        faults.append(f"the tag claims glibc {glibc[0]}.{glibc[1]}, but the highest version needed is "
                      f"{highest[0]}.{highest[1]}")
    return faults


def wheel_members(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


# ---- contents ----------------------------------------------------------------------------


def contents_faults(dist, tool):
    faults = []
    wheel = the_wheel(dist)
    parsed = parse_name(wheel)
    if not parsed:
        return [f"{wheel}: not a py3-none-<platform> wheel of kestrin for a known platform"]
    version, platform, machine, glibc = parsed
    windows = glibc is None
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

        wanted = MACHINES[machine]
        binaries = {"kestrin/kestrin.dll": wanted, "kestrin/kestrin_tap.dll": wanted} if windows else \
            {"kestrin/libkestrin.so": wanted, "kestrin/libkestrin_tap.so": wanted}
        if tool and not windows:
            binaries["kestrin/kestrin"] = wanted
        for name, kind in binaries.items():
            if name not in names:
                faults.append(f"{wheel}: lacks {name}")
                continue
            if binary_kind(archive.read(name)) != kind:
                faults.append(f"{wheel}: {name} is {binary_kind(archive.read(name))}, not {kind} for {platform}")
        # What the tool needs that no policy lists, carried beside it with its copyright.
        carried = set()
        if "kestrin/kestrin" in binaries and "kestrin/kestrin" in names:
            member = archive.getinfo("kestrin/kestrin")
            if not (member.external_attr >> 16) & 0o100:
                faults.append(f"{wheel}: kestrin/kestrin is not executable")
            facts = ElfFacts(archive.read(member))
            if facts.runpath != ["$ORIGIN"]:
                faults.append(f"{wheel}: kestrin/kestrin's search path is {facts.runpath}, not its own directory")
            for library in facts.needed:
                if f"kestrin/{library}" in names:
                    carried |= {f"kestrin/{library}", f"kestrin/{library}.copyright"}
                    if f"kestrin/{library}.copyright" not in names:
                        faults.append(f"{wheel}: carries kestrin/{library} without its copyright file")
        for name in binaries:
            if name != "kestrin/kestrin" and not windows and name in names and ElfFacts(archive.read(name)).runpath:
                faults.append(f"{wheel}: {name} has a library search path")
        unexpected = names - set(MODULE) - set(binaries) - carried - {n for n in names if n.startswith(info + "/")}
        for name in sorted(unexpected):
            faults.append(f"{wheel}: unexpected {name}")
    faults += sdist_faults(dist, version)
    return faults


def sdist_faults(dist, version):
    _, sdists = wheel_files(dist)
    if [os.path.basename(s) for s in sdists] != [f"kestrin-{version}.tar.gz"]:
        return [f"{dist}: holds {sdists}, not the one sdist kestrin-{version}.tar.gz"]
    faults = []
    top = f"kestrin-{version}"
    with tarfile.open(sdists[0]) as archive:
        names = {member.name for member in archive.getmembers() if member.isfile()}
        for name in sorted(names):
            print(f"  {name}")
        for name in MODULE + ("pyproject.toml", "LICENSE", "PKG-INFO"):
            if f"{top}/{name}" not in names:
                faults.append(f"{sdists[0]}: lacks {name}")
        for member in archive.getmembers():
            data = archive.extractfile(member).read(64) if member.isfile() else b""
            if binary_kind(data) or member.name.endswith((".so", ".dll", ".c")):
                faults.append(f"{sdists[0]}: {member.name} is no part of the module's sources")
        pkg_info = archive.extractfile(f"{top}/PKG-INFO").read().decode()
        if not re.search(rf"^Version: {re.escape(version)}$", pkg_info, re.M):
            faults.append(f"{sdists[0]}: PKG-INFO is not version {version}")
    return faults


# ---- The read tap on the wheel's binaries ----------------------------------------------------


def tap_faults(args):
    wheel = the_wheel(args.dist)
    place = os.path.join(args.workdir, "wheel-tap")
    shutil.rmtree(place, ignore_errors=True)
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(place)
    package = os.path.join(place, "kestrin")
    if wheel.endswith(("win32.whl", "win_amd64.whl")):
        # Under Wine the program loads the DLLs from its own directory.
        host = shutil.copy(args.host, package)
        command = [*args.runner, host]
    else:
        command = [*args.runner, args.host, os.path.join(package, "libkestrin.so"),
                   os.path.join(package, "libkestrin_tap.so")]
    result = run(command, timeout=120)
    if result.returncode != 0 or "tap: ok" not in result.stdout:
        return [f"the wheel's read tap does not see what its library reads (exit status {result.returncode})"]
    return []


# ---- venv ------------------------------------------------------------------------------------


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


# Where the module was imported from, what it loaded, its version, and the tap.
PROBE = ("import kestrin; print(kestrin.__file__); print(kestrin.library_path()); print(kestrin.__version__); "
         "print(kestrin._library().tap is not None)")


def bench_passes(python, bench, env, *test_files):
    test = run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *test_files], env=env, cwd=bench)
    return test.returncode == 0 and re.search(rf"\b{len(test_files)} passed", test.stdout)


def venv_faults(args):
    faults = []
    wheel = the_wheel(args.dist)
    version = re.match(r"kestrin-([\d.]+)-", os.path.basename(wheel)).group(1)
    # Nothing may point the module at a library, a tool, a tap or our sources.
    clean = {k: v for k, v in os.environ.items()
             if not k.startswith("KESTRIN_") and k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    clean["PYTHONDONTWRITEBYTECODE"] = "1"
    os.makedirs(args.workdir, exist_ok=True)

    python = fresh_venv(args.python, os.path.join(args.workdir, "venv-wheel"))
    if run([python, "-m", "pip", "install", "--no-cache-dir", "--no-index", "--no-deps", wheel], env=clean).returncode != 0:
        return [f"pip cannot install {wheel}"]
    probe = run([python, "-c", PROBE], env=clean, cwd=args.workdir)
    if probe.returncode != 0:
        return ["import kestrin fails in the wheel's environment"]
    module, library, reported, tapped = probe.stdout.split()
    package_dir = os.path.dirname(module)
    if not package_dir.startswith(os.path.join(args.workdir, "venv-wheel")):
        faults.append(f"kestrin was imported from {module}, not from the environment")
    if os.path.dirname(library) != package_dir:
        faults.append(f"the module loaded {library}, not the library inside the wheel")
    if reported != version:
        faults.append(f"kestrin.__version__ is {reported}, the wheel {version}")
    if tapped != "True":
        faults.append("the wheel's read tap is not bound to its library")

    bench = os.path.join(args.workdir, "test-bench")
    shutil.rmtree(bench, ignore_errors=True)
    os.makedirs(bench)
    tests = []
    for five_lines in args.five_lines:
        shutil.copy(five_lines, bench)
        tests.append(os.path.basename(five_lines))
    if not bench_passes(python, bench, clean, *tests):
        faults.append("the five-line device tests fail in the wheel's environment")
    # A bench that also runs where the plugin is not registered names it itself.
    with open(os.path.join(bench, "conftest.py"), "w") as conftest:
        conftest.write('pytest_plugins = ["kestrin.testing"]\n')
    if not bench_passes(python, bench, clean, *tests):
        faults.append("the device tests fail when their conftest.py names the plugin the wheel registers")

    # The module alone, from the sdist and from the sources, with the
    # library KESTRIN_LIBRARY names.
    library = os.path.join(package_dir, "libkestrin.so")
    sources = os.path.join(args.workdir, "python-sources")
    shutil.rmtree(sources, ignore_errors=True)
    shutil.copytree(os.path.join(args.source, "python"), sources,
                    ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    for what, target in (("the sdist", wheel_files(args.dist)[1][0]), ("the sources", sources)):
        python = fresh_venv(args.python, os.path.join(args.workdir, "venv-module"))
        install = run([python, "-m", "pip", "install", "--no-cache-dir", "--no-index", "--no-deps",
                       "--no-build-isolation", target], env=clean)
        if install.returncode != 0:
            faults.append(f"pip install --no-build-isolation of {what} fails")
            continue
        probe = run([python, "-c", PROBE], env={**clean, "KESTRIN_LIBRARY": library}, cwd=args.workdir)
        if probe.returncode != 0:
            faults.append(f"import kestrin fails when installed from {what}")
            continue
        module, loaded, reported, _ = probe.stdout.split()
        if not os.path.isfile(os.path.join(os.path.dirname(module), "py.typed")):
            faults.append(f"the package installed from {what} lacks py.typed")
        if loaded != library:
            faults.append(f"the package installed from {what} loaded {loaded}, not KESTRIN_LIBRARY's {library}")
        if reported != version:
            faults.append(f"kestrin.__version__ from {what} is {reported}, not {version}")
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["contents", "manylinux", "tap", "venv"])
    parser.add_argument("dist")
    parser.add_argument("workdir", nargs="?")
    parser.add_argument("--tool", action="store_true", help="contents: the Linux wheel carries the tool")
    parser.add_argument("--host", help="tap: the program that checks the tap")
    parser.add_argument("--python", help="venv: the interpreter to make environments with")
    parser.add_argument("--source", help="venv: the source tree")
    parser.add_argument("--five-lines", nargs="+", help="venv: pytest files of simulated devices' tests")
    argv = sys.argv[1:]
    runner = argv[argv.index("--") + 1:] if "--" in argv else []
    args = parser.parse_args(argv[:argv.index("--")] if "--" in argv else argv)
    args.runner = runner  # tap: what runs the program (qemu-user, Wine), if anything
    if args.mode == "venv" and not (args.workdir and args.python and args.source and args.five_lines):
        parser.error("venv needs WORKDIR, --python, --source and --five-lines")
    if args.mode == "tap" and not (args.workdir and args.host):
        parser.error("tap needs WORKDIR and --host")
    if args.mode == "contents":
        faults = contents_faults(args.dist, args.tool)
    elif args.mode == "manylinux":
        wheel = the_wheel(args.dist)
        parsed = parse_name(wheel)
        if not parsed or parsed[3] is None:
            faults = [f"{wheel} claims no manylinux tag"]
        else:
            print(f"{os.path.basename(wheel)}: against the policy of {parsed[1]}")
            faults = manylinux_faults(wheel_members(wheel), parsed[2], parsed[3])
    elif args.mode == "tap":
        faults = tap_faults(args)
    else:
        faults = venv_faults(args)
    for fault in faults:
        print(f"FAULT: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
