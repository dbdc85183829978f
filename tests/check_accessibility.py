#!/usr/bin/env python3
"""The windows as a screen reader reads them: starts vinzal on a demo book on a display and a
session bus of its own, with the accessibility bus, and walks through AT-SPI (pyatspi, as Orca does)
the trees of the card, of the windows a user opens from it by the keyboard (the import preview, the
duplicates window, the print preview) and by its buttons (the table view, the search box and the
message that follows), and of the progress of a long task, which SHOW_PROGRESS holds open until its
Annulla is pressed. In every one, every control that takes the keyboard has a name and no two controls
side by side share name and role; a dialog is read as one, a message as an alert (or a dialog) whose
text is read. The card's twelve boxes carry the names of their fields; the window's description
follows the card's state and the bar's the contact each move reaches. The list boxes that choose the
value to keep of each field (duplicates) and the field of each column (import preview) are in the
tree, each read by the label that names it and with the choice it shows.

Usage: check_accessibility.py VINZAL VINZAL_DB SHOW_PROGRESS
Needs Xvfb, dbus-daemon, at-spi2-core and python3-pyatspi; everything it starts it stops.
"""

import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# The names of Text1 to Text12, in the order the card makes them: each the caption of the button
# that searches its field, and the key's "ID".
BOX_NAMES = [
    "Genere", "Cognome e nome o denominazione", "Telefono casa", "Telefonino", "Fax", "E-Mail",
    "Telefono ufficio", "Osservazioni", "Ulteriore identificativo", "Città", "Indirizzo", "ID",
]
BAR_NAMES = ["Primo contatto", "Contatto precedente", "Contatto successivo", "Ultimo contatto"]
TEXT_ROLES = {"text", "entry", "paragraph", "password text"}
WAIT = 60  # seconds for anything to appear; the whole check stays well inside CTest's timeout
# The list boxes of the two windows, by the label a screen reader reads them by: the choice each shows.
# The book's two Rossi Mario, IDs 21 and 22, differ only in the home number.
DUPLICATE_CHOICES = {
    "Genere:": "ID 21: (vuoto)",
    "Cognone e nome o denominazione:": "ID 21: Rossi Mario",
    "Telelefono casa:": "ID 21: 010 123456",
    "Telefonino:": "ID 21: (vuoto)",
    "Fax:": "ID 21: (vuoto)",
    "E-Mail:": "ID 21: (vuoto)",
    "Telefono Ufficio:": "ID 21: (vuoto)",
    "Osservazioni:": "Tutte, unite",
    "ulteriore identificativo:": "ID 21: (vuoto)",
    "Città:": "ID 21: Genova",
    "Indirizzo:": "ID 21: (vuoto)",
}
PREVIEW_CHOICES = {
    "«Cognone e nome o denominazione»:": "Cognone e nome o denominazione",
    "«Telelefono casa»:": "Telelefono casa",
    "«Città»:": "Città",
}


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


# --- the reader: runs in a process of its own on the private buses, so that a hung bus call is
# --- ended by the parent's timeout rather than hanging the test.

def node_of(acc, depth=0):
    states = acc.getState()
    import pyatspi
    node = {
        "name": acc.name or "",
        "role": acc.getRoleName(),
        "description": acc.description or "",
        "focusable": states.contains(pyatspi.STATE_FOCUSABLE),
        "showing": states.contains(pyatspi.STATE_SHOWING),
        "labels": [r.getTarget(i).name for r in acc.getRelationSet()
                   if r.getRelationType() == pyatspi.RELATION_LABELLED_BY for i in range(r.getNTargets())],
        "children": [],
    }
    if depth < 12:
        for i in range(acc.childCount):
            child = acc.getChildAtIndex(i)
            if child is not None:
                node["children"].append(node_of(child, depth + 1))
    return node


def find(acc, test, depth=0):
    if test(acc):
        return acc
    if depth < 12:
        for i in range(acc.childCount):
            child = acc.getChildAtIndex(i)
            if child is not None:
                found = find(child, test, depth + 1)
                if found is not None:
                    return found
    return None


