"""The window as a screen reader drives it, through the accessibility bus only.

Run by window_atspi.sh, which starts the bus, an X server, a private PulseAudio with a
500 Hz + 3 kHz tone on the recording side, and strataeq. Checks:
  - every focusable control has a name, and the band sliders name their bands; the
    three menu buttons say they open a menu and Vis Enable says it is on;
  - Press on Start starts the route and the focus goes to Stop;
  - the 2-4 kHz band set to its bottom through the value interface cuts 3 kHz in the
    live sound by more than 30 dB against 500 Hz, and its description says so;
  - Press on Stop brings the focus back to Start (the window is then screenshotted
    with the 2-4 kHz slider focused);
  - Press on Save answers at once, the dialog then opens and Cancel (pressed through
    the bus too) closes it;
  - a file-to-file run chosen through the menus and dialogs ends with a description
    change on the readout box ("Processing done"), and the output is written.
Prints what it measured; exits non-zero on the first failure.
"""
import math
import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

BANDS = ["0-60 Hz", "60-120 Hz", "120-200 Hz", "200-600 Hz", "600-800 Hz", "800 Hz-1 Khz", "1-2 Khz",
         "2-4 Khz", "4-6 Khz", "6-8 Khz", "8-10 Khz", "10-12 Khz", "12-14 Khz", "14-16 Khz", "16-20 Khz"]
work, window, shot = sys.argv[1:4]


def fail(text):
    print("FAIL: " + text, file=sys.stderr)
    sys.exit(1)


def wait(pred, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = pred()
        if value:
            return value
        # Events registered for arrive through the main context.
        while GLib.MainContext.default().iteration(False):
            pass
        time.sleep(0.05)
    return pred()


def walk(node, out):
    out.append(node)
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            walk(child, out)
    return out


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name in ("strataeq", "Strata Equalizer 1.0"):
            return app
    return None


def states(node):
    return node.getState()


def press(node):
    action = node.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    if "Press" not in names:
        fail("%s has no Press action (%s)" % (node.name, names))
    start = time.monotonic()
    action.doAction(names.index("Press"))
    return time.monotonic() - start


def find(nodes, role, name):
    for n in nodes:
        if n.getRole() == role and n.name == name:
            return n
    fail("no %s named %r" % (role, name))


def level(path, low, high):
    """RMS in dBFS of the band low..high Hz of a recording, from 0.5 s in."""
    out = subprocess.run(["sox", path, "-n", "trim", "0.5", "remix", "1", "sinc", "%d-%d" % (low, high), "stat"],
                         capture_output=True, text=True).stderr
    for line in out.splitlines():
        if line.startswith("RMS     amplitude"):
            value = float(line.split()[-1])
            return 20 * math.log10(value) if value > 0 else -200.0
    fail("sox gave no level for " + path)


def record(path, seconds):
    rec = subprocess.Popen(["parecord", "-d", "strataeq_b.monitor", "--rate=44100", "--channels=2",
                            "--format=s16le", "--file-format=wav", path])
    time.sleep(seconds)
    rec.send_signal(2)
    rec.wait()


app = wait(application, 20)
if app is None:
    fail("strataeq is not on the accessibility bus")
frame = wait(lambda: next((app.getChildAtIndex(i) for i in range(app.childCount)
                           if app.getChildAtIndex(i).getRole() == pyatspi.ROLE_FRAME), None))
if frame is None:
    fail("the window is not a frame: %s" % [app.getChildAtIndex(i).getRoleName() for i in range(app.childCount)])
nodes = walk(frame, [])

# Names.
focusable = [n for n in nodes if states(n).contains(pyatspi.STATE_FOCUSABLE) and states(n).contains(pyatspi.STATE_SHOWING)]
unnamed = ["%s at %s" % (n.getRoleName(), n.queryComponent().getPosition(pyatspi.WINDOW_COORDS)) for n in focusable if not n.name]
print("focusable controls: %d, unnamed: %d" % (len(focusable), len(unnamed)))
if len(focusable) < 25 or unnamed:
    fail("focusable controls without a name: %s" % unnamed)
sliders = [n.name for n in focusable if n.getRole() == pyatspi.ROLE_SLIDER]
print("sliders: %s" % sliders)
if [s for s in sliders if s in BANDS] != BANDS:
    fail("the band sliders do not name their bands")
menus = [n.name for n in focusable if n.description.endswith("opens a menu")]
vis = find(nodes, pyatspi.ROLE_PUSH_BUTTON, "Vis Enable")
print("menu buttons: %s; Vis Enable: %r" % (menus, vis.description))
if len(menus) != 3 or vis.description != "on" or not states(vis).contains(pyatspi.STATE_CHECKED):
    fail("the menu buttons or Vis Enable do not say what they are")

# Start through the bus: the route runs and the focus moves to Stop.
start = find(nodes, pyatspi.ROLE_PUSH_BUTTON, "Start")
stop = find(nodes, pyatspi.ROLE_PUSH_BUTTON, "Stop")
start.queryComponent().grabFocus()
if not wait(lambda: states(start).contains(pyatspi.STATE_FOCUSED)):
    fail("Start did not take the focus")
press(start)
if not wait(lambda: states(stop).contains(pyatspi.STATE_FOCUSED)):
    focused = [n.name for n in nodes if states(n).contains(pyatspi.STATE_FOCUSED)]
    fail("after Start the focus is on %s, not Stop" % focused)
print("after Start the focus is on Stop")

# A band set through the bus changes what is heard.
time.sleep(1.0)
record(os.path.join(work, "flat.wav"), 2.0)
band = find(nodes, pyatspi.ROLE_SLIDER, "2-4 Khz")
value = band.queryValue()
value.currentValue = value.minimumValue
time.sleep(0.5)
record(os.path.join(work, "cut.wav"), 2.0)
print("2-4 Khz slider: value %s, description %r" % (value.currentValue, band.description))
if band.description != "\u221299 dB":
    fail("the slider's description is %r" % band.description)
flat = level(os.path.join(work, "flat.wav"), 400, 600), level(os.path.join(work, "flat.wav"), 2800, 3200)
cut = level(os.path.join(work, "cut.wav"), 400, 600), level(os.path.join(work, "cut.wav"), 2800, 3200)
change = (cut[1] - cut[0]) - (flat[1] - flat[0])
print("flat: 500 Hz %.1f, 3 kHz %.1f dBFS; after the set: 500 Hz %.1f, 3 kHz %.1f dBFS; 3 kHz against 500 Hz %.1f dB"
      % (flat[0], flat[1], cut[0], cut[1], change))
if flat[0] < -30:
    fail("no tone came through")
if change > -30:
    fail("the band set through the bus cut 3 kHz by only %.1f dB" % change)

# Stop through the bus: the focus comes back to Start.
press(stop)
if not wait(lambda: states(start).contains(pyatspi.STATE_FOCUSED)):
    focused = [n.name for n in nodes if states(n).contains(pyatspi.STATE_FOCUSED)]
    fail("after Stop the focus is on %s, not Start" % focused)
print("after Stop the focus is on Start")

# The focused band slider as the screen shows it.
band.queryComponent().grabFocus()
if not wait(lambda: states(band).contains(pyatspi.STATE_FOCUSED)):
    fail("the 2-4 Khz slider did not take the focus")
time.sleep(0.2)
subprocess.run(["import", "-window", window, shot], check=True)
# Press on Save answers at once; the dialog comes after, and Cancel closes it.
save = find(nodes, pyatspi.ROLE_PUSH_BUTTON, "Save")
took = press(save)
print("Press on Save answered in %.3f s" % took)
if took > 5:
    fail("Press on Save blocked for %.1f s" % took)


def dialog():
    for i in range(app.childCount):
        try:
            child = app.getChildAtIndex(i)
            if child is not None and child.getRole() in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_FILE_CHOOSER):
                return child
        except GLib.GError:
            # A closing dialog can leave the bus between the count and the look.
            continue
    return None


