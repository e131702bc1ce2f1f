"""Reads dialog template 101 out of the built plug-in's resources and checks every field."""
import struct
import sys

import pefile

RT_DIALOG = 5
LANG_EN_US = 0x409
BUTTON = 0x0080  # the predefined button class, stored as an ordinal

WS_POPUP, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x00C00000, 0x00080000
WS_CHILD, WS_VISIBLE, WS_TABSTOP = 0x40000000, 0x10000000, 0x00010000
DS_MODALFRAME, DS_SETFONT = 0x80, 0x40
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_AUTOCHECKBOX, BS_MULTILINE = 0x0, 0x1, 0x3, 0x2000
CONTROL = WS_CHILD | WS_VISIBLE | WS_TABSTOP

EXPECTED_DIALOG = {
    "style": 0x80C800C0, "exstyle": 0, "x": 0, "y": 0, "cx": 222, "cy": 60,
    "menu": "", "class": "", "caption": "MIDI settings",
    "point_size": 8, "typeface": "MS Sans Serif",
}
EXPECTED_CONTROLS = [
    {"id": 1, "class": BUTTON, "style": CONTROL | BS_DEFPUSHBUTTON, "exstyle": 0,
     "x": 165, "y": 7, "cx": 50, "cy": 14, "text": "OK", "extra": 0},
    {"id": 2, "class": BUTTON, "style": CONTROL | BS_PUSHBUTTON, "exstyle": 0,
     "x": 165, "y": 24, "cx": 50, "cy": 14, "text": "Cancel", "extra": 0},
    {"id": 1000, "class": BUTTON, "style": CONTROL | BS_AUTOCHECKBOX | BS_MULTILINE, "exstyle": 0,
     "x": 17, "y": 13, "cx": 136, "cy": 16,
     "text": "&Sample input from soundcard (for vis)\n(requires 44khz 16bit stereo capability)",
     "extra": 0},
    {"id": 1001, "class": BUTTON, "style": CONTROL | BS_AUTOCHECKBOX, "exstyle": 0,
     "x": 17, "y": 37, "cx": 124, "cy": 10, "text": "Prompt to save streamed MIDI files", "extra": 0},
]


class Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.at
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        value = self.data[self.at:end].decode("utf-16-le")
        self.at = end + 2
        return value

    def text_or_ordinal(self):
        if self.data[self.at:self.at + 2] == b"\xff\xff":
            self.at += 2
            return self.take("H")
        return self.text()

    def align(self):
        self.at = (self.at + 3) & ~3


def dialog_resources(pe):
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id == RT_DIALOG:
            for entry in kind.directory.entries:
                yield entry


def main(path):
    pe = pefile.PE(path)
    failures = []
    checked = [0]

    def check(what, got, want):
        checked[0] += 1
        if got != want:
            show = (lambda v: hex(v) if isinstance(v, int) else repr(v)) if "style" in what else repr
            failures.append(f"{what}: got {show(got)}, want {show(want)}")

    found = [e for e in dialog_resources(pe) if e.id == 101]
    if not found:
        print("FAIL: no dialog resource 101")
        return 1
    languages = found[0].directory.entries
    check("languages of dialog 101", [lang.id for lang in languages], [LANG_EN_US])
    leaf = languages[0].data.struct
    data = pe.get_data(leaf.OffsetToData, leaf.Size)

    r = Reader(data)
    style, exstyle, count, x, y, cx, cy = r.take("IIHhhhh")
    dialog = {"style": style, "exstyle": exstyle, "x": x, "y": y, "cx": cx, "cy": cy,
              "menu": r.text_or_ordinal(), "class": r.text_or_ordinal(), "caption": r.text()}
    check("dialog style spelt out", style, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT)
    if style & DS_SETFONT:
        dialog["point_size"] = r.take("H")
        dialog["typeface"] = r.text()
    for field, want in EXPECTED_DIALOG.items():
        check("dialog " + field, dialog.get(field), want)

    check("control count", count, len(EXPECTED_CONTROLS))
    for index in range(min(count, len(EXPECTED_CONTROLS))):
        r.align()
        style, exstyle, x, y, cx, cy, ident = r.take("IIhhhhH")
        control = {"id": ident, "style": style, "exstyle": exstyle, "x": x, "y": y, "cx": cx, "cy": cy,
                   "class": r.text_or_ordinal(), "text": r.text_or_ordinal(), "extra": r.take("H")}
        for field, want in EXPECTED_CONTROLS[index].items():
            check(f"control {index} ({EXPECTED_CONTROLS[index]['id']}) {field}", control[field], want)
    check("bytes after the last control", len(data) - r.at < 4, True)

    for failure in failures:
        print("FAIL:", failure)
    print(f"{checked[0] - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
