"""A whole session of the real analyser, driven as a user would through the
accessibility bus: a plug-in active, three streams run, a file that is no
stream, a long parse cancelled, the clock view's colours on screen, Quit.
The user's own 0xe0.mpeg in the working directory must survive all of it,
and the facts on the status line must be psdump's.

Usage (through run_session.sh): viewer_session.py TARVEL_VIEWER PSDUMP DATA_DIR
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

from dogtail.config import config

config.actionDelay = 0.1
config.defaultDelay = 0.1
config.logDebugToFile = False
from dogtail import tree  # noqa: E402  (reads the configuration above)

viewer, psdump, data = sys.argv[1:4]
work = tempfile.mkdtemp(prefix="viewer-session-")
tmp = os.path.join(work, "tmp")
os.mkdir(tmp)
env = dict(os.environ, HOME=work, TMPDIR=tmp)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what, file=sys.stderr)


# Every wait is for a condition, with a limit far above what a loaded
# machine needs; no search relies on dogtail's own count of retries.
LIMIT = 60.0


def wait_for(predicate, seconds=LIMIT):
    end = time.time() + seconds
    while time.time() < end:
        try:
            value = predicate()
            if value:
                return value
        except Exception:  # the widget tree changes under us
            pass
        time.sleep(0.05)
    return None


def psdump_facts(stream):
    """Status line text made from psdump's own dump of the stream."""
    text = subprocess.run([psdump, stream, "print_pack_count"], capture_output=True, text=True).stdout
    packs = int(re.search(r"^Total Packs = (\d+)$", text, re.M).group(1))
    scr = [(int(a) & 0xFFFFFFFF, int(b)) for a, b in re.findall(r"^\tscr = (-?\d+):(\d+)$", text, re.M)]
    ticks = ((scr[-1][0] - scr[0][0]) & 0xFFFFFFFF) * 300 + scr[-1][1] - scr[0][1]
    streams = sorted(set(re.findall(r"^\t\t\tstream_id = 0x([0-9a-f]+)  \((\w+)\)$", text, re.M)),
                     key=lambda s: int(s[0], 16))
    # Video and audio go by their coding, the other streams by psdump's name.
    kind = {"video_stream": "MPEG video", "audio_stream": "MPEG audio"}
    return "%s: %d packs, %.3f s from first to last SCR\nStreams: %s" % (
        os.path.basename(stream), packs, ticks / 27e6,
        ", ".join("0x%s %s" % (i, kind.get(n, n)) for i, n in streams))


# The user's own extracted stream, a bare video elementary stream, and a
# sparse 4 GiB stream (copies of a sample 64 MiB apart) whose parse is long.
user_file = os.path.join(work, "0xe0.mpeg")
user_bytes = b"the user's own video stream\n"
with open(user_file, "wb") as f:
    f.write(user_bytes)
with open(os.path.join(work, "video.m2v"), "wb") as f:
    f.write(b"\x00\x00\x01\xb3\x16\x01\x20\x13" + b"\x55" * 4000)
sample = os.path.join(data, "mpeg2_bframes_ffmpeg.mpg")
with open(sample, "rb") as f:
    copy = f.read()
with open(os.path.join(work, "long.mpg"), "wb") as f:
    for k in range(64):
        f.seek(k << 26)
        f.write(copy)