box = wait(dialog)
if box is None:
    fail("Press on Save opened no dialog")
print("dialog: %r" % box.name)
took = press(find(walk(box, []), pyatspi.ROLE_PUSH_BUTTON, "Cancel"))
if not wait(lambda: dialog() is None):
    fail("Cancel did not close the dialog")



# A file run through the bus: the source and the sink chosen in their menus and dialogs.
def choose_file(button, entry, path, accept):
    # Qt's bridge does not list the popup menu; its first entry is taken with the keys.
    press(button)
    time.sleep(0.5)
    subprocess.run(["xdotool", "key", "Down", "Return"], check=True)
    box = wait(dialog)
    if box is None:
        fail("%r opened no dialog" % entry)
    field = next((n for n in walk(box, []) if n.getRole() == pyatspi.ROLE_TEXT
                  and states(n).contains(pyatspi.STATE_EDITABLE) and states(n).contains(pyatspi.STATE_SHOWING)), None)
    if field is None:
        fail("the %r dialog has no file name field" % entry)
    field.queryEditableText().setTextContents(path)
    press(find(walk(box, []), pyatspi.ROLE_PUSH_BUTTON, accept))
    if not wait(lambda: dialog() is None):
        fail("the %r dialog did not close" % entry)


# Qt 6.4's bridge sends the changed object, not the new text: the listener reads it.
told = []
pyatspi.Registry.registerEventListener(
    lambda e: told.append((e.source.getRoleName(), e.source.description)), "object:property-change:accessible-description")
source, output = os.path.join(work, "short.wav"), os.path.join(work, "short_eq.wav")
choose_file(find(nodes, pyatspi.ROLE_PUSH_BUTTON, "Default: Monitor of StrataEq-Null-A"), "From File", source, "Open")
choose_file(find(nodes, pyatspi.ROLE_PUSH_BUTTON, "Default: StrataEq-Null-B"), "To File", output, "Save")
press(start)
done = wait(lambda: next((t for t in told if t == ("panel", "Processing done")), None), 20)
print("told on the bus: %s" % [t for t in told if t[1].startswith("Processing")])
if done is None:
    fail("the end of the file run was not told")
if not wait(lambda: os.path.exists(output) and os.path.getsize(output) > 44100 * 4):
    fail("the file run wrote no output")

press(find(nodes, pyatspi.ROLE_PUSH_BUTTON, "Close"))
print("accessibility bus: passed")
