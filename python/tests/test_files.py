"""Parameter and step-program files: the program's bytes, and its readers' tolerance and checks."""

import pytest

from tecontrol import files as F
from tecontrol.registers import f32

EXAMPLE = ("  25.00   80.00   10.00    0.00   30.00   60.00   90.00    5.00    0.00  100.00    4.00    0.00  100.00"
           "    3.00    0.00  100.00    2.00    0.00  100.00    0.00    0.00  -20.00  150.00    0.00 120 30 120 30 120"
           " 30 120 30 1 0 0 31 1")


def example_set():
    p = F.ParameterSet()
    p.setValue, p.alarmHigh, p.alarmLow, p.outputLevel = 25.0, 80.0, 10.0, 0.0
    p.pidBound = [30.0, 60.0, 90.0]
    p.pidP, p.pidT4, p.pidT5 = [5.0, 4.0, 3.0, 2.0], [0.0] * 4, [100.0] * 4
    p.rangeLow, p.rangeHigh = -20.0, 150.0
    p.pidI, p.pidD = [120] * 4, [30] * 4
    p.sensorType, p.dirRev, p.cfUnit, p.decimalPnt, p.alarmWatch = 1, 0, 0, 31, 1
    return p


def test_parameter_file_is_the_programs_line():
    text = F.format_parameter_file(example_set())
    assert text == EXAMPLE and len(text) == 230 and not text.endswith("\n")


def test_parameter_file_widths():
    p = example_set()
    p.setValue, p.alarmHigh = -5.0, 12345.5
    assert F.format_parameter_file(p).startswith("  -5.00 12345.50 ")
    # float32 values print as the program prints them: 0.1 held as 0.100000001
    p.outputLevel = f32(33.3)
    assert "  33.30" in F.format_parameter_file(p)


def test_parameter_file_reader_takes_any_white_space_and_reports_the_first_bad_field():
    spread = EXAMPLE.replace(" 120 ", "\n120\t", 1).replace("  30.00", "\t\t30.0000")
    p = F.parse_parameter_file(spread)
    assert F.format_parameter_file(p) == EXAMPLE
    with pytest.raises(F.FileFormatError) as e:
        F.parse_parameter_file(" ".join(EXAMPLE.split()[:10]))
    assert e.value.field == 11 and "ends after 10 of 37" in str(e.value)
    with pytest.raises(F.FileFormatError) as e:
        F.parse_parameter_file(EXAMPLE.replace(" 120 30 1 0", " 120 3x 1 0"))
    assert e.value.field == 32
    with pytest.raises(F.FileFormatError) as e:
        F.parse_parameter_file(EXAMPLE.replace(" 120 30 1 0", " 120 40000 1 0"))
    assert "outside -32768..32767" in str(e.value)
    # A set value that does not fit its register at the file's own decimal point.
    with pytest.raises(F.FileFormatError) as e:
        F.parse_parameter_file(EXAMPLE.replace("  25.00", "4000.00", 1))
    assert e.value.field == 1 and "-3276.8..3276.7" in str(e.value)
    whole = F.parse_parameter_file(EXAMPLE.replace("  25.00", "4000.00", 1).replace(" 0 0 31 1", " 0 0 30 1")
                                   .replace(" 150.00 ", " 5000.00 "))
    assert whole.setValue == 4000.0 and whole.tempScale == 1.0


@pytest.mark.parametrize("change, field, why", [
    (lambda t: t + " 5", 37, "goes on after its 37th number"),
    (lambda t: t + "\n\t ", None, None),
    (lambda t: t[:-1] + "2", 37, "not a code the controller knows (0 off or 1 on)"),
    (lambda t: t.replace(" 150.00 ", "  -30.00 "), 23, "-30.0 is not above range low -20.0"),
    (lambda t: t.replace("  25.00", " 150.10", 1), 1, "150.1 lies outside the file's range -20.0..150.0"),
    (lambda t: t.replace("  80.00", " 900.00", 1), None, None),   # alarms go anywhere
    (lambda t: t.replace("    0.00   30.00", "  100.50   30.00", 1), 4, "100.5 lies outside -100.0..100.0"),
    (lambda t: t.replace("    0.00  100.00    4.00", "  100.10  100.00    4.00", 1), 9, "outside 0.0..100.0"),
    (lambda t: t.replace(" 120 30 1 0 0", " 120 -30 1 0 0"), 32, "-30 lies outside 0..32767 (seconds)"),
    (lambda t: t.replace(" 1 0 0 31 1", " 3 0 0 31 1"), 33, "3 is not a code the controller knows"),
    (lambda t: t.replace(" 0 31 1", " 0 32 1"), 36, "32 is not a code"),
])
def test_parameter_file_holds_only_what_the_controller_takes(change, field, why):
    if field is None:
        F.parse_parameter_file(change(EXAMPLE))
        return
    with pytest.raises(F.FileFormatError) as e:
        F.parse_parameter_file(change(EXAMPLE))
    assert e.value.field == field and why in str(e.value)


