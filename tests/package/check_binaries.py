#!/usr/bin/env python3
"""Hardening of the binaries Kestrin builds and ships.

    check_binaries.py elf FILE...
    check_binaries.py runpath DIR
    check_binaries.py pe --objdump OBJDUMP --bits 32|64 FILE...

elf: Debian's hardening-check passes (stack protector, fortified calls, full
RELRO, BIND_NOW, PIE for programs), and on x86 every function checked starts
with an ENDBR instruction (-fcf-protection). hardening-check's own
control-flow test is left out: it asks for the IBT and SHSTK properties of the
whole binary, which the linker drops because Debian 12's crti.o and crtn.o
(libc6-dev) carry none, so no program linked on Debian 12 has them, /bin/ls
included.

runpath: no ELF file under DIR has an empty or relative RUNPATH or RPATH
entry, which would make the loader search the current directory or one
relative to it. Absolute entries and entries from $ORIGIN pass.

pe: the DLLs and programs ask Windows for ASLR (DYNAMIC_BASE), DEP
(NX_COMPAT) and, 64-bit, high-entropy ASLR; they hold no DWARF sections, and
their debug information lies beside them in FILE.debug, which a debuglink
names.
"""

import argparse
import os
import re
import subprocess
import sys

ELF_MAGIC = b"\x7fELF"
# The functions whose first instruction shows -fcf-protection, per file name.
ENTRY_POINTS = {
    "libkestrin": ("_Z8pollUartPviPhi", "_Z14KestrinVersionv", "_Z12KestrinAboutv"),
    "kestrin": ("main",),
}


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def is_elf(path):
    try:
        with open(path, "rb") as file:
            return file.read(4) == ELF_MAGIC
    except OSError:
        return False


def first_instruction(path, symbol):
    listing = run("objdump", "-d", "--no-show-raw-insn", f"--disassemble={symbol}", path)
    match = re.search(rf"<{re.escape(symbol)}>:\n\s*[0-9a-f]+:\s*(\S+)", listing)
    return match.group(1) if match else None


def elf_faults(paths):
    faults = []
    for path in paths:
        check = subprocess.run(["hardening-check", "--nocfprotection", path],
                               capture_output=True, text=True)
        print(check.stdout.strip())
        if check.returncode != 0:
            faults.append(f"{path}: hardening-check fails")
        machine = run("readelf", "-h", path)
        if "X86-64" not in machine and "80386" not in machine:
            continue
        stem = os.path.basename(path).split(".")[0]
        for symbol in ENTRY_POINTS.get(stem, ()):
            instruction = first_instruction(path, symbol)
            print(f" {symbol} starts with {instruction}")
            if instruction not in ("endbr64", "endbr32"):
                faults.append(f"{path}: {symbol} starts with {instruction}, not ENDBR (no -fcf-protection)")
    return faults


def search_path_faults(path):
    try:
        dynamic = run("readelf", "-d", path)
    except subprocess.CalledProcessError:
        return []
    faults = []
    for kind, value in re.findall(r"\((RUNPATH|RPATH)\)\s+Library \w+: \[(.*)\]", dynamic):
        for entry in value.split(":"):
            if not entry:
                faults.append(f"{path}: empty {kind} entry in [{value}] (the current directory)")
            elif not (entry.startswith("/") or entry.startswith("$ORIGIN") or entry.startswith("${ORIGIN}")):
                faults.append(f"{path}: relative {kind} entry {entry!r}")
    return faults


def runpath_faults(root):
    faults = []
    checked = 0
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            if os.path.islink(path) or not is_elf(path):
                continue
            checked += 1
            faults += search_path_faults(path)
    print(f"{checked} ELF files under {root}")
    if not checked:
        faults.append(f"no ELF file under {root}")
    return faults


def sections(objdump, path):
    return re.findall(r"^\s*\d+\s+(\S+)", run(objdump, "-h", path), flags=re.M)


def debuglink(objdump, path):
    """The file name in the .gnu_debuglink section (before its CRC)."""
    data = bytearray()
    for line in run(objdump, "-s", "-j", ".gnu_debuglink", path).splitlines():
        # " 14000f000 6b657374 72696e2e 646c6c2e 64656275  kestrin.dll.debu"
        if re.match(r"^ [0-9a-f]+ [0-9a-f]", line):
            data += bytes.fromhex("".join(line.strip().split("  ")[0].split()[1:]))
    return data.split(b"\0")[0].decode(errors="replace")


def pe_faults(objdump, bits, paths):
    wanted = {"DYNAMIC_BASE": 0x40, "NX_COMPAT": 0x100}
    if bits == 64:
        wanted["HIGH_ENTROPY_VA"] = 0x20
    faults = []
    for path in paths:
        headers = run(objdump, "-p", path)
        match = re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)", headers, flags=re.M)
        characteristics = int(match.group(1), 16) if match else 0
        print(f"{path}: DllCharacteristics {characteristics:#06x}")
        for flag, bit in wanted.items():
            if not characteristics & bit:
                faults.append(f"{path}: DllCharacteristics lacks {flag}")

        names = sections(objdump, path)
        dwarf = [name for name in names if name.startswith(".debug_")]
        if dwarf:
            faults.append(f"{path}: ships its debug information: {', '.join(dwarf)}")
        if ".gnu_debuglink" not in names:
            faults.append(f"{path}: names no debug file (no .gnu_debuglink)")
        else:
            named = debuglink(objdump, path)
            if named != os.path.basename(path) + ".debug":
                faults.append(f"{path}: its debuglink names {named!r}")
        companion = path + ".debug"
        if not os.path.isfile(companion):
            faults.append(f"{path}: no {os.path.basename(companion)} beside it")
        elif ".debug_info" not in sections(objdump, companion):
            faults.append(f"{companion}: holds no .debug_info")
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["elf", "runpath", "pe"])
    parser.add_argument("paths", nargs="+")
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--bits", type=int, choices=[32, 64])
    args = parser.parse_args()
    if args.mode == "elf":
        faults = elf_faults(args.paths)
    elif args.mode == "runpath":
        faults = [fault for root in args.paths for fault in runpath_faults(root)]
    else:
        if not args.bits:
            parser.error("pe needs --bits")
        faults = pe_faults(args.objdump, args.bits, args.paths)
    for fault in faults:
        print(f"FAULT: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
