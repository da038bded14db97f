"""The command line given careless or hostile arguments: one line on stderr,
a non-zero status, and nothing overwritten that was not named as output."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from zorbic.commands import main as cli
from zorbic.commands.base import printable


@pytest.fixture(scope="module")
def match(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("hostile") / "m.zrp"
    assert cli.main(["record", "--out", str(path), "--steps", "5"]) == 0
    return path


@pytest.mark.parametrize(
    "arguments",
    [
        ["--n-red", "1" + "0" * 20],
        ["--tick-skip", "1" + "0" * 23],
        ["--tick-skip", "65537"],
        ["--seed", "-1"],
        ["--steps", "1e8"],
    ],
)
def test_out_of_range_numbers_are_usage_errors_naming_the_bounds(
    arguments: list[str], tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(SystemExit) as ended:
        cli.main(["record", "--out", str(tmp_path / "m.zrp"), *arguments])
    assert ended.value.code == 2
    assert "Traceback" not in capsys.readouterr().err


@pytest.mark.parametrize("option", ["--gif", "--html", "--mp4"])
def test_an_output_equal_to_the_input_is_refused(option: str, match: Path, capsys: pytest.CaptureFixture[str]) -> None:
    before = match.read_bytes()
    assert cli.main(["replay", str(match), option, str(match)]) == 1
    assert match.read_bytes() == before
    assert "same file as the input" in capsys.readouterr().err or option == "--mp4"


def test_record_refuses_to_write_over_its_stadium(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    stadium = tmp_path / "s.zsm"
    stadium.write_text("{}")
    assert cli.main(["record", "--out", str(stadium), "--stadium", str(stadium)]) == 1
    assert stadium.read_text() == "{}" and "same file" in capsys.readouterr().err


@pytest.mark.parametrize("case", ["fifo-input", "device-output", "mp4-suffix"])
def test_bad_inputs_and_outputs_are_one_line(
    case: str, match: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    argv = {
        "fifo-input": ["replay", str(fifo)],
        "device-output": ["replay", str(match), "--html", "/dev/null"],
        "mp4-suffix": ["replay", str(match), "--mp4", str(tmp_path / "m.avi")],
    }[case]
    assert cli.main(argv) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "error:" in err
    assert Path("/dev/null").is_char_device() and not (tmp_path / "m.avi").exists()


@pytest.mark.parametrize(
    ("text", "shown"),
    [("plain é", "plain é"), ("\x1b[2J", "\\x1b[2J"), ("a\nverified", "a\\nverified"), ("\u202eabc", "\\u202eabc")],
)
def test_names_are_printed_escaped(text: str, shown: str) -> None:
    assert printable(text) == shown


def test_a_stadium_name_with_escapes_is_printed_escaped(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    stadium = tmp_path / "s.zsm"
    stadium.write_text('{"name": "\\u001b]0;owned\\u0007\\n verified 5 steps"}')
    out = tmp_path / "m.zrp"
    assert cli.main(["record", "--out", str(out), "--stadium", str(stadium), "--steps", "2"]) == 0
    capsys.readouterr()
    assert cli.main(["replay", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "\x1b" not in printed and "\\x1b]0;owned\\x07\\n verified" in printed


@pytest.mark.parametrize(("sent", "status"), [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_an_interrupt_ends_in_one_line_and_leaves_no_temporary_file(tmp_path: Path, sent: int, status: int) -> None:
    out = tmp_path / "long.zrp"
    command = [sys.executable, "-m", "zorbic", "record", "--out", str(out), "--steps", "1000000"]
    # A shell starts a background job with SIGINT ignored, and a child keeps
    # that disposition; Python then never raises KeyboardInterrupt. A handled
    # signal is reset to the default on exec, so the child starts as it would
    # from a terminal, wherever this suite was launched from.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True, cwd=tmp_path)
    finally:
        signal.signal(signal.SIGINT, previous)
    try:
        # The recording runs long enough for the signal to land inside it.
        time.sleep(4)
        process.send_signal(sent)
        _, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == status
    assert "Traceback" not in err and err.strip().endswith(("interrupted", "terminated"))
    assert list(tmp_path.iterdir()) == []
