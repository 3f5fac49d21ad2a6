#!/usr/bin/env python3
"""Checks what Kestrin ships: an installed tree, or the release archives and
Debian packages.

    check_layout.py tree PREFIX --flavour linux|win32|win64 --docs DOCS [--libdir DIR] [--tool] [--python PY]
    check_layout.py archives OUTDIR --flavour ... --docs DOCS --version 1.0.0 --cpack CPACK
                    --config CPackConfig.cmake [--libdir DIR] [--system linux-x86_64]
                    [--deb-arch ARCH] [--tool] [--python PY]

Each place must hold exactly the expected files (none missing, none extra),
with the library's version links on Linux. Each .deb must hold exactly its
own share, with Debian's fields, and together the packages must ship
everything the archive does but what only relocatable trees need. With
--python, the Python module found in the tree must load the library that
came with it.

DOCS is the source tree's docs/: each of its pages (and the images they
show) must be installed in docs/ beside the README. In an installed tree,
the README must link every page, and every relative link of the README and
the pages must lead to a document installed with them (and to a heading
there, if it names one).
"""

import argparse
import fnmatch
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

LINUX_PYTHON = "lib/python3/dist-packages/kestrin"
PYTHON_FILES = ("__init__.py", "_abi.py", "_tap.py", "_win32.py", "bench.py", "testing.py", "py.typed")
# What comes with the tool on Linux beside the program.
TOOL_EXTRAS = ("share/man/man1/kestrin.1", "share/bash-completion/completions/kestrin")
# What relocatable trees need and the packages do not (the packages have a
# copyright file, and their module asks the system's loader).
ARCHIVE_ONLY = ("share/doc/kestrin/LICENSE", f"{LINUX_PYTHON}/_location.py")


class Layout:
    """Expected entries: path or pattern -> None (a file) or a link's target."""

    def __init__(self, required):
        self.required = dict(required)


# The documents' folder under the prefix: Debian's place on Linux, the top
# of the archive on Windows (KESTRIN_INSTALL_DOCDIR).
def doc_dir(flavour):
    return "share/doc/kestrin/" if flavour == "linux" else ""


def doc_pages(docs):
    """The files of the source tree's docs/ that ship: pages and their images."""
    return sorted(name for name in os.listdir(docs) if name.endswith((".md", ".png")))


def expected_layout(flavour, tool, doc_source, libdir="lib"):
    files = {
        "include/kestrin.h": None,
        f"{libdir}/cmake/Kestrin/KestrinConfig.cmake": None,
        f"{libdir}/cmake/Kestrin/KestrinConfigVersion.cmake": None,
        f"{libdir}/cmake/Kestrin/KestrinTargets.cmake": None,
        f"{libdir}/cmake/Kestrin/KestrinTargets-*.cmake": None,
        f"{libdir}/pkgconfig/kestrin.pc": None,
    }
    if flavour == "linux":
        files.update({
            f"{libdir}/libkestrin.so.1.0.0": None,
            f"{libdir}/libkestrin.so.1": "libkestrin.so.1.0.0",
            f"{libdir}/libkestrin.so": "libkestrin.so.1",
            f"{LINUX_PYTHON}/_location.py": None,
            "share/doc/kestrin/README.md": None,
            "share/doc/kestrin/LICENSE": None,
        })
        files.update({f"{LINUX_PYTHON}/{name}": None for name in PYTHON_FILES})
        if tool:
            files["bin/kestrin"] = None
            files.update({extra: None for extra in TOOL_EXTRAS})
    else:
        # The shipped binaries are stripped; their debug information lies beside them.
        files.update({
            "bin/kestrin.dll": None,
            "bin/kestrin.dll.debug": None,
            "lib/libkestrin.dll.a": None,
            "lib/kestrin.lib": None,
            "python/kestrin/_location.py": None,
            "README.md": None,
            "LICENSE": None,
        })
        files.update({f"python/kestrin/{name}": None for name in PYTHON_FILES})
        if tool:
            files["bin/kestrin.exe"] = None
            files["bin/kestrin.exe.debug"] = None
    files.update({f"{doc_dir(flavour)}docs/{name}": None for name in doc_pages(doc_source)})
    return Layout(files)


