#!/usr/bin/env python3
"""qmp.py SOCKET COMMAND [--deleted ID]: one QMP command (JSON) to the QEMU
whose monitor listens on SOCKET, and one line saying how it went: "ok ..."
or "failed: ...", exit status 0 or 1.  With --deleted, it waits for QEMU's
DEVICE_DELETED event of device ID: device_del returns at once, and the
device is gone only once the guest has let it go.  L1 runs it on L2's QEMU
for the hot-plug checks; it gives up after LIMIT seconds."""
import json
import socket
import sys
import time

LIMIT = 60


def main():
    path, command = sys.argv[1], json.loads(sys.argv[2])
    deleted = sys.argv[4] if sys.argv[3:4] == ["--deleted"] else None
    began = time.monotonic()
    sock = socket.socket(socket.AF_UNIX)
    sock.settimeout(LIMIT)
    sock.connect(path)
    stream = sock.makefile("rw")
    events = []

    def send(message):
        stream.write(json.dumps(message) + "\n")
        stream.flush()

    def receive():
        line = stream.readline()
        if not line:
            raise EOFError("QEMU closed its monitor")
        return json.loads(line)

    def answer():
        while True:
            message = receive()
            if "event" in message:
                events.append(message)
            else:
                return message

    receive()   # the greeting
    send({"execute": "qmp_capabilities"})
    answer()
    send(command)
    reply = answer()
    if "error" in reply:
        print(f"failed: {reply['error'].get('desc', reply['error'])}")
        return 1
    if deleted:
        def gone():
            return any(e["event"] == "DEVICE_DELETED" and e.get("data", {}).get("device") == deleted
                       for e in events)
        while not gone():
            if time.monotonic() - began > LIMIT:
                raise TimeoutError(f"no DEVICE_DELETED event for {deleted}")
            message = receive()
            if "event" in message:
                events.append(message)
    print(f"ok {command['execute']} in {time.monotonic() - began:.1f} s")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (OSError, ValueError, EOFError) as error:
        print(f"failed: {error}")
        sys.exit(1)