def program_window(wanted, wait=WAIT):
    """The first of the program's windows for which wanted(window) holds, waiting for it."""
    import pyatspi
    deadline = time.monotonic() + wait
    while True:
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is None or app.name.lower() != "vinzal":
                continue
            for j in range(app.childCount):
                window = app.getChildAtIndex(j)
                try:
                    if window is not None and wanted(window):
                        return window
                except Exception:  # a window closing under the reader
                    pass
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.3)


def card_window():
    def filled(window):
        if window.name != "Nomelia elettronica" or window.getRoleName() in ("dialog", "alert"):
            return False
        # Filled once the book is open: the last box, the key, shows a number.
        boxes = []
        find(window, lambda a: a.getRoleName() in TEXT_ROLES and boxes.append(a) is not None)
        return bool(boxes) and bool(boxes[-1].queryText().getText(0, -1).strip())
    return program_window(filled)


def keys(*codes):
    """Presses the keys (X key codes) in order and lets them go in reverse, as a user's chord; they go
    where the keyboard is (with no window manager, an open menu holds it)."""
    import pyatspi
    for code in codes:
        pyatspi.Registry.generateKeyboardEvent(code, None, pyatspi.KEY_PRESS)
    for code in reversed(codes):
        pyatspi.Registry.generateKeyboardEvent(code, None, pyatspi.KEY_RELEASE)


KEY_I, KEY_T, KEY_S = 31, 28, 39  # the X server's standard key codes


def dialog_named(start):
    return program_window(lambda w: w.getRoleName() in ("dialog", "alert") and w.name.startswith(start))


def other_dialog(but):
    return program_window(lambda w: w.getRoleName() in ("dialog", "alert") and w.name != but)


def press(window, name):
    button = find(window, lambda a: a.name == name and a.getRoleName() == "push button")
    if button is None:
        return False
    action = button.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("Press", "press", "click"):
            return action.doAction(i)
    return action.doAction(0)


def wait_for(read, wanted):
    deadline = time.monotonic() + WAIT
    seen = read()
    while seen != wanted and time.monotonic() < deadline:
        time.sleep(0.2)
        seen = read()
    return seen


