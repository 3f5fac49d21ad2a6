"""check_wheel.py's manylinux check refuses what the policy refuses: the
build's wheel passes, and copies of it made wrong on purpose do not.

Run by CTest with KESTRIN_WHEEL_DIR naming the build's dist/ and, where the
build has the tool, KESTRIN_PLAIN_TOOL naming the tool as Debian's package
links it (the C++ runtime and libudev from the system)."""

import os
import shutil
import sys
import zipfile

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import check_wheel  # noqa: E402

DIST = os.environ["KESTRIN_WHEEL_DIR"]
WHEEL = check_wheel.the_wheel(DIST)
VERSION, PLATFORM, MACHINE, GLIBC = check_wheel.parse_name(WHEEL)


@pytest.fixture
def members():
    return check_wheel.wheel_members(WHEEL)


def faults_of(members, machine=MACHINE, glibc=GLIBC):
    return check_wheel.manylinux_faults(members, machine, glibc)


def test_the_wheel_meets_its_tag(members):
    assert GLIBC is not None, f"{WHEEL} claims no manylinux tag"
    assert faults_of(members) == []


def test_a_tag_below_what_the_files_need(members):
    faults = faults_of(members, glibc=(2, 17))
    assert f"the tag claims glibc 2.17, but the highest version needed is {GLIBC[0]}.{GLIBC[1]}" in faults
    assert any(f"GLIBC_{GLIBC[0]}.{GLIBC[1]} of libc.so.6 is newer than glibc 2.17" in fault for fault in faults)


def test_a_tag_above_what_the_files_need(members):
    assert faults_of(members, glibc=(GLIBC[0], GLIBC[1] + 1)) == [
        f"the tag claims glibc {GLIBC[0]}.{GLIBC[1] + 1}, but the highest version needed is {GLIBC[0]}.{GLIBC[1]}"]


def test_another_machine(members):
    other = "aarch64" if MACHINE != "aarch64" else "x86_64"
    assert any(f"not {other}" in fault for fault in faults_of(members, machine=other))


carried = pytest.mark.skipif(not os.environ.get("KESTRIN_PLAIN_TOOL"), reason="this build has no tool")


@carried
def test_a_carried_library_left_out(members):
    del members["kestrin/libudev.so.1"]
    assert faults_of(members) == ["kestrin/kestrin needs libudev.so.1, which the policy does not list and the "
                                  "wheel does not carry"]


@carried
def test_a_carried_library_out_of_the_search_path(members):
    members["kestrin/libs/libudev.so.1"] = members.pop("kestrin/libudev.so.1")
    assert faults_of(members) == ["kestrin/kestrin needs libudev.so.1, which the policy does not list and the "
                                  "wheel does not carry (it is at kestrin/libs/libudev.so.1, which its search path "
                                  "does not reach)"]


@carried
def test_a_carried_library_that_lacks_a_version_needed(members):
    members["kestrin/libudev.so.1"] = members["kestrin/libkestrin.so"]
    assert "kestrin/kestrin needs LIBUDEV_183 of libudev.so.1, which the carried libudev.so.1 lacks" in \
        faults_of(members)


@carried
def test_the_tool_as_debian_links_it_would_not_do(members):
    with open(os.environ["KESTRIN_PLAIN_TOOL"], "rb") as tool:
        members["kestrin/kestrin"] = tool.read()
    faults = faults_of(members)
    # The system's C++ runtime is newer than the policy's, and libudev is
    # looked for where an installed tree has it, not beside the tool.
    assert any("GLIBCXX_3.4.30 of libstdc++.so.6 is newer than the policy's GLIBCXX_3.4.19" in f for f in faults)
    assert any("needs libudev.so.1, which the policy does not list and the wheel does not carry" in f for f in faults)


@pytest.mark.parametrize("library, version, allowed", [
    ("libc.so.6", "GLIBC_2.17", True), ("libc.so.6", "GLIBC_2.2.5", True), ("libc.so.6", "GLIBC_2.18", False),
    ("libc.so.6", "GLIBC_PRIVATE", False), ("ld-linux-x86-64.so.2", "GLIBC_2.3", True),
    ("libstdc++.so.6", "GLIBCXX_3.4.19", True), ("libstdc++.so.6", "GLIBCXX_3.4.20", False),
    ("libstdc++.so.6", "CXXABI_1.3.7", True), ("libstdc++.so.6", "CXXABI_1.3.8", False),
    ("libgcc_s.so.1", "GCC_4.2.0", True), ("libgcc_s.so.1", "GCC_7.0.0", False),
    ("libX11.so.6", "X11_1", False),
])
def test_the_policy_table(library, version, allowed):
    assert (check_wheel.allowed_by_policy(library, version, (2, 17)) is None) == allowed


def test_contents_want_each_carried_library_with_its_copyright(tmp_path):
    if not os.environ.get("KESTRIN_PLAIN_TOOL"):
        pytest.skip("this build has no tool")
    shutil.copy(check_wheel.wheel_files(DIST)[1][0], tmp_path)
    with zipfile.ZipFile(WHEEL) as source, zipfile.ZipFile(tmp_path / os.path.basename(WHEEL), "w") as copy:
        for info in source.infolist():
            if info.filename != "kestrin/libudev.so.1.copyright":
                copy.writestr(info, source.read(info))
    faults = check_wheel.contents_faults(str(tmp_path), tool=True)
    assert faults == [f"{tmp_path / os.path.basename(WHEEL)}: carries kestrin/libudev.so.1 without its copyright file"]