out = open(os.path.join(work, "out.txt"), "w+")
err = open(os.path.join(work, "err.txt"), "w+")
proc = subprocess.Popen([viewer], cwd=work, env=env, stdout=out, stderr=err)
try:
    app = wait_for(lambda: tree.root.application("tarvel_viewer", retry=False))

    def find(parent, **what):
        node = wait_for(lambda: parent.child(retry=False, **what))
        if node is None:
            raise RuntimeError("not found: %r" % what)
        return node

    main = find(app, name="Tarvel", roleName="frame")
    status = wait_for(lambda: main.findChild(
        lambda n: n.roleName == "label" and n.name.startswith("No stream"), retry=False))

    def press(parent, name):
        find(parent, name=name, roleName="push button").doActionNamed("click")

    def run(path):
        press(main, "Run")
        dialog = find(app, name="Run Dialog", showingOnly=True)
        find(dialog, roleName="text").text = path
        press(dialog, "OK")
        return dialog

    # The video plug-in active.
    press(main, "Plugins")
    plugins = find(app, name="Activate Plugins")
    find(plugins, name="MPEG video: sequence headers and picture types", roleName="check box").doActionNamed("click")
    press(plugins, "OK")

    run(sample)
    check(wait_for(lambda: status.name.startswith("mpeg2_bframes_ffmpeg.mpg: ")), "status line after a run")
    shown = status.name

    # A bare video stream: psdump's words in a message, the model stays.
    run("video.m2v")
    alert = find(app, roleName="alert")
    words = [n.name for n in alert.findChildren(lambda n: n.roleName == "label")]
    check("Not an ISO 1172-1 or ISO 13818-1 stream\nLooks like an MPEG video stream" in words,
          "message for a video elementary stream: %r" % words)
    press(alert, "OK")
    check(status.name == shown, "status line kept after a file that is no stream")

    # Cancel during a long parse: the previous model stays.
    dialog = run("long.mpg")
    bar = wait_for(lambda: dialog.child(roleName="progress bar", showingOnly=True, retry=False))
    check(bar is not None, "progress bar during a long parse")
    press(dialog, "Cancel")
    check(wait_for(lambda: not dialog.showing), "Cancel hides the dialog")
    check(status.name == shown, "status line kept after Cancel")

    # The status line's facts are psdump's.
    two_audio = os.path.join(data, "mpeg2_two_audio_ffmpeg.mpg")
    run(two_audio)
    check(wait_for(lambda: status.name.startswith("mpeg2_two_audio")), "status line of the second stream")
    check(status.name == psdump_facts(two_audio), "status line %r against psdump %r" % (status.name, psdump_facts(two_audio)))

    # The clock view on screen: video blue, the two audio streams red and green.
    press(main, "Clocks")
    clocks = find(app, name="Clock Relationships", roleName="frame")
    colours = (("blue", b"\x00\x00\xff"), ("red", b"\xff\x00\x00"), ("green", b"\x00\x99\x00"))
    counts = {}

    def plotted():
        """True once the window on screen shows every series."""
        (x, y), (w, h) = clocks.position, clocks.size
        shot = os.path.join(work, "shot.rgb")
        subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "-depth", "8",
                        "rgb:" + shot], check=True)
        with open(shot, "rb") as f:
            pixels = f.read()
        counts.clear()
        for i in range(0, len(pixels) - 2, 3):
            counts[pixels[i:i + 3]] = counts.get(pixels[i:i + 3], 0) + 1
        return all(counts.get(rgb, 0) >= 20 for _, rgb in colours)

    wait_for(plotted)
    for name, rgb in colours:
        check(counts.get(rgb, 0) >= 20, "%s pixels in the clock view: %d" % (name, counts.get(rgb, 0)))

    press(main, "Quit")
    check(proc.wait(LIMIT) == 0, "exit status 0 after Quit")
finally:
    if proc.poll() is None:
        proc.kill()
        proc.wait()

out.seek(0)
printed = out.read()
check(re.search(r"mpeg-video: " + re.escape(tmp) + r"/tarvel_viewer\.\w+/0xe0\.mpeg \(stream #xe0\)", printed),
      "the plug-in read the extracted stream in the private directory:\n" + printed)
check("SKIPPING_HEADER_INFO" not in printed, "no parser lines on the console")
check(os.listdir(tmp) == [], "private directory removed at Quit: %r" % os.listdir(tmp))
with open(user_file, "rb") as f:
    check(f.read() == user_bytes, "the user's 0xe0.mpeg is untouched")

# SIGTERM and SIGINT also remove the private directory.  A FIFO named on
# the command line is refused with a message instead of blocking the start.
fifo = os.path.join(work, "fifo")
os.mkfifo(fifo)


def viewer_child(**what):
    """A node of the running analyser, once it is there."""
    return wait_for(lambda: tree.root.application("tarvel_viewer", retry=False).child(retry=False, **what))


for sig, stream in ((signal.SIGTERM, fifo), (signal.SIGINT, sample)):
    err.seek(0)
    err.truncate()
    proc = subprocess.Popen([viewer, stream], cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=err)
    check(wait_for(lambda: os.listdir(tmp)), "private directory made at start-up")
    # The program is in its main loop, its signal handlers long set, once
    # its window is on the accessibility bus.
    check(viewer_child(name="Tarvel", roleName="frame"), "main window after start-up")
    if stream == fifo:
        check(viewer_child(roleName="alert"),
              "message window for a FIFO on the command line")
        err.seek(0)
        check(err.read() == "Cannot analyse %s: not a regular file\n" % fifo, "message for a FIFO")
    proc.send_signal(sig)
    proc.wait(LIMIT)
    check(os.listdir(tmp) == [], "private directory removed on signal %d" % sig)

if failures:
    err.seek(0)
    print("standard error of the program:\n" + err.read(), file=sys.stderr)
    sys.exit(1)
subprocess.run(["rm", "-rf", work])
print("viewer session: passed")
