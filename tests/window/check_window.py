#!/usr/bin/env python3
"""Runs window_demo under its own virtual X server and checks what the window shows.

Starts Xvfb on a free display, runs the demo with Mesa's software renderer, waits for the
window, captures the screen (xwd, converted by ImageMagick), checks pixels at the places the
layout fixes, sends an ordinary key (nothing may happen), enlarges the window (the views must
stay at the lower-left corner), sends Escape and checks that the demo ends with status 0.
Every wait has a timeout; the X server and the demo are always ended.

Window coordinates below are GL window pixels: x from the left, y from the bottom.
"""
import argparse
import os
import random
import select
import signal
import subprocess
import sys
import time

WINDOW = 550
GREY = (191, 192)

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message, flush=True)


# ------------------------------------------------------------------------------------------
# X server, demo and capture


# An unusual screen size tells our server apart from another one that answers on the same
# display number (abstract sockets are shared with other file-system views of the machine).
SCREEN = (641, 643)


def start_xvfb(log):
    """Starts Xvfb on a free display number and returns (server, display)."""
    chooser = random.Random(os.getpid() * 7919 + int(time.time()))
    for _ in range(4):
        number = chooser.randint(200, 899)
        if os.path.exists("/tmp/.X%d-lock" % number):
            continue
        read_end, write_end = os.pipe()
        # -noreset: the server must not start over when its last client leaves (each start
        # writes to the display pipe again, and the demo may not have connected yet).
        server = subprocess.Popen(
            ["Xvfb", ":%d" % number, "-displayfd", str(write_end), "-noreset", "-screen", "0",
             "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=log)
        os.close(write_end)
        # The server writes its display number and a newline once it accepts connections.
        reported = b""
        deadline = time.time() + 10
        while time.time() < deadline and not reported.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], 0.5)
            if ready:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                reported += chunk
        display = ":%d" % number
        env = dict(os.environ, DISPLAY=display)
        env.pop("XAUTHORITY", None)
        if reported.strip() == str(number).encode() and server.poll() is None:
            size = run(["xdotool", "getdisplaygeometry"], env).stdout.split()
            if size == [str(SCREEN[0]).encode(), str(SCREEN[1]).encode()]:
                # The read end stays open as long as the server runs.
                server.display_pipe = read_end
                return server, display
        server.kill()
        server.wait(timeout=10)
        os.close(read_end)
    raise RuntimeError("no virtual X server could be started")


def run(command, env, timeout=20):
    return subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout)


class Screen:
    """One capture of the root window, addressed in window coordinates."""

    def __init__(self, env, height=WINDOW):
        dump = run(["xwd", "-root", "-silent"], env).stdout
        self.xwd = dump
        ppm = subprocess.run(["convert", "xwd:-", "ppm:-"], input=dump,
                             stdout=subprocess.PIPE, timeout=20).stdout
        # P6 header: magic, width, height, maxval, each followed by whitespace; "#" starts a
        # comment that runs to the end of its line.
        fields = []
        at = 0
        while len(fields) < 4:
            while ppm[at:at + 1].isspace():
                at += 1
            if ppm[at:at + 1] == b"#":
                at = ppm.index(b"\n", at)
                continue
            start = at
            while not ppm[at:at + 1].isspace():
                at += 1
            fields.append(ppm[start:at])
        self.width = int(fields[1])
        self.rows = int(fields[2])
        self.data = ppm[at + 1:]
        self.height = height

    def save(self, path, width, height):
        subprocess.run(["convert", "xwd:-", "-crop", "%dx%d+0+0" % (width, height), "+repage",
                        path], input=self.xwd, timeout=20, check=False)

    def at(self, x, y):
        row = self.height - 1 - y
        if x < 0 or row < 0 or x >= self.width or row >= self.rows:
            return (-1, -1, -1)
        i = 3 * (row * self.width + x)
        return tuple(self.data[i:i + 3])


