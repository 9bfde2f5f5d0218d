#!/usr/bin/env python3
"""A studio program for QV Mirelta's studio link, in standard-library Python.

Says Hello to the first player on the link, asks for its PID, prints the
notices, titles and audio levels that arrive for SECONDS, then says Goodbye.

    studio_peer.py [SECONDS]
"""
import os
import random
import select
import socket
import struct
import sys
import time

COMMAND, DATA, REPLY = 1, 2, 3
CONTROL, HELLO, IDENTIFY, GOODBYE = 0x7FFF, 0, 0x7FFF, 2
TITLE_KIND, PCM_KIND = 0x00010000, 0


def link_folder():
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime:
        return os.path.join(runtime, "qvmirelta-link")
    return f"/tmp/qvmirelta-link-{os.getuid()}"


class Window:
    """Our window on the link: a listening socket that answers every packet."""

    def __init__(self, folder, class_name="PyStudio"):
        taken = {name.rsplit(".", 1)[-1] for name in os.listdir(folder)}
        self.handle = random.randrange(1, 1 << 32)
        while f"{self.handle:08x}" in taken:
            self.handle = random.randrange(1, 1 << 32)
        self.path = os.path.join(folder, f"{class_name}.{self.handle:08x}")
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.server.bind(self.path)
        self.server.listen(8)
        self.connections = []
        self.on_command = lambda sender, hi, lo: None
        self.on_data = lambda sender, kind, data: None

    def close(self):
        for c in self.connections:
            c.close()
        self.server.close()
        os.unlink(self.path)

    def serve(self, timeout):
        """Answers whatever arrives within `timeout` seconds."""
        readable, _, _ = select.select([self.server] + self.connections, [], [], timeout)
        for s in readable:
            if s is self.server:
                self.connections.append(s.accept()[0])
                continue
            packet = s.recv(1 << 20)
            if len(packet) < 12:
                self.connections.remove(s)
                s.close()
                continue
            kind, sender, value = struct.unpack_from("<III", packet)
            if kind == COMMAND:
                self.on_command(sender, value >> 16, value & 0xFFFF)
            elif kind == DATA:
                self.on_data(sender, value, packet[12:])
            s.send(struct.pack("<Ii", REPLY, 0))

    def send_command(self, to_path, hi, lo, timeout=2.0):
        """Sends a command and returns the reply; the player may call us back
        before it replies, so our own socket is served meanwhile."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as s:
            s.connect(to_path)
            s.send(struct.pack("<III", COMMAND, self.handle, (hi << 16) | lo))
            end = time.monotonic() + timeout
            while time.monotonic() < end:
                readable, _, _ = select.select([s], [], [], 0.01)
                if readable:
                    return struct.unpack("<Ii", s.recv(8))[1]
                self.serve(0)
        return None


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    folder = link_folder()
    players = sorted(n for n in os.listdir(folder) if n.startswith("TQV_Mirelta."))
    if not players:
        print("no player on the link in", folder)
        return 1
    player = os.path.join(folder, players[0])
    window = Window(folder)
    last_levels = [0.0]

    def on_command(sender, hi, lo):
        names = {0x0400: "silence", 0x0401: "online", 0x1000: "device-timeout",
                 0x1001: "device-ready", CONTROL: "goodbye"}
        print(f"notice {names.get(hi, hex(hi))} {lo}", flush=True)

    def on_data(sender, kind, data):
        if kind == TITLE_KIND:
            print("title", data[6:].decode("utf-8", "replace"), flush=True)
        elif kind == PCM_KIND and len(data) >= 22:
            rate, chans, bits, left, right = struct.unpack_from("<iBBdd", data)
            if time.monotonic() - last_levels[0] >= 1.0:
                last_levels[0] = time.monotonic()
                print(f"pcm {rate} Hz {chans} ch {bits} bit, {(len(data) - 22) // 2} samples, "
                      f"levels {left:.1f} {right:.1f} dB", flush=True)

    window.on_command, window.on_data = on_command, on_data
    try:
        print("hello, reply", window.send_command(player, CONTROL, HELLO), flush=True)
        print("PID", window.send_command(player, CONTROL, IDENTIFY), flush=True)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            window.serve(0.1)
        window.send_command(player, CONTROL, GOODBYE)
    finally:
        window.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
