#!/usr/bin/env python3
"""The Debian packages that `cpack` wrote, as Debian and a user meet them.

    check_debs.py lintian DIR
    check_debs.py install DIR ROOT --libdir LIBDIR --python PY --five-lines TEST...

lintian: lintian on every .deb in DIR reports no error and no warning.

install: apt resolves the packages' dependencies as `apt-get install ./*.deb`
would (simulated, so the machine is left alone), then every package is
unpacked into ROOT, a scratch root, as dpkg would lay it out. From there, with
the loader pointed at ROOT's library directory as it would look in /usr's,
the tool and the Python module must load the packaged library, and a
five-line pytest test of a simulated device must pass with the packaged
tool and module. Consumers of libkestrin-dev are built by other tests.
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_layout import LINUX_PYTHON, python_module_faults  # noqa: E402

def debs_in(directory):
    debs = sorted(glob.glob(os.path.join(directory, "*.deb")))
    if not debs:
        raise SystemExit(f"no .deb files in {directory}")
    return debs


def check_lintian(args):
    debs = debs_in(args.place)
    command = ["lintian", "--fail-on", "error,warning", "--display-level", ">=warning", "--no-tag-display-limit"]
    print("$", " ".join(command), *map(os.path.basename, debs))
    run = subprocess.run(command + debs, capture_output=True, text=True)
    report = [line for line in (run.stdout + run.stderr).splitlines() if "root privileges" not in line]
    print("\n".join(report) or "lintian: nothing to report")
    if run.returncode != 0:
        return [f"lintian exits {run.returncode}"]
    return []


def check_install(args):
    debs = debs_in(args.place)
    faults = []

    # Resolves the packages against each other and the machine's own; fails
    # on a dependency nothing satisfies.
    simulate = subprocess.run(["apt-get", "install", "--simulate", "--no-install-recommends", *debs],
                              capture_output=True, text=True, env={**os.environ, "LC_ALL": "C"})
    print(simulate.stdout[-2000:])
    if simulate.returncode != 0:
        return [f"apt-get cannot install the packages together: {simulate.stderr.strip()}"]
    for deb in debs:
        package = os.path.basename(deb).split("_")[0]
        lines = simulate.stdout.splitlines()
        if not any(line.startswith(f"Inst {package} ") or line.startswith(f"{package} is already the newest")
                   for line in lines):
            faults.append(f"apt-get would not install {package}")

    shutil.rmtree(args.root, ignore_errors=True)
    for deb in debs:
        subprocess.run(["dpkg-deb", "-x", deb, args.root], check=True)
    usr = os.path.join(args.root, "usr")
    libdir = os.path.join(usr, args.libdir)
    # ROOT's library directory where the system's loader would look in /usr's.
    loader = {"LD_LIBRARY_PATH": libdir}
    environment = {k: v for k, v in os.environ.items() if not k.startswith("KESTRIN_") and k != "PYTHONPATH"}

    tool = os.path.join(usr, "bin", "kestrin")
    dynamic = subprocess.run(["readelf", "-d", tool], capture_output=True, text=True, check=True).stdout
    if "RUNPATH" in dynamic or "RPATH" in dynamic:
        faults.append(f"{tool} carries a library search path: the system's loader must find the library")
    about = subprocess.run([tool, "about"], capture_output=True, text=True, env={**environment, **loader})
    if about.returncode != 0 or "Name:\t\tXMODEM" not in about.stdout:
        faults.append(f"the packaged tool fails: {about.returncode} {about.stdout!r} {about.stderr!r}")

    faults += python_module_faults(args.python, os.path.join(usr, os.path.dirname(LINUX_PYTHON)),
                                   os.path.join(libdir, "libkestrin.so.1"), loader)

    # The test-bench author's test: python3-kestrin's fixture with kestrin's
    # tool, in a directory of its own (no conftest.py of ours around it).
    bench = os.path.join(args.root, "..", "test-bench")
    shutil.rmtree(bench, ignore_errors=True)
    os.makedirs(bench)
    for five_lines in args.five_lines:
        shutil.copy(five_lines, bench)
    test = subprocess.run(
        [args.python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "kestrin.testing",
         *(os.path.basename(five_lines) for five_lines in args.five_lines)],
        capture_output=True, text=True, cwd=bench,
        env={**environment, **loader, "PYTHONPATH": os.path.join(usr, os.path.dirname(LINUX_PYTHON)),
             "PATH": os.path.join(usr, "bin") + os.pathsep + environment.get("PATH", ""),
             "PYTHONDONTWRITEBYTECODE": "1"})
    print(test.stdout)
    if test.returncode != 0:
        faults.append(f"the five-line device test fails with the packages: {test.stdout} {test.stderr}")
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["lintian", "install"])
    parser.add_argument("place", help="the directory holding the .deb files")
    parser.add_argument("root", nargs="?", help="install: the scratch root to unpack into")
    parser.add_argument("--libdir", help="install: the library directory under /usr")
    parser.add_argument("--python", help="install: the interpreter for the Python package")
    parser.add_argument("--five-lines", nargs="+", help="install: pytest files of simulated devices' tests")
    args = parser.parse_args()
    if args.mode == "install" and not (args.root and args.libdir and args.python and args.five_lines):
        parser.error("install needs ROOT, --libdir, --python and --five-lines")

    faults = check_lintian(args) if args.mode == "lintian" else check_install(args)
    for fault in faults:
        print(f"FAULT: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
