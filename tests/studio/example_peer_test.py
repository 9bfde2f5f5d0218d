#!/usr/bin/env python3
"""The documented Python peer against the real player.

Starts a test stream whose title changes every second and the real player in
interactive mode (PID 7) with a private link folder, runs
docs/examples/studio_peer.py for a few seconds, and checks what it printed:
the PID, titles and the PCM of the channel on air, and that the player
counted and then let go of it.

    example_peer_test.py --bin-dir build/default/bin --example docs/examples/studio_peer.py
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--example", required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="qvm-peer-")
    runtime = os.path.join(work, "runtime")
    os.mkdir(runtime, 0o700)
    processes = []
    try:
        port = free_port()
        titles = []
        for n in range(12):
            titles += ["--title", f"Song {n}", "--tone", "440:1:0.5"]
        processes.append(subprocess.Popen(
            [os.path.join(args.bin_dir, "qvm-test-streamer"), "--port", str(port),
             "--mount", "/p.mp3", "--name", "Peer", "--br", "128", *titles],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for name in os.listdir(args.bin_dir):
            if name == "QVMirelta" or (name.startswith("QVMirelta.") and name.endswith(".lng")):
                shutil.copy2(os.path.join(args.bin_dir, name), work)
        with open(os.path.join(work, "QVMirelta.ini"), "w") as ini:
            ini.write("[Setting]\nLanguage=English\nSourceMode=3\nPID=7\nDevice=Null output\n"
                      f"Buffer=1\n[Channels]\nURL1=http://127.0.0.1:{port}/p.mp3\nAlways1=1\n")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime)
        processes.append(subprocess.Popen([os.path.join(work, "QVMirelta")], cwd=work, env=env,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        link = os.path.join(runtime, "qvmirelta-link")
        end = time.monotonic() + 20
        while time.monotonic() < end and not (
                os.path.isdir(link) and any(n.startswith("TQV_Mirelta.") for n in os.listdir(link))):
            time.sleep(0.1)
        time.sleep(2)  # connected and buffered
        peer = subprocess.run([sys.executable, args.example, "4"], env=env, capture_output=True,
                              text=True, timeout=30)
        out = peer.stdout
        print(out)
        checks = {
            "the peer ended cleanly": peer.returncode == 0,
            "the player identified itself": "PID 7" in out,
            "titles arrived": "title Song" in out,
            "the PCM of the channel on air arrived": "pcm 44100 Hz 2 ch 16 bit" in out,
            "the peer's socket is gone": not any(n.startswith("PyStudio.") for n in os.listdir(link)),
        }
        failed = [what for what, ok in checks.items() if not ok]
        if failed:
            print("FAILED:", "; ".join(failed), peer.stderr)
            return 1
        return 0
    finally:
        for p in reversed(processes):
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
