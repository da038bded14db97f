"""Files a careless or hostile user names: inputs that are not regular files,
outputs that are devices, links, inputs or too long for temporary names."""

from __future__ import annotations

import fcntl
import json
import os
from pathlib import Path

import pytest

from zorbic.common.files import FileRefused, atomic_path, check_outputs, read_bounded, stale_temporaries, write_atomic
from zorbic.engine import limits
from zorbic.engine.stadium import stadium_text


@pytest.fixture
def fifo(tmp_path: Path) -> Path:
    path = tmp_path / "pipe"
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("name", ["fifo", "/dev/zero", "directory"])
def test_reads_refuse_what_is_not_a_regular_file(name: str, fifo: Path, tmp_path: Path) -> None:
    path = {"fifo": fifo, "/dev/zero": Path("/dev/zero"), "directory": tmp_path}[name]
    with pytest.raises(FileRefused, match="not a regular file"):
        read_bounded(path, 100)
    with pytest.raises(ValueError, match="not a regular file"):
        stadium_text(path)


def test_reads_stop_at_the_limit(tmp_path: Path) -> None:
    path = tmp_path / "big"
    path.write_bytes(b"x" * 101)
    assert read_bounded(path, 101) == b"x" * 101
    with pytest.raises(FileRefused, match="more than the 100 bytes"):
        read_bounded(path, 100)


@pytest.mark.parametrize("name", ["fifo", "/dev/null", "directory", "dangling-link", "missing-directory"])
def test_writes_refuse_targets_that_are_not_regular_files(name: str, fifo: Path, tmp_path: Path) -> None:
    dangling = tmp_path / "dangling"
    dangling.symlink_to(tmp_path / "nowhere")
    path = {
        "fifo": fifo,
        "/dev/null": Path("/dev/null"),
        "directory": tmp_path,
        "dangling-link": dangling,
        "missing-directory": tmp_path / "no" / "file",
    }[name]
    with pytest.raises(FileRefused):
        write_atomic(path, b"data")
    assert Path("/dev/null").is_char_device() and fifo.is_fifo()


def test_a_symlinked_output_replaces_the_file_it_points_to(tmp_path: Path) -> None:
    real = tmp_path / "real.zrp"
    real.write_bytes(b"old")
    link = tmp_path / "link.zrp"
    link.symlink_to(real)
    write_atomic(link, b"new")
    assert link.is_symlink() and real.read_bytes() == b"new"


def test_outputs_equal_to_an_input_or_to_each_other_are_refused(tmp_path: Path) -> None:
    source = tmp_path / "same.zrp"
    source.write_bytes(b"replay")
    (tmp_path / "alias.zrp").symlink_to(source)
    for outputs, inputs in (
        ([source], [source]),
        ([tmp_path / "alias.zrp"], [source]),
        ([tmp_path / "a", tmp_path / "a"], []),
    ):
        with pytest.raises(FileRefused, match="the same file"):
            check_outputs(outputs, inputs)
    assert source.read_bytes() == b"replay"


def test_a_long_legal_name_gets_a_temporary_name_that_fits(tmp_path: Path) -> None:
    target = tmp_path / ("n" * 240 + ".mp4")
    with atomic_path(target) as temporary:
        assert temporary.suffix == ".mp4" and len(temporary.name) <= 255
        temporary.write_bytes(b"video")
    assert target.read_bytes() == b"video"


def test_leftovers_of_killed_writers_are_removed_but_not_those_of_live_ones(tmp_path: Path) -> None:
    target = tmp_path / "m.gif"
    dead = tmp_path / ".m.abcd1234.tmp.gif"
    live = tmp_path / ".m.efgh5678.tmp.gif"
    unrelated = tmp_path / ".m.notours.tmp.gif"
    for path in (dead, live, unrelated):
        path.write_bytes(b"part")
    holder = os.open(live, os.O_RDONLY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    try:
        assert stale_temporaries(target) == [dead]
        write_atomic(target, b"gif")
        assert not dead.exists() and live.exists() and unrelated.exists()
    finally:
        os.close(holder)


@pytest.mark.parametrize(
    ("text", "counts"),
    [
        ('{"discs":[{},{},{}],"planes":[ ]}', {"discs": 3, "planes": 0}),
        ('{"traits":{"a":{"discs":[1,2]}},"disc\\u0073":[[1,2],"x"]}', {"discs": 2}),
        ('{"vertexes":[{"x":0,"y":0}],"vertexes":[1,2,3]}', {"vertexes": 3}),
        ('{"name":"discs:[,,,]","goals":[{"p0":[0,0]}]}', {"discs": 0, "goals": 1}),
    ],
)
def test_body_counts_read_the_root_lists_only(text: str, counts: dict[str, int]) -> None:
    found = limits.count_bodies(text)
    assert {key: found[key] for key in counts} == counts
    parsed = json.loads(text)
    assert all(found[key] >= len(parsed.get(key, [])) for key in limits.COUNTED)


@pytest.mark.parametrize(("key", "variable"), [("discs", "ZORBIC_MAX_DISCS"), ("segments", "ZORBIC_MAX_STADIUM_ITEMS")])
def test_the_body_limit_is_checked_up_front_and_can_be_raised(
    key: str, variable: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    text = json.dumps({key: [{}] * 200_000})
    with pytest.raises(limits.TooLarge, match=variable):
        stadium_text(text)
    monkeypatch.setenv(variable, "300000")
    assert stadium_text(text) == text
    monkeypatch.setenv(variable, "-1")
    with pytest.raises(ValueError, match=variable):
        stadium_text(text)