def is_grey(p):
    return p[0] in GREY and p[1] == p[0] and p[2] == p[0]


def is_white(p):
    return p == (255, 255, 255)


def is_black(p):
    return max(p) <= 30 and min(p) >= 0


def is_red(p):
    return p[0] >= 180 and p[1] <= 80 and p[2] <= 80


def is_green(p):
    return p[1] >= 180 and p[0] <= 80 and p[2] <= 80


def is_blue(p):
    return p[2] >= 180 and p[0] <= 80 and p[1] <= 80


def near(screen, x, y, test, radius=2):
    xi, yi = int(round(x)), int(round(y))
    return any(test(screen.at(xi + dx, yi + dy))
               for dx in range(-radius, radius + 1) for dy in range(-radius, radius + 1))


def count(screen, x0, x1, y0, y1, test):
    return sum(1 for x in range(x0, x1 + 1) for y in range(y0, y1 + 1) if test(screen.at(x, y)))


# ------------------------------------------------------------------------------------------
# Checks


def check_box(screen, name, x, y, w, h):
    """White exactly on the scissor rectangle: no background inside, no white on the ring."""
    inside = [(i, j) for i in range(x, x + w) for j in range(y, y + h)]
    grey_inside = [p for p in inside if is_grey(screen.at(*p))]
    white_inside = sum(1 for p in inside if is_white(screen.at(*p)))
    if grey_inside:
        fail("%s box: background grey inside at %s" % (name, grey_inside[0]))
    if white_inside < 0.7 * len(inside):
        fail("%s box: only %d of %d pixels white" % (name, white_inside, len(inside)))
    ring = ([(x - 1, j) for j in range(y - 1, y + h + 1)] +
            [(x + w, j) for j in range(y - 1, y + h + 1)] +
            [(i, y - 1) for i in range(x, x + w)] + [(i, y + h) for i in range(x, x + w)])
    white_ring = [p for p in ring if is_white(screen.at(*p))]
    if white_ring:
        fail("%s box: white outside the box at %s" % (name, white_ring[0]))


def check_axes(screen, name, left_x, bottom_y, x_span, y_span):
    """The axes lie on the box's left and bottom edges (a line on a pixel boundary may light
    either neighbouring pixel row or column)."""
    if not any(all(is_black(screen.at(c, y)) for y in range(*y_span))
               for c in (left_x - 1, left_x)):
        fail("%s: no black left axis at x %d" % (name, left_x))
    if not any(all(is_black(screen.at(x, r)) for x in range(*x_span))
               for r in (bottom_y - 1, bottom_y)):
        fail("%s: no black bottom axis at y %d" % (name, bottom_y))


def check_frame(screen, label):
    for x, y in ((530, 530), (540, 300), (300, 540), (530, 100), (5, 5)):
        if not is_grey(screen.at(x, y)):
            fail("%s: background at (%d, %d) is %s, not grey 0.75" % (label, x, y,
                                                                      screen.at(x, y)))
    check_box(screen, label + " roughness", 45, 30, 211, 211)
    check_box(screen, label + " uncertainty", 301, 30, 211, 211)
    check_box(screen, label + " HHCF", 301, 276, 211, 231)
    check_axes(screen, label + " roughness", 45, 30, (46, 250), (32, 235))
    check_axes(screen, label + " uncertainty", 301, 30, (302, 506), (32, 235))
    # Above the first HHCF point, which lies on the left axis.
    check_axes(screen, label + " HHCF", 301, 276, (302, 506), (340, 500))
    # Caption of the image view: black text in the strip above the image, from column 15.
    if count(screen, 15, 200, 512, 526, is_black) < 30:
        fail("%s: no caption in the strip above the image" % label)


