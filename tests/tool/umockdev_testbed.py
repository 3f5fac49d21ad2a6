"""Keeps a umockdev testbed for tool_runners.py, which talks to it over a
socket: the test driver's own Python need not have umockdev's bindings, and
must not run under its preload.

  umockdev-wrapper /usr/bin/python3 umockdev_testbed.py FD

FD is one end of a Unix socket pair. A request is a JSON line, answered by
a JSON line ({"error": TEXT} when umockdev refused it):
  {"do": "root"}                         {"root": the testbed's UMOCKDEV_DIR}
  {"do": "add", "description": TEXT}     adds devices (umockdev-record's text
                                         format), with an "add" uevent
  {"do": "remove", "syspath": PATH}      a "remove" uevent, then the device goes
  {"do": "device", "node": "/dev/ttyUSB0"}
                                         {} with the master of the pseudo-
                                         terminal behind the node, passed as
                                         the message's descriptor
  {"do": "hang_up", "node": ...}         closes the testbed's own copy of that
                                         master, so that the node hangs up once
                                         the driver closes its copy too
It ends when the driver closes its end.
"""

import json
import os
import socket
import sys

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import GLib, UMockdev  # noqa: E402


def main():
    channel = socket.socket(fileno=int(sys.argv[1]))
    testbed = UMockdev.Testbed.new()
    # The descriptors of nodes hung up here: umockdev keeps their numbers,
    # so they are never closed again (the process ends with os._exit).
    masters = {}
    for line in channel.makefile("r"):
        request = json.loads(line)
        reply, passed = {}, []
        try:
            if request["do"] == "root":
                reply["root"] = testbed.get_root_dir()
            elif request["do"] == "add":
                testbed.add_from_string(request["description"])
            elif request["do"] == "remove":
                testbed.uevent(request["syspath"], "remove")
                testbed.remove_device(request["syspath"])
            elif request["do"] == "device":
                masters[request["node"]] = testbed.get_dev_fd(request["node"])
                passed = [masters[request["node"]]]
            elif request["do"] == "hang_up":
                node = request["node"]
                os.close(masters.pop(node) if node in masters else testbed.get_dev_fd(node))
            else:
                reply["error"] = f"unknown request {request['do']!r}"
        except (GLib.Error, KeyError, OSError) as error:
            reply["error"] = str(error)
        socket.send_fds(channel, [(json.dumps(reply) + "\n").encode()], passed)
    # Without umockdev's clean-up, which would close the hung-up masters'
    # numbers again.
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
