"""What the kestrin command prints, read the same way by the Linux tests
(cli_test.py) and by the Windows ones under Wine (wine_tool_test.py).

Python 3 standard library only.
"""

import json
import re
import shlex


def matched_line(port):
    """A pattern for "PORT: matched in N ms"; N is its group."""
    return re.escape(port) + r": matched in (\d+) ms"


def no_match_line(port, budget_ms):
    """A pattern for "PORT: no match within BUDGET ms (the poll took N ms)"; N is its group."""
    return re.escape(port) + rf": no match within {budget_ms} ms \(the poll took (\d+) ms\)"


def error_object(test, stdout, *words):
    """The one JSON error object that `stdout` consists of, checked.

    It must be a single line with status "error" and exit code 2, and its
    "error" must hold each of `words`.
    """
    lines = stdout.strip().splitlines()
    test.assertEqual(len(lines), 1, f"one JSON object, nothing else: {stdout!r}")
    j = json.loads(lines[0])
    test.assertEqual((j["status"], j["exit_code"]), ("error", 2), j)
    for word in words:
        test.assertIn(word, j["error"])
    return j


def help_hint(command):
    """How a usage error of `command` ends: where its help is."""
    return f"(see kestrin {command} --help)" if command else "(see kestrin --help)"


def examples(help_text):
    """The example command lines ending a subcommand's help, each as the
    arguments after "kestrin"."""
    _, found, tail = help_text.replace("\r\n", "\n").partition("\nExamples:\n")
    if not found:
        return []
    commands = []
    for line in tail.splitlines():
        if line.startswith("  kestrin "):
            # Quotes group words; backslashes stay, as in Windows paths.
            lexer = shlex.shlex(line[len("  kestrin "):], posix=True)
            lexer.whitespace_split = True
            lexer.escape = ""
            commands.append(list(lexer))
    return commands


def check_help_examples(test, help_text, command):
    """The help ends with two or three examples of `command`, each with a
    line saying what it does; returns them (see examples())."""
    found = examples(help_text)
    test.assertIn(len(found), (2, 3), help_text)
    test.assertEqual(found[0][0], command, "the first example is of the command itself")
    tail = help_text.replace("\r\n", "\n").rstrip("\n").split("\nExamples:\n")[1].splitlines()
    test.assertEqual(len(tail), 2 * len(found), "each example, then what it does, and nothing after")
    for line in tail[1::2]:
        test.assertRegex(line, r"^      \S", "what the example does, indented under it")
    return found


def is_usage_error(output):
    """Whether `output` reports a mistake in what was typed."""
    return re.search(r"\(see kestrin (\w+ )?--help\)", output) is not None
