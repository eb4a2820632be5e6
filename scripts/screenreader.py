#!/usr/bin/python3
"""Prints what a screen reader is told of the real program on Linux, through AT-SPI.

usage: screenreader.py PROGRAM

Runs a copy of PROGRAM from a temporary folder of its own, on an X server, a D-Bus session bus
and an accessibility bus of its own (at-spi2-core's launcher and registry), and reads it as a
screen reader such as Orca does, through Debian's pyatspi. The update comes from an HTTP server
on 127.0.0.1 that sends 1 MiB of zeros in 1 KiB pieces, so that the bar takes each of its
thousand steps; zeros are no zip archive, so the download ends in the "Failed to update." box.
It prints the window's parts as the reader finds them once the window has the focus (role,
name, value, focus), how many changes of the bar's value the reader was told and the last one,
the box's parts, and the program's exit code once the box is closed through its button.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from screenshot.capture import stop

# Every process it starts ends by itself after this many seconds, whatever becomes of this one.
LIFETIME = 120


class UpdateHandler(BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", str(1024 * 1024))
        self.end_headers()
        for _ in range(1024):
            self.wfile.write(bytes(1024))
            self.wfile.flush()
            time.sleep(0.002)

    def log_message(self, format, *args):
        pass


def parts(node, depth=0):
    """The node and everything below it, a line each, indented by depth."""
    import pyatspi  # loaded once the accessibility bus is up, which it looks for as it loads
    value = " %g%%" % node.queryValue().currentValue if "Value" in node.get_interfaces() else ""
    focused = " focused" if node.getState().contains(pyatspi.STATE_FOCUSED) else ""
    lines = ["%s%s %r%s%s" % ("  " * depth, node.getRoleName(), node.name, value, focused)]
    for child in node:
        lines += parts(child, depth + 1)
    return lines


def main(program):
    # A stop from outside still runs the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    started = []
    folder = tempfile.mkdtemp(prefix="screenreader-")
    server = ThreadingHTTPServer(("127.0.0.1", 0), UpdateHandler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()

    def start(command, **options):
        started.append(subprocess.Popen(["timeout", str(LIFETIME)] + command, **options))
        return started[-1]

    try:
        # -noreset: the server would forget the accessibility bus's address, which the
        # launcher leaves on the root window, when its last client leaves.
        display = start(["Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp"],
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        os.environ.update(DISPLAY=":" + display.stdout.readline().strip(),
                          XDG_RUNTIME_DIR=folder, QT_QPA_PLATFORM="xcb",
                          QT_XCB_GL_INTEGRATION="none")
        start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
              stderr=subprocess.DEVNULL)
        subprocess.run(["timeout", "30", "sh", "-c", "until xprop -root AT_SPI_BUS | grep -q "
                        "unix:; do sleep 0.1; done"], check=True)
        import pyatspi
        from gi.repository import GLib

        told = []
        pyatspi.Registry.registerEventListener(
            lambda event: told.append(event.source.queryValue().currentValue),
            "object:property-change:accessible-value")
        copy = shutil.copy(program, folder)
        run = start([copy, "x", "http://127.0.0.1:%d/Update.zip" % server.server_address[1]],
                    stdout=subprocess.DEVNULL)
        # Without a window manager nobody hands out the focus, as one does to a new window.
        subprocess.run(["xdotool", "search", "--sync", "--name", "^Installing update",
                        "windowfocus", "--sync"], check=True, timeout=30)
        seen = []
        alerted = []

        def look():
            for application in pyatspi.Registry.getDesktop(0):
                for window in application or []:
                    lines = parts(window)
                    # The window once Qt has taken in the focus it was given.
                    if window.name in seen or not any(" focused" in line for line in lines):
                        continue
                    # The bar's last change may still be on its way when the box shows: its
                    # events and the box reach the reader separately. It gets three seconds.
                    if window.getRoleName() == "alert":
                        alerted.append(time.monotonic())
                        if (not told or told[-1] != 100) and alerted[-1] - alerted[0] < 3:
                            continue
                    seen.append(window.name)
                    print("\n".join(lines), flush=True)
                    if window.getRoleName() == "alert":
                        last = "%g%%" % told[-1] if told else "none"
                        print("value changes told: %d, the last %s" % (len(told), last))
                        pyatspi.findDescendant(window, lambda node: node.name == "CLOSE") \
                            .queryAction().doAction(0)
                        pyatspi.Registry.stop()
            return True

        GLib.timeout_add(100, look)
        GLib.timeout_add(LIFETIME * 1000, pyatspi.Registry.stop)
        pyatspi.Registry.start()
        print("exit code", run.wait(30))
    finally:
        server.shutdown()
        stop(started)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.splitlines()[2])
    if "LARKSPUR_SCREENREADER_SESSION" in os.environ:
        main(os.path.abspath(sys.argv[1]))
    else:
        # Again, on a session bus of its own, which ends with it.
        os.environ["LARKSPUR_SCREENREADER_SESSION"] = "1"
        os.execvp("timeout", ["timeout", str(LIFETIME + 60), "dbus-run-session", "--",
                              "/usr/bin/python3"] + sys.argv)
