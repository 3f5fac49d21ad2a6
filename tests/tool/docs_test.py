#!/usr/bin/env python3
"""The kestrin(1) manual page and the bash completion, against the help the
tool prints: neither may miss a subcommand, an option or a value.

  docs_test.py [--emulator COMMAND] KESTRIN MAN_PAGE COMPLETION [unittest arguments]

Python 3 standard library, groff and bash.
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

KESTRIN = MAN_PAGE = COMPLETION = None
# What runs the tool: KESTRIN itself, or a script that runs it through the
# emulator, so that the completion can run it as it would run the tool.
RUNNER = None
COMMANDS = ("poll", "monitor", "ports", "about", "sim", "relay", "demo")


def help_of(*command):
    result = subprocess.run([RUNNER, *command, "--help"], capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stderr
    return result.stdout


def options_in(help_text):
    """Every option name a help lists, short and long: {"-e", "--expect", ...}."""
    names = set()
    for line in help_text.splitlines():
        found = re.match(r"^  (-[\w-]+(?:,--[\w-]+)?)", line)
        if found:
            names.update(found.group(1).split(","))
    return names


def complete(words):
    """What the completion offers for the command line `words`, the last of
    which is being typed."""
    script = f"""
source {COMPLETION!r}
COMP_WORDS=("$@")
COMP_CWORD=$(($# - 1))
COMPREPLY=()
_kestrin
printf '%s\\n' "${{COMPREPLY[@]}}"
"""
    result = subprocess.run(["bash", "-c", script, "kestrin-completion", *words], capture_output=True, text=True,
                            timeout=30)
    assert result.returncode == 0, result.stderr
    return set(filter(None, result.stdout.split("\n")))


class ManPage(unittest.TestCase):
    @unittest.skipUnless(shutil.which("groff"), "needs groff")
    def test_it_renders_without_a_warning(self):
        result = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", MAN_PAGE], capture_output=True, text=True,
                                timeout=30)
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_every_subcommand_and_each_of_its_options_is_in_it(self):
        with open(MAN_PAGE, encoding="utf-8") as page:
            text = page.read().replace("\\-", "-").replace("\\e", "\\")
        self.assertRegex(text, r'\.TH KESTRIN "1"')
        self.assertTrue(page_name(text).startswith("kestrin - check whether"), page_name(text))
        for command in COMMANDS:
            self.assertIn(f'.SS "kestrin {command}"', text)
            for option in options_in(help_of(command)):
                self.assertRegex(text, re.escape(option) + r"\b", f"{command} {option}")
        self.assertIn("5000 ms without a byte", text, "what the budget and the idle limit mean")


def page_name(text):
    found = re.search(r"\.SH NAME\n(.*)\n", text)
    return found.group(1).replace("\\", "") if found else ""


class Completion(unittest.TestCase):
    def test_subcommands(self):
        self.assertEqual(complete(["kestrin", ""]) - {"--help", "--version", "--library"}, set(COMMANDS))
        self.assertEqual(complete(["kestrin", "po"]), {"poll", "ports"})
        self.assertEqual(complete(["kestrin", "--library", "x", "mon"]), {"monitor"})

    def test_the_options_of_each_subcommand_are_those_its_help_lists(self):
        for command in COMMANDS:
            with self.subTest(command=command):
                self.assertEqual(complete(["kestrin", command, "-"]), options_in(help_of(command)))

    def test_values_of_the_options_that_take_names(self):
        self.assertEqual(complete(["kestrin", "poll", "/dev/ttyS0", "--parity", ""]),
                         {"none", "even", "odd", "mark", "space"})
        self.assertEqual(complete(["kestrin", "monitor", "-p", "m"]), {"mark"})
        self.assertEqual(complete(["kestrin", "poll", "X", "--flow", ""]), {"none", "rtscts", "xonxoff"})
        self.assertEqual(complete(["kestrin", "poll", "X", "--dtr", ""]), {"on", "off"})
        self.assertEqual(complete(["kestrin", "monitor", "X", "--rts", "o"]), {"on", "off"})
        self.assertIn("115200", complete(["kestrin", "poll", "X", "-b", ""]))
        self.assertEqual(complete(["kestrin", "poll", "X", "--timeout", ""]), set(), "a time: nothing to offer")

    def test_the_port_from_kestrin_ports_or_a_path_and_only_where_the_port_goes(self):
        listed = subprocess.run([RUNNER, "ports"], capture_output=True, text=True, timeout=30).stdout
        ports = {line.split(":")[0] for line in listed.splitlines() if line.startswith("/")}
        offered = complete([RUNNER, "poll", "/dev/"])
        self.assertLessEqual(ports, offered)
        self.assertEqual(complete([RUNNER, "poll", "/dev/ttyS0", "-b", "9600", ""]), set(),
                         "the port is given already")
        self.assertIn(os.path.basename(KESTRIN),
                      {os.path.basename(path) for path in complete([RUNNER, "poll", os.path.dirname(KESTRIN) + "/"])},
                      "a path, where no listed port fits")


if __name__ == "__main__":
    arguments = sys.argv[1:]
    emulator = []
    if arguments[:1] == ["--emulator"] and len(arguments) >= 2:
        emulator = shlex.split(arguments[1])
        arguments = arguments[2:]
    if len(arguments) < 3:
        sys.exit(__doc__)
    KESTRIN, MAN_PAGE, COMPLETION = (os.path.abspath(arg) for arg in arguments[:3])
    with tempfile.TemporaryDirectory() as folder:
        RUNNER = KESTRIN
        if emulator:
            RUNNER = os.path.join(folder, "kestrin")
            with open(RUNNER, "w") as script:
                script.write(f'#!/bin/sh\nexec {shlex.join([*emulator, KESTRIN])} "$@"\n')
            os.chmod(RUNNER, 0o755)
        run = unittest.main(argv=[sys.argv[0], *arguments[3:]], verbosity=2, exit=False)
    sys.exit(0 if run.result.wasSuccessful() else 1)