def deb_layouts(libdir, tool, doc_source):
    """{package: Layout under /usr} for the Debian packages."""
    def docs(package, *extra):
        return {f"share/doc/{package}/copyright": None, f"share/doc/{package}/changelog.gz": None,
                **{f"share/doc/{package}/{name}": None for name in extra}}

    layouts = {
        "libkestrin1": Layout({
            f"{libdir}/libkestrin.so.1.0.0": None,
            f"{libdir}/libkestrin.so.1": "libkestrin.so.1.0.0",
            **docs("libkestrin1"),
        }),
        "libkestrin-dev": Layout({
            "include/kestrin.h": None,
            f"{libdir}/libkestrin.so": "libkestrin.so.1",
            f"{libdir}/cmake/Kestrin/KestrinConfig.cmake": None,
            f"{libdir}/cmake/Kestrin/KestrinConfigVersion.cmake": None,
            f"{libdir}/cmake/Kestrin/KestrinTargets.cmake": None,
            f"{libdir}/cmake/Kestrin/KestrinTargets-*.cmake": None,
            f"{libdir}/pkgconfig/kestrin.pc": None,
            **docs("libkestrin-dev"),
        }),
        "python3-kestrin": Layout({
            **{f"{LINUX_PYTHON}/{name}": None for name in PYTHON_FILES},
            **docs("python3-kestrin"),
        }),
    }
    if tool:
        layouts["kestrin"] = Layout({
            "bin/kestrin": None,
            **docs("kestrin", "README.md", *(f"docs/{name}" for name in doc_pages(doc_source))),
            # Debian's man pages are compressed.
            **{f"{extra}.gz" if "/man/" in extra else extra: None for extra in TOOL_EXTRAS},
        })
    return layouts


def compare(where, entries, layout):
    """entries: {relative path: None or link target}. Returns a list of faults."""
    faults = []
    unmatched = dict(entries)
    for pattern, link in layout.required.items():
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


def deb_field(path, field):
    return subprocess.run(["dpkg-deb", "-f", path, field], check=True, capture_output=True, text=True).stdout.strip()


def deb_entries(path):
    """The package's files under /usr, as tar_entries gives them."""
    data = subprocess.run(["dpkg-deb", "--fsys-tarfile", path], check=True, capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(data)) as archive:
        return tar_entries(archive, "usr/")


def show(entries):
    for entry in sorted(entries):
        print(f"  {entry}" + (f" -> {entries[entry]}" if entries[entry] else ""))


LINK = re.compile(r"!?\[[^\]]*\]\(([^()\s]+)(?:\s+\"[^\"]*\")?\)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")


def markdown_lines(path):
    """The lines of a Markdown file outside code blocks, without inline code."""
    fenced = False
    with open(path, encoding="utf-8") as page:
        for line in page:
            if line.lstrip().startswith("```"):
                fenced = not fenced
                continue
            if not fenced:
                yield re.sub(r"`[^`]*`", "", line)


def anchors(path):
    """The anchors of a page's headings, as GitHub makes them."""
    found = set()
    for line in markdown_lines(path):
        heading = HEADING.match(line)
        if heading:
            slug = re.sub(r"[^\w\- ]", "", heading.group(1).lower()).replace(" ", "-")
            count = sum(1 for anchor in found if re.fullmatch(re.escape(slug) + r"(-\d+)?", anchor))
            found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def link_faults(docdir, doc_source):
    """README.md in docdir links every page of docs/, and each relative link
    of the README and the pages leads to a document installed with them."""
    readme = os.path.normpath(os.path.join(docdir, "README.md"))
    documents = [readme] + [os.path.normpath(os.path.join(docdir, "docs", name)) for name in doc_pages(doc_source)]
    shipped = set(documents)
    faults = []
    linked = set()
    for document in documents:
        if not document.endswith(".md") or not os.path.isfile(document):
            continue
        where = os.path.relpath(document, docdir)
        # A link's text may run over two lines.
        for target in LINK.findall("".join(markdown_lines(document))):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                continue  # a web address
            path, _, anchor = target.partition("#")
            resolved = os.path.normpath(os.path.join(os.path.dirname(document), path)) if path else document
            if document == readme:
                linked.add(resolved)
            if resolved not in shipped or not os.path.isfile(resolved):
                faults.append(f"{where} links {target}, which is not a document installed with it")
            elif anchor and (not resolved.endswith(".md") or anchor not in anchors(resolved)):
                faults.append(f"{where} links {target}, but {os.path.relpath(resolved, docdir)} has no such heading")
    for name in doc_pages(doc_source):
        page = os.path.normpath(os.path.join(docdir, "docs", name))
        if name.endswith(".md") and page not in linked:
            faults.append(f"README.md does not link docs/{name}")
    return faults


# Prints the file the module loaded (as the process maps it, however the
# module found it) and the version the library answers.
MODULE_PROBE = """
import kestrin
number = kestrin.version()
with open("/proc/self/maps") as maps:
    print(next(line.split()[-1] for line in maps if "libkestrin" in line))
print(number)
"""