def test_step_file_is_the_programs_line_and_reads_back():
    prog = F.StepProgram([(1234.56, 10, 5, 54, 0), (-5, 60, 60, 44, 2), (25.0, 65535, 0, 52, 0)], 1.0)
    text = F.format_step_file(prog)
    assert text.startswith("1234.6 10 5 54 0 " + "\t" * 8 + "  -5.0 60 60 44 2 " + "\t" * 8)
    assert text.endswith("\t" * 8 + "   1.0") and text.count("\t") == 64
    back = F.parse_step_file(text.replace("\t", "\n"))
    assert [s[1:] for s in back.steps] == [s[1:] for s in prog.steps]
    assert back.steps[0].sv == f32(1234.6) and back.band == 1.0


@pytest.mark.parametrize("change, field, why", [
    (lambda t: t.replace(" 65535 ", " 65536 "), 7, "outside 0 to 65535"),
    (lambda t: t.replace(" 10 5 ", " -1 5 ", 1), 2, "outside 0 to 65535"),
    (lambda t: t.rsplit(None, 1)[0], 41, "ends after 40 of 41"),
    (lambda t: t.replace("1234.6", "4e4", 1), 1, "outside -32768 to 32767"),
    (lambda t: t.replace(" 54 ", " x ", 1), 4, "not a whole number"),
    (lambda t: t.replace(" 54 ", " 53 ", 1), 4, "not an action the step program knows"),
    (lambda t: t[:-6] + "  -0.5", 41, "is below 0"),
    (lambda t: t + " 7", 41, "goes on after its 41st number"),
])
def test_step_file_reader_refuses_what_no_register_holds(change, field, why):
    text = F.format_step_file(F.StepProgram([(1234.56, 10, 5, 54, 0), (25.0, 65535, 0, 52, 0)], 1.0))
    with pytest.raises(F.FileFormatError) as e:
        F.parse_step_file(change(text))
    assert e.value.field == field and why in str(e.value)


def test_a_failed_save_leaves_the_old_file(tmp_path):
    target = tmp_path / "lab.prm"
    target.write_text("old")
    with pytest.raises(UnicodeEncodeError):
        F.write_text_file(str(target), "caf\u00e9")
    assert target.read_text() == "old" and [p.name for p in tmp_path.iterdir()] == ["lab.prm"]


def test_files_are_replaced_whole_keeping_permissions_and_never_through_odd_targets(tmp_path):
    import os
    import stat
    target = tmp_path / "lab.prm"
    target.write_text("old")
    os.chmod(str(target), 0o640)
    link = tmp_path / "link.prm"
    os.symlink(str(target), str(link))
    F.write_text_file(str(link), EXAMPLE)
    assert target.read_text() == EXAMPLE and link.is_symlink()
    assert stat.S_IMODE(os.stat(str(target)).st_mode) == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["lab.prm", "link.prm"]
    fifo = tmp_path / "fifo.prm"
    os.mkfifo(str(fifo))
    with pytest.raises(F.FileFormatError, match="no regular file"):
        F.read_text_file(str(fifo))  # and does not block
    with pytest.raises(OSError):
        F.write_text_file(str(fifo), EXAMPLE)
    big = tmp_path / "big.prm"
    big.write_text(" " * (64 * 1024 + 1))
    with pytest.raises(F.FileFormatError, match="too large"):
        F.read_text_file(str(big))