def reader():
    window = card_window()
    if window is None:
        print(json.dumps({"error": "the card never appeared on the accessibility bus"}))
        return
    bar = find(window, lambda a: a.name == "Scorrimento dei contatti")
    report = {"tree": node_of(window), "states": []}
    # The state as the window's description, the contact shown as the bar's, as the user acts.
    bar_text = lambda: bar.description if bar is not None else None
    report["states"].append(["start", window.description, bar_text()])
    press(window, "Ultimo contatto")
    report["states"].append(["last", window.description, wait_for(bar_text, "Contatto con ID 22")])
    press(window, "Contatto precedente")
    report["states"].append(["previous", window.description, wait_for(bar_text, "Contatto con ID 21")])
    press(window, "MODIFICA")
    report["states"].append(["modify", wait_for(lambda: window.description, "Modifica del contatto"),
                             bar_text()])
    press(window, "ANNULLA")
    report["states"].append(["cancel", wait_for(lambda: window.description, "Consultazione"), bar_text()])

    # The other windows, each opened as a user opens it and closed by its own button.
    import pyatspi
    report["windows"] = {}

    def named(name):
        found = []
        program_window(lambda w: w.name == name and found.append(w) and False, 0)
        return len(found)

    def closed(name, before):
        """Waits until one of the windows named `name` (a message takes the card's) has gone."""
        deadline = time.monotonic() + WAIT
        while named(name) >= before and time.monotonic() < deadline:
            time.sleep(0.2)

    def walk(key, opened, close):
        print("%s: %s" % (key, "read" if opened is not None else "missing"), file=sys.stderr, flush=True)
        if opened is None:
            report["windows"][key] = None
            return
        time.sleep(0.5)  # filled just after it shows
        report["windows"][key] = node_of(opened)
        if close:
            name = opened.name
            before = named(name)
            press(opened, close)
            closed(name, before)

    def from_menu(letter):
        """The window's menu by a right click on the card's background, then an entry by its letter."""
        corner = window.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(corner.x + 4, corner.y + 4, "b3c")
        time.sleep(1)  # the menu shows and takes the keyboard
        keys(letter)

    # Importa…: the file dialog, the file's name written into it, then the preview of the import.
    def import_file(path):
        from_menu(KEY_I)
        files = dialog_named("Importa contatti")
        if files is not None:
            time.sleep(0.5)  # filled just after it shows
            report["windows"]["file dialog"] = node_of(files)
        name = files and find(files, lambda a: a.getRoleName() in TEXT_ROLES and a.getState().contains(
            pyatspi.STATE_EDITABLE) and a.getState().contains(pyatspi.STATE_SHOWING))
        if name:
            name.queryEditableText().setTextContents(path)
            press(files, "Apri")

    import_file(os.environ["VINZAL_IMPORT"])
    walk("import preview", dialog_named("Importa da"), "Annulla")
    from_menu(KEY_T)
    walk("duplicates", dialog_named("Trova duplicati"), "Chiudi")
    from_menu(KEY_S)
    walk("print preview", dialog_named("Anteprima di stampa"), "Stampa…")
    walk("print dialog", dialog_named("Stampa"), "Annulla")
    # A search button asks for a name; one that is not there is told by a message.
    press(window, "Città")
    search = dialog_named("Ricerca")
    box = search and find(search, lambda a: a.getRoleName() in TEXT_ROLES)
    if box:
        box.queryEditableText().setTextContents("zzzz")
    walk("search", search, "OK")
    walk("message", other_dialog("Ricerca nella nomelia elettronica"), "OK")
    press(window, "Visualizza Tabella")
    walk("table view", program_window(lambda w: w.name == "Tabella Nomelia" and find(
        w, lambda a: a.getRoleName() == "table cell") is not None), None)
    print(json.dumps(report))


def read_progress():
    """The progress dialog: read as it goes on, then cancelled by its button."""
    progress = program_window(lambda w: w.getRoleName() in ("dialog", "alert") and find(
        w, lambda a: a.getRoleName() == "progress bar") is not None)
    if progress is None:
        print(json.dumps({"error": "the progress dialog never appeared on the accessibility bus"}))
        return
    time.sleep(0.5)
    tree = node_of(progress)
    press(progress, "Annulla")
    print(json.dumps({"tree": tree}))


# --- the checks, over the tree the reader saw

def problems(tree, card=True):
    found = []

    def walk(node, path):
        here = path + "/" + (node["name"] or node["role"])
        # A table's cell is read with its column's header: an empty one, or two alike, are fine.
        # A list box's hidden list is named once it opens.
        if node["focusable"] and node["showing"] and not node["name"].strip() and node["role"] != "table cell":
            found.append("%s: a %s that takes the keyboard without a name" % (here, node["role"]))
        # A list box's name is its choice; what it asks is read from the label that names it, which
        # tells it from its neighbours.
        if node["role"] == "combo box" and node["showing"] and not node["labels"]:
            found.append("%s: a list box without a label" % here)
        seen = {}
        for child in node["children"]:
            # Unnamed decorations (the card's ruled lines) are left out; controls never are.
            if not child["showing"] or not (child["name"] or child["focusable"]) or child["role"] == "table cell":
                continue
            key = (tuple(child["labels"]) if child["role"] == "combo box" else child["name"], child["role"])
            if key in seen:
                found.append("%s: two children named %r with role %s" % (here, child["name"], child["role"]))
            seen[key] = True
        for child in node["children"]:
            walk(child, here)

    walk(tree, "")
    if not card:
        return found
    boxes = []

    def collect(node):
        if node["role"] in TEXT_ROLES:
            boxes.append(node["name"])
        for child in node["children"]:
            collect(child)

    collect(tree)
    if boxes != BOX_NAMES:
        found.append("the card's boxes are named %r, not %r" % (boxes, BOX_NAMES))
    buttons = []

    def collect_bar(node):
        if node["name"] in BAR_NAMES and node["role"] == "push button":
            buttons.append(node["name"])
        for child in node["children"]:
            collect_bar(child)

    collect_bar(tree)
    if buttons != BAR_NAMES:
        found.append("the bar's buttons are named %r, not %r" % (buttons, BAR_NAMES))
    return found