def check_plots(screen):
    check_frame(screen, "plots")

    # Image view: viewport (15, 276, 241, 236), quad 512 x 502 logical units. The picture's
    # first row is its top: the red block must be at the top-left, not the bottom-left.
    if not is_red(screen.at(30, 500)):
        fail("image: red block not at the top-left (30, 500): %s" % (screen.at(30, 500),))
    for x, y in ((30, 285), (30, 470), (75, 380)):
        p = screen.at(x, y)
        if not all(45 <= c <= 85 for c in p):
            fail("image: picture grey expected at (%d, %d), got %s" % (x, y, p))
    for column in (100, 150):
        x = 15 + 241 * (column / 200.0)
        if not near(screen, x, 380, is_red, radius=3):
            fail("image: red line of picture column %d not near window x %.1f" % (column, x))
    if count(screen, 15, 255, 276, 300, is_red) < 10 or count(screen, 15, 255, 480, 506,
                                                               is_red) < 100:
        fail("image: red marks missing along the picture")

    # Roughness plot, viewport (0, 0): xmax 690, ymax 4.5; window = logical / 2.
    def rough(length, value):
        return (0.5 * (90 + 422 * length / 690.0), 0.5 * (60 + 422 * value / 4.5))
    lx, ly = rough(560, 3.2)
    if not near(screen, lx, ly, is_blue, radius=1):
        fail("roughness: blue infinite-length line not at %.1f, %.1f" % (lx, ly))
    gx, gy = rough(560, 2.9)
    if not near(screen, gx, gy, is_green):
        fail("roughness: green LWR curve not at %.1f, %.1f" % (gx, gy))
    rx, ry = rough(560, 1.1)
    if not near(screen, rx, ry, is_red):
        fail("roughness: red CD-variation curve not at %.1f, %.1f" % (rx, ry))
    if count(screen, 105, 165, 255, 268, is_green) < 10:
        fail("roughness: green title piece missing")
    if count(screen, 183, 250, 255, 268, is_red) < 10:
        fail("roughness: red title piece missing")
    # "3sigma infinite" 7 units above the blue line, from logical x 100.
    if count(screen, 50, 110, 183, 192, is_black) < 20:
        fail("roughness: '3sigma infinite' label missing above the blue line")

    # Uncertainty plot, viewport (256, 0): ymax 15.
    px, py = 256 + 0.5 * (90 + 422 * 640 / 690.0), 0.5 * (60 + 422 * 5 / 15.0)
    if not near(screen, px, py, is_black, radius=1):
        fail("uncertainty: black point not at %.1f, %.1f" % (px, py))
    if not is_white(screen.at(int(px), int(py) + 30)):
        fail("uncertainty: unexpected drawing above the last point")

    # HHCF plot, viewport (256, 256): X = 2, yLow -0.4, range 1.6.
    def hhcf(lag_log, value):
        return (256 + 0.5 * (90 + 422 * lag_log / 2.0),
                256 + 0.5 * (40 + 462 * (value + 0.4) / 1.6))
    for lag_log in (1.0, 1.69897):
        bx, by = hhcf(lag_log, 0.5 * lag_log)
        if not near(screen, bx, by, is_blue):
            fail("HHCF: blue point not at %.1f, %.1f" % (bx, by))
    for t in (0.25, 0.5, 0.75):
        fx, fy = hhcf(1.7 * t, -0.3 + 0.85 * t)
        if not near(screen, fx, fy, is_red):
            fail("HHCF: red fitted line not at %.1f, %.1f" % (fx, fy))
    if count(screen, 376, 440, 512, 526, is_black) < 20:
        fail("HHCF: title missing in the strip above the plot")


def check_degenerate(screen):
    check_frame(screen, "degenerate")
    p = screen.at(100, 380)
    if not all(110 <= c <= 145 for c in p):
        fail("degenerate: 1 x 1 picture not shown as grey 128 (got %s)" % (p,))
    if count(screen, 46, 255, 31, 240, lambda q: is_red(q) or is_green(q) or is_blue(q)):
        fail("degenerate: coloured curves drawn without data")


