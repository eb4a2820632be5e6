#!/usr/bin/env python3
"""Grabs a window of the real program from an X server of its own, at a given display scale.

usage: capture.py [--dpi N] [--wine PREFIX] [--wait REGEX] --title REGEX --output FILE
                  -- PROGRAM ARG...

Starts Xvfb with its Xft.dpi resource at N (default 96), from which Qt on X takes the display
scale, and runs a copy of PROGRAM from a temporary folder of its own, since the installer
downloads into its own folder. With --wine, PROGRAM runs under Wine in the prefix PREFIX (made
first when it doesn't exist), whose LogPixels, the Windows display scale, it sets to N.
"{server}" in an argument stands for an HTTP server on 127.0.0.1 that answers /Update.zip with
half of a 128 KiB file and then falls silent (the bar stays half full), takes /silent/... and
never answers (the bar stays empty), and answers anything else with 404. Once a window whose
name matches --wait (default: --title) shows, it grabs the screen area of the window matching
--title as soon as that holds still, writes it as PNG and stops everything it started.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

UPDATE_SIZE = 128 * 1024
# Every process it starts ends by itself after this many seconds, whatever becomes of this one.
LIFETIME = 120


class UpdateHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path.startswith("/silent/"):
            self.server.stopped.wait()
            return
        if self.path != "/Update.zip":
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(UPDATE_SIZE))
        self.end_headers()
        self.wfile.write(bytes(UPDATE_SIZE // 2))
        self.wfile.flush()
        self.server.stopped.wait()

    def log_message(self, format, *args):
        pass


def stop(started):
    """Stops the processes, the last started first."""
    # timeout passes the signal on to what it runs.
    for process in reversed(started):
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()


def window_named(pattern, environment):
    found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", pattern],
                           env=environment, capture_output=True, text=True, timeout=30)
    return found.stdout.split()[0]


def grab(window, environment):
    """The window's area of the screen, with whatever lies on top of it, as PNG."""
    geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                              env=environment, capture_output=True, text=True, check=True,
                              timeout=30).stdout
    value = dict(re.findall(r"(\w+)=(\d+)", geometry))
    area = "{WIDTH}x{HEIGHT}+{X}+{Y}".format(**value)
    return subprocess.run(["import", "-window", "root", "-crop", area, "+repage", "png:-"],
                          env=environment, capture_output=True, check=True, timeout=30).stdout


def set_log_pixels(dpi, environment):
    """Makes the Wine prefix when it is missing, and sets its display scale."""
    if not os.path.isdir(environment["WINEPREFIX"]):
        subprocess.run(["wineboot", "-i"], env=environment, check=True, timeout=LIFETIME)
    for key in (r"HKCU\Control Panel\Desktop",
                r"HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts"):
        subprocess.run(["wine", "reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                        str(dpi), "/f"], env=environment, check=True, timeout=60,
                       stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dpi", type=int, default=96)
    parser.add_argument("--wine", metavar="PREFIX")
    parser.add_argument("--wait")
    parser.add_argument("--title", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("program")
    parser.add_argument("arguments", nargs="*")
    arguments = parser.parse_args()
    # A stop from outside still runs the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    # A Wine prefix without Mono or Gecko, whose installers would ask for a download, and
    # without desktop entries.
    wine_environment = dict(os.environ, WINEDEBUG="-all",
                            WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
    if arguments.wine:
        wine_environment["WINEPREFIX"] = os.path.abspath(arguments.wine)
    started = []
    folder = tempfile.mkdtemp(prefix="capture-")
    server = ThreadingHTTPServer(("127.0.0.1", 0), UpdateHandler)
    server.daemon_threads = True
    server.stopped = threading.Event()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        # -noreset: the server would forget the resources that xrdb sets when xrdb, its only
        # client so far, disconnects. What it says on the way is about the displays it finds
        # taken while it looks for a free one.
        display = subprocess.Popen(["timeout", str(LIFETIME), "Xvfb", "-displayfd", "1",
                                    "-noreset", "-nolisten", "tcp", "-screen", "0",
                                    "1600x1200x24"], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        started.append(display)
        # The Linux program on X without the OpenGL integration it doesn't use (Wine passes no
        # QT_ variable on to a Windows program).
        environment = dict(wine_environment, DISPLAY=":" + display.stdout.readline().strip(),
                           QT_QPA_PLATFORM="xcb", QT_XCB_GL_INTEGRATION="none")
        subprocess.run(["xrdb", "-nocpp", "-merge"], input="Xft.dpi: %d\n" % arguments.dpi,
                       env=environment, text=True, check=True, timeout=30)
        if arguments.wine:
            set_log_pixels(arguments.dpi, environment)

        address = "http://127.0.0.1:%d" % server.server_address[1]
        program = os.path.join(folder, os.path.basename(arguments.program))
        shutil.copy(arguments.program, program)
        command = ["wine"] if arguments.wine else []
        command += [program] + [a.replace("{server}", address) for a in arguments.arguments]
        started.append(subprocess.Popen(["timeout", str(LIFETIME)] + command, env=environment,
                                        cwd=folder, stdout=subprocess.DEVNULL))

        window_named(arguments.wait or arguments.title, environment)
        window = window_named(arguments.title, environment)
        # A window is drawn in full once two grabs in a row are the same.
        previous, picture = None, grab(window, environment)
        for _ in range(50):
            if picture == previous:
                break
            time.sleep(0.3)
            previous, picture = picture, grab(window, environment)
        else:
            sys.exit("The window %s did not hold still." % arguments.title)
        with open(arguments.output, "wb") as output:
            output.write(picture)
    finally:
        server.stopped.set()
        server.shutdown()
        stop(started)
        if arguments.wine:
            # Ends the prefix's server, which stays bound to this display otherwise, and waits
            # for it to be gone: a Wine command started while it goes down fails.
            for option in ("-k", "-w"):
                subprocess.run(["wineserver", option], env=wine_environment, timeout=30)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