def choices(tree):
    """The list boxes of a window as a screen reader reads them: the label of each, and its choice."""
    found = {}

    def collect(node):
        if node["role"] == "combo box" and node["showing"]:
            for label in node["labels"]:
                found[label] = node["name"]
        for child in node["children"]:
            collect(child)

    collect(tree)
    return found


def choice_problems(tree, expected):
    read = choices(tree)
    return ["the list box %r is not read%s" % (label, " (the list boxes read: %r)" % read if read else "")
            for label in expected if label not in read] + \
           ["the list box %r reads %r, not %r" % (label, read[label], value)
            for label, value in expected.items() if label in read and read[label] != value]


def without(tree, test):
    """The tree with the first node for which test(node) holds changed by it: the checks must see it."""
    copy = json.loads(json.dumps(tree))

    def change(node):
        return test(node) or any(change(child) for child in node["children"])

    change(copy)
    return copy


def without_label(node):
    if node["role"] == "combo box" and node["labels"]:
        node["labels"] = []
        return True
    return False


def without_list_boxes(node):
    """As a list box inside a table's cell: not in the tree at all."""
    node["children"] = [child for child in node["children"] if child["role"] != "combo box"]
    return False


def message_read(node, text):
    """Whether a screen reader hears `text` as the message opens: an alert (or dialog) saying it."""
    def says(node):
        return text in node["name"] or text in node["description"] or any(
            says(child) for child in node["children"] if child["role"] == "label")
    return node["role"] in ("alert", "dialog") and says(node)


EXPECTED_STATES = [
    ["start", "Consultazione", "Contatto con ID 1"],
    ["last", "Consultazione", "Contatto con ID 22"],
    ["previous", "Consultazione", "Contatto con ID 21"],
    ["modify", "Modifica del contatto", "Contatto con ID 21"],
    ["cancel", "Consultazione", "Contatto con ID 21"],
]


def without_a_name(node):
    if node["role"] in TEXT_ROLES:
        node["name"] = ""
        return True
    return False


# --- the parent: the display, the buses, the program, and the clean-up whatever happens

def start(command, env, **options):
    return subprocess.Popen(command, env=env, start_new_session=True, **options)


def stop(process):
    if process is None or process.poll() is not None:
        return
    try:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(timeout=10)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        try:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass


def read_line(stream, timeout):
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline().decode().strip() if ready else ""


class DisplayLost(Exception):
    """The program could not reach the private display: the machine's fault, not the windows'."""


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "--read":
        reader()
        return
    if len(sys.argv) == 2 and sys.argv[1] == "--read-progress":
        read_progress()
        return
    # A loaded machine now and then refuses the program its brand-new display; the check runs again
    # once, on a new display, rather than report the windows for it.
    for attempt in (1, 2):
        try:
            check()
            return
        except DisplayLost as lost:
            print("the display refused vinzal (attempt %d): %s" % (attempt, lost), file=sys.stderr)
    fail("vinzal could not reach its display twice")