def python_module_faults(python, module_dir, library, env_extra=None):
    """The module in module_dir, with no hint from the environment but
    env_extra, must load `library`."""
    env = {k: v for k, v in os.environ.items() if k not in ("KESTRIN_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = module_dir
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.update(env_extra or {})
    run = subprocess.run([python, "-c", MODULE_PROBE], env=env, capture_output=True, text=True)
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
    layout = expected_layout(args.flavour, args.tool, args.docs, args.libdir)
    faults = compare(args.place, tree_entries(args.place), layout)
    faults += link_faults(os.path.join(args.place, doc_dir(args.flavour)), args.docs)
    if args.python and args.flavour == "linux" and not faults:
        faults += python_module_faults(
            args.python, os.path.join(args.place, os.path.dirname(LINUX_PYTHON)),
            os.path.join(args.place, args.libdir, "libkestrin.so.1"))
    return faults


def deb_faults(path, package, version, deb_arch, layout, wanted_depends):
    faults = []
    wanted = {"Package": package, "Version": version,
              "Architecture": "all" if package.startswith("python3-") else deb_arch}
    for field, value in wanted.items():
        actual = deb_field(path, field)
        if actual != value:
            faults.append(f"{path}: {field} is {actual!r}, not {value!r}")
    depends = [item.strip() for item in deb_field(path, "Depends").split(",")]
    for dependency in wanted_depends:
        if not any(item == dependency or item.startswith(dependency + " (") for item in depends):
            faults.append(f"{path}: Depends ({', '.join(depends)}) lacks {dependency}")
    entries = deb_entries(path)
    show(entries)
    return faults + compare(os.path.basename(path), entries, layout)


def debs_cover_archive(tar_contents, debs_contents):
    """Everything the archive ships is in one package, but what only
    relocatable trees need; nothing is in two."""
    faults = []
    owner = {}
    for package, entries in debs_contents.items():
        for path in entries:
            if path.startswith("share/doc/") and os.path.basename(path) in ("copyright", "changelog.gz"):
                continue
            path = path[:-3] if path.startswith("share/man/") and path.endswith(".gz") else path
            if path in owner:
                faults.append(f"{path} is in both {owner[path]} and {package}")
            owner[path] = package
    for path in sorted(set(tar_contents) - set(owner) - set(ARCHIVE_ONLY)):
        faults.append(f"{path} is in the archive but in no Debian package")
    return faults


def check_archives(args):
    shutil.rmtree(args.place, ignore_errors=True)
    subprocess.run([args.cpack, "--config", args.config, "-B", args.place], check=True)

    layout = expected_layout(args.flavour, args.tool, args.docs, args.libdir)
    debs = {}
    if args.flavour == "linux":
        stem = f"kestrin-{args.version}-{args.system}"
        expected = {f"{stem}.tar.gz"}
        if args.deb_arch:
            debs = {package: f"{package}_{args.version}_{'all' if package.startswith('python3-') else args.deb_arch}.deb"
                    for package in deb_layouts(args.libdir, args.tool, args.docs)}
            expected |= set(debs.values())
    else:
        stem = f"kestrin-{args.version}-{args.flavour}"
        expected = {f"{stem}.zip"}
    made = {name for name in os.listdir(args.place)
            if os.path.isfile(os.path.join(args.place, name)) and not name.endswith(".sha256")}
    if made != expected:
        return [f"cpack made {sorted(made)}, expected {sorted(expected)}"]

    faults = []
    archive_contents = {}
    for name in sorted(made - set(debs.values())):
        path = os.path.join(args.place, name)
        print(f"{name}:")
        if name.endswith(".tar.gz"):
            with tarfile.open(path) as archive:
                archive_contents = tar_entries(archive, f"{stem}/")
        else:
            archive_contents = zip_entries(path, f"{stem}/")
        show(archive_contents)
        faults += compare(name, archive_contents, layout)

    if debs:
        library_package = f"libkestrin1 (= {args.version})"
        wanted_depends = {
            "libkestrin1": ["libc6"],
            "libkestrin-dev": [library_package],
            "kestrin": ["libc6", library_package],
            "python3-kestrin": ["python3:any", "libkestrin1"],
        }
        debs_contents = {}
        for package, layout in deb_layouts(args.libdir, args.tool, args.docs).items():
            path = os.path.join(args.place, debs[package])
            print(f"{debs[package]}:")
            faults += deb_faults(path, package, args.version, args.deb_arch, layout, wanted_depends[package])
            debs_contents[package] = deb_entries(path)
        faults += debs_cover_archive(archive_contents, debs_contents)
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["tree", "archives"])
    parser.add_argument("place", help="install prefix, or the directory cpack writes to")
    parser.add_argument("--flavour", required=True, choices=["linux", "win32", "win64"])
    parser.add_argument("--docs", required=True, help="the source tree's docs/, whose pages must ship")
    parser.add_argument("--libdir", default="lib", help="the library directory under the prefix")
    parser.add_argument("--system", default=f"linux-{os.uname().machine}", help="the target, as the archive names it")
    parser.add_argument("--deb-arch", help="the Debian architecture of the packages (none: no packages)")
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
