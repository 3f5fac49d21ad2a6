"""What the kestrin command prints, read the same way under every runner of
tool_test.py: Linux, qemu-user and Wine.

Python 3 standard library only.
"""

import json
import re
import shlex


def matched_line(port):
    """A pattern for "PORT: matched in N ms"; N is its group."""
    return re.escape(port) + r": matched in (\d+) ms"


def no_match_line(port, budget_ms):
    """A pattern for "PORT: no match within BUDGET ms (the poll took N ms): WHAT CAME"; N is its group."""
    return re.escape(port) + rf": no match within {budget_ms} ms \(the poll took (\d+) ms\)(?:: [^\n]*)?"


def late_line(port, budget_ms):
    """A pattern for "PORT: matched in N ms, late: after the budget of BUDGET ms"; N is its group."""
    return re.escape(port) + rf": matched in (\d+) ms, late: after the budget of {budget_ms} ms"


def trace_read(text, port):
    """What a --trace in `text` says the library read from `port`: a list of
    (ms, bytes) lines, each checked to show the same bytes as hex and as
    escaped text. None when there is no trace."""
    lines = text.replace("\r\n", "\n").split("\n")
    heading = re.escape(port) + r": the library read (nothing|(\d+) bytes?:)$"
    for at, line in enumerate(lines):
        found = re.match(heading, line)
        if not found:
            continue
        if found.group(1) == "nothing":
            return []
        groups = []
        for row in lines[at + 1:]:
            entry = re.match(r'^ +(\d+\.\d{3}) ms  ((?:[0-9a-f]{2} ?)+)  "(.*)"$', row)
            if not entry:
                break
            data = bytes.fromhex(entry.group(2))
            assert unescape(entry.group(3)) == data, row
            groups.append((float(entry.group(1)), data))
        assert sum(len(data) for _, data in groups) == int(found.group(2)), text
        return groups
    return None


def unescape(text):
    """The bytes of the tool's escaped text: \\r \\n \\t \\\\ \\xHH."""
    out = bytearray()
    i = 0
    while i < len(text):
        if text[i] == "\\":
            code = text[i + 1]
            if code == "x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            out.append({"r": 13, "n": 10, "t": 9, "\\": 92}[code])
            i += 2
            continue
        out += text[i].encode("latin-1")
        i += 1
    return bytes(out)


def trace_bytes(trace):
    """The bytes of a --json trace list, each entry checked."""
    data = bytearray()
    last = 0.0
    for entry in trace:
        assert entry["ms"] >= last, trace
        last = entry["ms"]
        byte = bytes.fromhex(entry["byte"])
        assert unescape(entry["char"]) == byte, entry
        data += byte
    return bytes(data)


def summary_counts(text, port):
    """(polls, matched, late, no match, errors) from a --repeat summary."""
    found = re.search(re.escape(port) + r": (\d+) polls?: (\d+) matched(?: \((\d+) late\))?, (\d+) no match, "
                      r"(\d+) errors?$", text, re.M)
    if not found:
        return None
    polls, matched, late, missed, errors = found.groups()
    return int(polls), int(matched), int(late or 0), int(missed), int(errors)


def error_object(test, stdout, *words, status="error"):
    """The one JSON error object that `stdout` consists of, checked.

    It must be a single line with the status given ("error", "busy",
    "device_gone") and exit code 2, and its "error" must hold each of
    `words`.
    """
    lines = stdout.strip().splitlines()
    test.assertEqual(len(lines), 1, f"one JSON object, nothing else: {stdout!r}")
    j = json.loads(lines[0])
    test.assertEqual((j["status"], j["exit_code"]), (status, 2), j)
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