# ------------------------------------------------------------------------------------------


def wait_for(predicate, timeout, step=0.2):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--demo", required=True)
    parser.add_argument("--mode", choices=["plots", "degenerate"], default="plots")
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()

    log = open(os.path.splitext(args.screenshot)[0] + "_xvfb.log", "w")
    server, display = start_xvfb(log)
    env = dict(os.environ, DISPLAY=display, LIBGL_ALWAYS_SOFTWARE="1")
    env.pop("XAUTHORITY", None)
    demo = None
    try:
        demo = subprocess.Popen([args.demo, args.mode], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

        def window_id():
            if demo.poll() is not None:
                return "gone"
            found = run(["xdotool", "search", "--name", "^Rugon 11$"], env).stdout.split()
            return found[0].decode() if found else None
        window = wait_for(window_id, 30)
        if window in (None, "gone"):
            out, err = demo.communicate(timeout=10) if window == "gone" else (b"", b"")
            fail("no window (demo status %s): %s" % (demo.poll(), err.decode().strip()))
            return

        geometry = run(["xdotool", "getwindowgeometry", window], env).stdout.decode()
        if "Position: 0,0" not in geometry or "Geometry: 550x550" not in geometry:
            fail("window not 550 x 550 at (0, 0): " + " ".join(geometry.split()))

        # Software rendering may take a few frames: wait until the boxes are painted.
        def painted():
            s = Screen(env)
            return s if is_white(s.at(400, 400)) and is_grey(s.at(530, 530)) else None
        screen = wait_for(painted, 30, step=0.5)
        if screen is None:
            fail("the window never showed its white plot boxes on grey")
            screen = Screen(env)
        time.sleep(0.5)
        screen = Screen(env)
        screen.save(args.screenshot, WINDOW, WINDOW)
        (check_plots if args.mode == "plots" else check_degenerate)(screen)

        # An ordinary key changes nothing; the window goes on redrawing.
        run(["xdotool", "mousemove", "275", "275"], env)
        run(["xdotool", "key", "a"], env)
        time.sleep(1.0)
        if demo.poll() is not None:
            fail("the demo ended on an ordinary key (status %s)" % demo.poll())
            return
        again = Screen(env)
        if again.data != screen.data:
            fail("the window changed after an ordinary key")

        if args.mode == "plots":
            # Enlarged, the views stay at the lower-left corner with grey above and right.
            run(["xdotool", "windowsize", window, "600", "600"], env)

            def enlarged():
                g = run(["xdotool", "getwindowgeometry", window], env).stdout.decode()
                return "Geometry: 600x600" in g
            if not wait_for(enlarged, 10):
                fail("the window could not be enlarged")
            else:
                time.sleep(1.0)
                big = Screen(env, height=600)
                big.save(os.path.splitext(args.screenshot)[0] + "_enlarged.png", 600, 600)
                check_plots(big)
                for x, y in ((580, 580), (580, 100), (100, 580)):
                    if not is_grey(big.at(x, y)):
                        fail("enlarged: (%d, %d) is not background grey" % (x, y))

        run(["xdotool", "mousemove", "275", "275"], env)
        run(["xdotool", "key", "Escape"], env)
        try:
            status = demo.wait(timeout=10)
        except subprocess.TimeoutExpired:
            fail("the demo did not end on Escape")
            return
        if status != 0:
            fail("the demo ended on Escape with status %d" % status)
    finally:
        if demo is not None and demo.poll() is None:
            demo.kill()
            demo.wait(timeout=10)
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(timeout=10)
        os.close(server.display_pipe)


if __name__ == "__main__":
    # A test runner's timeout ends the script with SIGTERM: still end the demo and the server.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit("ended by SIGTERM"))
    try:
        main()
    except Exception as error:  # a broken tool is a failed test, not a hang
        fail("%s: %s" % (type(error).__name__, error))
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("all window checks passed")
