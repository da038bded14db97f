"""The ladder: ratings that order entries of known strength, reproducible by seed; bad entries refused."""

import json

import numpy as np
import pytest
from PIL import Image

from agent_helpers import random_agent, rusher_agent
from test_agent_security import hostile_model
from zorbic.agents import save_agent
from zorbic.commands import main as cli
from zorbic.training.ladder import Entry, play_ladder, read_entry, write_ladder

pytest.importorskip("openskill")


def known_entries():
    return [Entry("idle"), Entry("random"), Entry("chaser"), Entry("rusher", rusher_agent(), {})]


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_ratings_order_entries_of_known_strength(seed):
    ladder = play_ladder(known_entries(), 60, seed)
    ranked = [s.name for s in ladder.standings]
    # The chasers beat the rusher, which beats the idle team; the random
    # team scores as many own goals as goals, no better than standing still.
    assert ranked[:2] == ["chaser", "rusher"]
    assert set(ranked[2:]) == {"idle", "random"}
    by_name = {s.name: s for s in ladder.standings}
    assert by_name["chaser"].mu > by_name["rusher"].mu > max(by_name["idle"].mu, by_name["random"].mu)
    assert all(0 < s.sigma < 25 / 3 for s in ladder.standings)


def test_the_records_add_up_to_the_matches_played():
    ladder = play_ladder(known_entries(), 11, 0)
    n = len(ladder.names)
    assert np.all(ladder.wins + ladder.wins.T + ladder.undecided == 11 * (1 - np.eye(n, dtype=np.int64)))
    total = {s.name: s.won + s.lost + s.undecided for s in ladder.standings}
    assert total == dict.fromkeys(ladder.names, 11 * (n - 1))
    # Red kicks off and the idle team never touches the ball: the chasers win
    # exactly their matches on red, 5 of 11 (the pair's first entry takes the odd one).
    chaser, idle = ladder.names.index("chaser"), ladder.names.index("idle")
    assert (ladder.wins[chaser, idle], ladder.wins[idle, chaser]) == (5, 0)


def test_the_same_seed_gives_the_same_table(tmp_path):
    first = play_ladder(known_entries(), 20, 7)
    again = play_ladder(known_entries(), 20, 7)
    assert first.as_json() == again.as_json() and first.table() == again.table()
    assert play_ladder(known_entries(), 20, 8).as_json() != first.as_json()


def test_agents_meet_each_other_and_both_draw_their_actions():
    entries = [Entry("sharp", rusher_agent(100.0), {}), Entry("blunt", rusher_agent(1.0), {}), Entry("idle")]
    ladder = play_ladder(entries, 40, 0)
    assert [s.name for s in ladder.standings][0] == "sharp"
    assert ladder.wins[0, 1] > ladder.wins[1, 0]


@pytest.mark.parametrize("sizes", [(3, 3), (2, 1)])
def test_built_in_opponents_fit_the_agents_team_sizes(sizes):
    n_red, n_blue = sizes
    agent = rusher_agent(n_red=n_red, n_blue=n_blue)
    entries = [Entry("team", agent, {"n_red": n_red, "n_blue": n_blue}), Entry("idle"), Entry("chaser")]
    ladder = play_ladder(entries, 10, 0)
    assert sorted(ladder.names) == sorted(s.name for s in ladder.standings)
    assert ladder.wins[2, 1] == 5  # the chasers' matches on red, against any idle team


# ------------------------------------------------------------ bad entries


def _agent_file(tmp_path, name, **setup):
    return str(save_agent(random_agent(**setup), tmp_path / name))