def check():
    if len(sys.argv) != 4:
        fail("usage: check_accessibility.py VINZAL VINZAL_DB SHOW_PROGRESS")
    vinzal, vinzal_db, show_progress = sys.argv[1:]
    launcher = next((p for p in ("/usr/libexec/at-spi-bus-launcher", "/usr/lib/at-spi2-core/at-spi-bus-launcher")
                     if os.path.exists(p)), None)
    for tool in ("Xvfb", "dbus-daemon"):
        if shutil.which(tool) is None:
            fail(tool + " is missing (scripts/setup --tests installs it)")
    if launcher is None:
        fail("at-spi-bus-launcher is missing (package at-spi2-core)")
    # pyatspi comes with the system's Python, which may not be the one running this.
    python = next((p for p in (sys.executable, "/usr/bin/python3")
                   if subprocess.run([p, "-c", "import pyatspi"], capture_output=True, timeout=WAIT).returncode == 0),
                  None)
    if python is None:
        fail("pyatspi is missing (package python3-pyatspi)")

    work = tempfile.mkdtemp(prefix="vinzal-a11y-")
    started = []
    try:
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                                                              "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS")}
        env.update({"HOME": work, "XDG_RUNTIME_DIR": work, "XDG_CONFIG_HOME": os.path.join(work, "config"),
                    "XDG_DATA_HOME": os.path.join(work, "data"), "XDG_CACHE_HOME": os.path.join(work, "cache"),
                    "LC_ALL": "C.UTF-8", "NO_AT_BRIDGE": "0"})
        os.chmod(work, 0o700)

        # A display of its own: Xvfb picks a free number and writes it to the pipe.
        read_end, write_end = os.pipe()
        xvfb = start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                     env, pass_fds=(write_end,), stderr=subprocess.DEVNULL)
        started.append(xvfb)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            number = read_line(pipe, WAIT)
        if not number.isdigit():
            fail("Xvfb did not start")
        env["DISPLAY"] = ":" + number
        # Xvfb gives its number as it starts listening: wait until it answers a client.
        deadline = time.time() + WAIT
        while shutil.which("xdpyinfo") and subprocess.run(["xdpyinfo"], env=env, capture_output=True).returncode:
            if time.time() > deadline or xvfb.poll() is not None:
                raise DisplayLost("the display :%s never answered" % number)
            time.sleep(0.2)

        # A session bus of its own, then the accessibility bus on it.
        bus = start(["dbus-daemon", "--session", "--nofork", "--print-address=1"], env, stdout=subprocess.PIPE)
        started.append(bus)
        address = read_line(bus.stdout, WAIT)
        if not address:
            fail("the session bus did not start")
        env["DBUS_SESSION_BUS_ADDRESS"] = address
        started.append(start([launcher, "--launch-immediately", "--a11y=1"], env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

        book = os.path.join(work, "x.mdb")
        # A file to import, whose preview the reader opens; imported once already, its two contacts
        # are a group for the duplicates window too.
        env["VINZAL_IMPORT"] = os.path.join(work, "doppi.csv")
        with open(env["VINZAL_IMPORT"], "w", encoding="utf-8") as csv:
            csv.write("Cognone e nome o denominazione,Telelefono casa,Città\n"
                      "Rossi Mario,010 123456,Genova\nRossi Mario,010 654321,Genova\n")
        made = subprocess.run([vinzal_db, "demo", book, "--rows", "20"], env=env, cwd=work, timeout=WAIT,
                              capture_output=True)
        if made.returncode == 0:
            made = subprocess.run([vinzal_db, "import", "--csv", env["VINZAL_IMPORT"], book], env=env, cwd=work,
                                  timeout=WAIT, capture_output=True)
        if made.returncode != 0:
            fail("vinzal-db demo or import failed: " + made.stderr.decode())
        program_env = dict(env, QT_ACCESSIBILITY="1", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                           QT_QPA_PLATFORM="xcb")
        log = open(os.path.join(work, "vinzal.log"), "wb")
        program = start([vinzal, book], program_env, cwd=work, stdout=log, stderr=subprocess.STDOUT)
        started.append(program)

        try:
            read = subprocess.run([python, os.path.abspath(__file__), "--read"], env=env, cwd=work,
                                  timeout=3 * WAIT, capture_output=True)
        except subprocess.TimeoutExpired as late:
            fail("reading the accessible tree did not finish; it got as far as:\n" + (late.stderr or b"").decode())
        if program.poll() is not None:
            log.close()
            said = open(os.path.join(work, "vinzal.log"), errors="replace").read()
            if "could not connect to display" in said:
                raise DisplayLost(said.splitlines()[0])
            fail("vinzal ended early:\n" + said)
        try:
            report = json.loads(read.stdout.decode() or "{}")
        except json.JSONDecodeError:
            report = {}
        if "tree" not in report:
            fail(report.get("error", "the reader failed") + "\n" + read.stderr.decode())

        # The progress of a long task: read while it goes on, then its Annulla ends the task.
        held = start([show_progress], program_env, cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started.append(held)
        try:
            read = subprocess.run([python, os.path.abspath(__file__), "--read-progress"], env=env, cwd=work,
                                  timeout=2 * WAIT, capture_output=True)
            progress = json.loads(read.stdout.decode() or "{}")
        except (subprocess.TimeoutExpired, json.JSONDecodeError):
            progress = {}
        report["windows"]["progress"] = progress.get("tree")
        try:
            held.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            pass
        # The checks must catch a name taken away; then they look at the real tree.
        if not problems(without(report["tree"], without_a_name)):
            fail("the checks did not notice a box without a name")
        found = problems(report["tree"])
        for key, tree in sorted(report.get("windows", {}).items()):
            if tree is None:
                found.append("the %s never appeared on the accessibility bus" % key)
                continue
            found += ["%s: %s" % (key, problem) for problem in problems(tree, card=False)]
        windows = report.get("windows", {})
        for key, expected in (("duplicates", DUPLICATE_CHOICES), ("import preview", PREVIEW_CHOICES)):
            if windows.get(key) is None:
                continue
            for seeded, fault in ((without_label, "a list box without its label"),
                                  (without_list_boxes, "list boxes left out of the tree")):
                broken = without(windows[key], seeded)
                if not (problems(broken, card=False) + choice_problems(broken, expected)):
                    fail("the checks did not notice %s in the %s" % (fault, key))
            found += ["%s: %s" % (key, problem) for problem in choice_problems(windows[key], expected)]
        for key in ("import preview", "duplicates", "print preview", "progress", "search", "file dialog",
                    "print dialog"):
            if windows.get(key) is not None and windows[key]["role"] != "dialog":
                found.append("the %s is read as a %s, not as a dialog" % (key, windows[key]["role"]))
        message = report.get("windows", {}).get("message")
        if message is not None and message_read(dict(message, children=[]), "Nome non trovato."):
            fail("the checks did not notice a message without its text")
        if message is not None and not message_read(message, "Nome non trovato."):
            found.append("the message is a %s named %r that does not say its text" % (message["role"], message["name"]))
        if len(report.get("windows", {})) != 9:
            found.append("only %r of the windows were read" % sorted(report.get("windows", {})))
        for state, expected in zip(report["states"], EXPECTED_STATES):
            if state != expected:
                found.append("after %s the window says %r and the bar %r, not %r and %r"
                             % (state[0], state[1], state[2], expected[1], expected[2]))
        if len(report["states"]) != len(EXPECTED_STATES):
            found.append("only %d of the steps ran" % len(report["states"]))
        if progress.get("tree") is not None and held.poll() is None:
            found.append("the progress's Annulla, pressed through the accessibility bus, did not stop the task")
        if found:
            fail("\n".join(found))
        print("ok: %d boxes, %d bar buttons named; state and position follow the card; %d list boxes of values "
              "to keep and %d of columns read by their labels; %s read"
              % (len(BOX_NAMES), len(BAR_NAMES), len(DUPLICATE_CHOICES), len(PREVIEW_CHOICES),
                 ", ".join(sorted(report["windows"]))))
    finally:
        for process in reversed(started):
            stop(process)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
