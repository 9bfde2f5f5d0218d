#!/usr/bin/env python3
"""The remote control in a real browser.

Starts the demo's two streams and the real player on them (null output, its
mix captured, the HTTP server on a free port), loads the status page in
headless Chromium, clicks "Switch" on the backup's row and then "Stop", and
checks that the player did both: on its own page and in its captured mix.

    status_page_browser.py --bin-dir build/default/bin [--screenshot docs/status-page.png]

Chromium is driven over its DevTools protocol on a pipe (--remote-debugging-pipe),
so nothing beyond Python's standard library is needed. Exit code 0: passed,
1: failed, 77: skipped (no Chromium, or it could not start).
"""

import argparse
import base64
import json
import math
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
import wave

SKIP = 77


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, condition, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def get_page(port):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=5) as answer:
            return answer.read().decode("utf-8")
    except OSError:
        return ""


class Chromium:
    """One headless Chromium, spoken to over the DevTools pipe."""

    def __init__(self, profile):
        binary = shutil.which("chromium") or shutil.which("chromium-browser")
        if binary is None:
            raise FileNotFoundError("chromium is not installed")
        to_child_r, self.to_child = os.pipe()
        self.from_child, from_child_w = os.pipe()

        def fds():  # the protocol's fixed descriptors: commands on 3, answers on 4
            commands, answers = os.dup(to_child_r), os.dup(from_child_w)
            os.dup2(commands, 3)
            os.dup2(answers, 4)

        self.process = subprocess.Popen(
            [binary, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--remote-debugging-pipe", f"--user-data-dir={profile}", "--window-size=1000,700",
             "about:blank"],
            preexec_fn=fds, pass_fds=(3, 4),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_child_r)
        os.close(from_child_w)
        self.next_id = 0
        self.pending = b""
        self.session = None

    def call(self, method, params=None, session=True, timeout=30):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.to_child, json.dumps(message).encode() + b"\0")
        end = time.monotonic() + timeout
        while True:
            while b"\0" not in self.pending:
                if time.monotonic() > end or self.process.poll() is not None:
                    raise RuntimeError(f"no answer from chromium to {method}")
                chunk = os.read(self.from_child, 65536)
                if not chunk:
                    raise RuntimeError("chromium closed its pipe")
                self.pending += chunk
            raw, self.pending = self.pending.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def open(self, url):
        target = self.call("Target.createTarget", {"url": url}, session=False)["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": 1000, "height": 470, "deviceScaleFactor": 1, "mobile": False})

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        return result.get("result", {}).get("value")

    def text(self):
        """The shown page's text; empty while it loads or navigates."""
        try:
            return self.evaluate(
                "document.readyState === 'complete' ? document.body.innerText : ''") or ""
        except RuntimeError as e:
            if "navigated" in str(e):
                return ""
            raise

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=5)
        except (RuntimeError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
        os.close(self.to_child)
        os.close(self.from_child)


def tone_frequencies(path, window=0.5):
    """The tone of each half second of the capture by zero crossings (0: silence)."""
    with wave.open(path) as w:
        rate, channels = w.getframerate(), w.getnchannels()
        frames = w.readframes(w.getnframes())
    samples = struct.unpack(f"<{len(frames) // 2}h", frames)[::channels]
    step = int(rate * window)
    tones = []
    for start in range(0, len(samples) - step, step):
        part = samples[start:start + step]
        if math.sqrt(sum(s * s for s in part) / len(part)) < 100:
            tones.append(0)
            continue
        crossings = sum(1 for a, b in zip(part, part[1:]) if a < 0 <= b)
        tones.append(round(crossings / window / 10) * 10)
    return tones


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    if not (shutil.which("chromium") or shutil.which("chromium-browser")):
        print("skipped: chromium is not installed")
        return SKIP

    work = tempfile.mkdtemp(prefix="qvm-browser-")
    processes = []
    browser = None
    try:
        stream_port, http_port = free_port(), free_port()
        processes.append(subprocess.Popen(
            [os.path.join(args.bin_dir, "qvm-test-streamer"), "--port", str(stream_port),
             "--mount", "/programme.mp3", "--name", "Demo Programme", "--br", "128",
             "--title", "Demo Programme - 440 Hz", "--tone", "440:600:0.4",
             "--mount", "/backup.mp3", "--name", "Demo Backup", "--br", "128",
             "--title", "Demo Backup - 660 Hz", "--tone", "660:600:0.3"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for name in os.listdir(args.bin_dir):
            if name == "QVMirelta" or (name.startswith("QVMirelta.") and name.endswith(".lng")):
                shutil.copy2(os.path.join(args.bin_dir, name), work)
        with open(os.path.join(work, "QVMirelta.ini"), "w") as ini:
            ini.write(
                "[Setting]\nLanguage=English\nSourceMode=1\nDevice=Null output\nBuffer=1\n"
                "SilenceTime=5\nRestoreTime=5\nFadeIn=0\nChFadeIn=0.3\nChFadeOut=0.3\n"
                f"HTTPPort={http_port}\nHTTPAddress=127.0.0.1\n[Channels]\n"
                f"URL1=http://127.0.0.1:{stream_port}/programme.mp3\nAlways1=1\n"
                f"URL2=http://127.0.0.1:{stream_port}/backup.mp3\nAlways2=1\n")
        capture = os.path.join(work, "capture.wav")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QVMIRELTA_CAPTURE_WAV=capture)
        processes.append(subprocess.Popen([os.path.join(work, "QVMirelta")], cwd=work, env=env,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_until("both channels online",
                   lambda: get_page(http_port).count(">Online<") == 2, 30)
        time.sleep(2)  # the programme is heard for a while

        try:
            browser = Chromium(os.path.join(work, "profile"))
            browser.open(f"http://127.0.0.1:{http_port}/")
            wait_until("the status page in the browser", lambda: "Streams information" in browser.text(), 30)
        except (OSError, RuntimeError, AssertionError) as e:
            print(f"skipped: chromium could not show the page: {e}")
            return SKIP
        if args.screenshot:
            browser.screenshot(args.screenshot)

        browser.evaluate("document.querySelector('input[value=\"Switch\"]').click()")
        wait_until("the switch page", lambda: "Switch to stream # 2" in browser.text(), 10)
        wait_until("the player to switch", lambda: "<td>2 (Manual 2)</td>" in get_page(http_port), 10)
        wait_until("the browser back on the status page",
                   lambda: "2 (Manual 2)" in browser.text(), 10)
        time.sleep(2)  # the backup is heard for a while

        browser.evaluate("document.querySelector('form[action=\"/Stop\"] button').click()")
        wait_until("the stop page", lambda: "Stopped" in browser.text(), 10)
        wait_until("the player to stop", lambda: 'action="/Play"' in get_page(http_port), 10)
        time.sleep(1.5)
        player = processes.pop()
        player.terminate()
        player.wait(timeout=15)  # the capture is complete once the player has ended

        # Heard: the programme, then the backup, then nothing.
        heard = []
        for t in tone_frequencies(capture):
            if not heard or heard[-1] != t:
                heard.append(t)
        # (fades show as half seconds of other pitches between them)
        if 440 not in heard or 660 not in heard[heard.index(440):] or heard[-1] != 0:
            print(f"FAILED: the capture heard {heard}")
            return 1
        print(f"passed: heard {heard}")
        return 0
    except AssertionError as e:
        print(f"FAILED: {e}")
        return 1
    finally:
        if browser:
            browser.close()
        for p in reversed(processes):
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