@pytest.mark.parametrize(
    "make, words",
    [
        (lambda tmp: [tmp / "missing.agent", "idle"], "none of chaser, idle, random and no agent file"),
        (lambda tmp: ["sleepy", "idle"], "'sleepy' is none of"),
        (
            lambda tmp: [_agent_file(tmp, "a.agent"), _agent_file(tmp, "b.agent", n_red=3, n_blue=3)],
            "different team sizes",
        ),
        (
            lambda tmp: [_agent_file(tmp, "a.agent", n_red=2), _agent_file(tmp, "b.agent", n_red=2)],
            "cannot meet each other",
        ),
        (lambda tmp: [_agent_file(tmp, "a.agent"), _agent_file(tmp, "b.agent", tick_skip=4)], "another kind of match"),
        (lambda tmp: ["idle"], "at least two entries"),
        (lambda tmp: ["idle", "chaser", "idle"], "named more than once: idle"),
    ],
    ids=["missing file", "unknown name", "team sizes", "uneven teams", "tick_skip", "one entry", "twice"],
)
def test_bad_entries_are_refused(tmp_path, capsys, make, words):
    entries = [str(entry) for entry in make(tmp_path)]
    assert cli.main(["ladder", *entries, "--matches", "2"]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("python -m zorbic ladder: error:") and words in err[0]


def test_a_damaged_agent_file_is_refused(tmp_path, capsys):
    path = tmp_path / "damaged.agent"
    data = (tmp_path / _agent_file(tmp_path, "good.agent")).read_bytes()
    path.write_bytes(data[: len(data) // 2])
    with pytest.raises(ValueError, match="damaged.agent|agent file"):
        read_entry(str(path))
    assert cli.main(["ladder", str(path), "idle"]) == 1
    assert "error" in capsys.readouterr().err


def test_a_pickled_model_is_refused_before_it_is_opened(tmp_path, capsys):
    model, marker, _ = hostile_model(tmp_path)
    assert cli.main(["ladder", str(model), "idle", "--matches", "2"]) == 1
    err = capsys.readouterr().err
    assert "--trust-pickle" in err and "python -m zorbic export" in err
    assert not marker.exists()


# ---------------------------------------------------------------- outputs


def test_the_command_prints_the_table_and_writes_its_files(tmp_path, capsys):
    agent = _agent_file(tmp_path, "mine.agent")
    out = tmp_path / "ladder"
    assert cli.main(["ladder", agent, "idle", "chaser", "--matches", "6", "--seed", "3", "--out", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "mu - 3 sigma" in printed and "mine.agent" in printed
    saved = json.loads((out / "ratings.json").read_text())
    assert saved["seed"] == 3 and saved["matches_per_pair"] == 6
    assert [s["rank"] for s in saved["standings"]] == [1, 2, 3]
    again = play_ladder([read_entry(agent), read_entry("idle"), read_entry("chaser")], 6, 3)
    assert saved == json.loads(json.dumps(again.as_json()))
    markdown = (out / "ladder.md").read_text()
    assert markdown.count("\n| ") == 1 + 3 + 1 + 3 and "mine.agent" in markdown
    with Image.open(out / "win-matrix.png") as picture:
        assert picture.format == "PNG" and picture.width > 3 * 56 and picture.height > 3 * 56


@pytest.mark.parametrize(
    "make, words",
    [
        (lambda tmp: tmp / "file", "not a folder"),
        (lambda tmp: tmp / "nowhere" / "ladder", "does not exist"),
        (lambda tmp: tmp / "taken", "not a regular file"),
    ],
    ids=["a file", "no parent", "an output is a folder"],
)
def test_output_folders_are_checked_before_any_match(tmp_path, capsys, make, words):
    (tmp_path / "file").write_text("keep")
    (tmp_path / "taken" / "ratings.json").mkdir(parents=True)
    out = make(tmp_path)
    assert cli.main(["ladder", "idle", "chaser", "--out", str(out)]) == 1
    assert words in capsys.readouterr().err
    assert (tmp_path / "file").read_text() == "keep"


def test_writing_replaces_earlier_results_whole(tmp_path):
    first = play_ladder(known_entries(), 4, 0)
    write_ladder(first, tmp_path)
    second = play_ladder(known_entries(), 4, 1)
    written = write_ladder(second, tmp_path)
    assert sorted(path.name for path in tmp_path.iterdir()) == sorted(path.name for path in written)
    assert json.loads((tmp_path / "ratings.json").read_text())["seed"] == 1


@pytest.mark.parametrize("matches, seed", [(0, 0), (2, -1)])
def test_bad_counts_are_refused(matches, seed):
    with pytest.raises(ValueError, match="matches|seed"):
        play_ladder(known_entries(), matches, seed)
