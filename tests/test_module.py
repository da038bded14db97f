"""What importing the module gives: names, constants, the class's surface,
docstrings and text signatures, the exception class, and the binding of the
module to the first interpreter."""

import ast
import gc
import importlib
import inspect
import json
import pathlib
import subprocess
import sys
import textwrap
import warnings

import pytest

import zorbic_core
from zorbic_core import VecEnv

ALL = ["VecEnv", "disc_disc", "disc_vertex", "segment_no_curve", "segment_curve", "disc_plane", "FLAG_RED", "FLAG_BLUE"]

# (name, kind) in the order of the class namespace.
MEMBERS = [
    ("from_zsm", "static"),
    ("n_envs", "property"),
    ("n_players", "property"),
    ("obs_dim", "property"),
    ("reset_all", "noargs"),
    ("reset_mask", "method"),
    ("physics_step", "method"),
    ("snapshot", "noargs"),
    ("set_state", "method"),
    ("set_kick_rate_limit", "method"),
    ("set_player_cmask", "method"),
    ("kick_state", "noargs"),
    ("teams", "noargs"),
    ("player_max_speed", "property"),
    ("goals", "noargs"),
    ("wall_segments", "noargs"),
    ("obstacle_discs", "noargs"),
    ("predict_ball", "method"),
    ("rollout_bench", "method"),
]

DOCS = {
    "from_zsm": (
        "(zsm, n_envs, n_red, n_blue, step_limit=2400, tick_skip=8)",
        "Build a batch from a Zorbic `.zsm` stadium (plain JSON text). Geometry,\n"
        "goals, spawns, and ball/player physics all come from the map — including\n"
        "curved wall segments (rounded corners, goal nets), so any map is faithful.",
    ),
    "reset_all": ("($self)", "Reset every env: positions, scores, step counter. A fresh game -> RED kicks off."),
    "reset_mask": ("($self, mask)", "Reset only the envs whose mask entry is true (gym-style auto-reset)."),
    "physics_step": (
        "($self, actions)",
        "Advance all envs by `tick_skip` physics ticks using already-parsed engine\n"
        "actions `(N, P, 3)` = (dx, dy, kick). No reward, no obs, no auto-reset.\n"
        "Returns `scored` `(N,)` i8: -1 if no goal this step, else the conceding team.",
    ),
    "snapshot": (
        "($self)",
        "Read the current batched state without stepping. Returns\n"
        "`(ball_pos (N,2), ball_vel (N,2), player_pos (N,P,2), player_vel (N,P,2), steps (N,))`.",
    ),
    "set_state": (
        "($self, ball_pos, ball_vel, player_pos, player_vel, steps=None)",
        "Place an arbitrary state into every env: the exact inverse of `snapshot`.\n"
        "Writes ball + player positions/velocities from `(N,2)`/`(N,P,2)` arrays; the\n"
        "step counter is set from `steps` (or reset to 0). Scores are left untouched\n"
        "(they're not part of the observed state). This is the engine primitive behind\n"
        "arbitrary `StateMutator`s — random kickoffs, scenario drills, replay states —\n"
        "so episodes no longer have to begin from the fixed kickoff.",
    ),
    "set_kick_rate_limit": (
        "($self, min, cost, cap)",
        "Set the kickRateLimit (min, rate-cost, burst-cap) for every env. Mirrors a\n"
        "Zorbic room's `setKickRateLimit`; needed to re-simulate replays from rooms that\n"
        "changed it (e.g. the Brume ladder uses min=6). Default is min=2.",
    ),
    "set_player_cmask": (
        "($self, mask)",
        "Set every player disc's collision mask (cMask). Used to enable/disable the kickoff\n"
        "barrier: during a kickoff the non-kicking team is held behind the centre semicircle\n"
        "by collision flags (cMask `39 | <kicking team's KO group>`); after the ball is\n"
        "touched it reverts to the normal `39`. Re-sim only — training kicks off via the env.",
    ),
    "kick_state": ("($self)", "Debug: per-player kick state `(flag, cooldown)` for env 0 — `(P,)` each."),
    "teams": ("($self)", "Static team flag per player slot, `(N, P)` i64 (RED/BLUE)."),
    "goals": (
        "($self)",
        "The stadium's goal lines (same for every env). Returns\n"
        "`(p0 (G,2), p1 (G,2), team (G,))` where `team` is the side that DEFENDS /\n"
        "concedes at that goal. Geometry comes from the stadium, not hardcoded — so\n"
        "obs/reward target the real goal mouth on any map.",
    ),
    "wall_segments": (
        "($self)",
        "Ball-colliding WALLS as straight line segments `[x0,y0,x1,y1]`, shape (M, 4): each\n"
        "straight segment the ball hits, plus every ball-colliding boundary PLANE rendered as a\n"
        "long segment. Curved segments are omitted HERE only (this obs helper raycasts straight\n"
        "lines) — the physics DOES resolve them. Static per stadium; lets a map-agnostic obs\n"
        "raycast the REAL geometry on ANY map (so the bot can read rebounds / pin for rockets).",
    ),
    "obstacle_discs": (
        "($self)",
        "Static OBSTACLE discs as `[x, y, radius]`, shape (D, 3) — the goal POSTS (and any other\n"
        "fixed discs the ball collides with). The ball/players bounce off these, so an obs that\n"
        "can't see them lets the bot get blocked by a post while chasing. Static per stadium;\n"
        "the ball/players themselves are dynamic and already in the obs, so they're excluded.",
    ),
    "predict_ball": (
        "($self, offsets)",
        "Deterministic ball-trajectory prediction (players ignored): future ball positions at\n"
        "the given ascending tick `offsets`, shape `(N, K, 2)`. Lets a map-agnostic obs feed the\n"
        'policy "where the ball will be" — lookahead a tiny memoryless net can\'t learn implicitly,\n'
        "and exactly what's needed to read wall/corner rebounds. Exact until a player touches it.",
    ),
    "rollout_bench": ("($self, n_steps)", "Pure-native benchmark: run `n_steps` ticks, no Python in the loop."),
}

PROPERTY_DOCS = {
    "n_envs": "",
    "n_players": "",
    "obs_dim": "",
    "player_max_speed": "Player max speed used to normalize velocity rewards: accel*damping/(1-accel).",
}

FUNCTION_SIGNATURES = {
    "disc_disc": "(pa, pb, va, vb, ra, rb, ima, imb, ba, bb)",
    "disc_vertex": "(pd, pv, v, radius, bd, bv)",
    "segment_no_curve": "(pd, v0, v1)",
    "segment_curve": "(pd, c, cr, t0, t1, curve)",
    "disc_plane": "(pd, normal, v, dist, radius, bd, bp)",
}


def test_module_names_in_order():
    assert zorbic_core.__all__ == ALL
    public = [name for name in vars(zorbic_core) if not name.startswith("__")]
    assert public == ALL
    assert zorbic_core.__doc__ == ""


@pytest.mark.parametrize("name, value", [("FLAG_RED", 2), ("FLAG_BLUE", 4)])
def test_team_flags_are_plain_ints(name, value):
    flag = getattr(zorbic_core, name)
    assert type(flag) is int and flag == value


def test_importing_again_gives_the_same_module():
    again = importlib.import_module("zorbic_core")
    assert again is zorbic_core
    # Re-running the initialisation (a fresh import, a reload) must not build
    # a second module, class or exception.
    saved = sys.modules.pop("zorbic_core")
    try:
        fresh = importlib.import_module("zorbic_core")
        assert fresh is saved
        assert fresh.VecEnv is VecEnv
    finally:
        sys.modules["zorbic_core"] = saved
    assert importlib.reload(zorbic_core) is zorbic_core
    assert zorbic_core.__all__ == ALL


def test_class_surface():
    assert VecEnv.__name__ == "VecEnv"
    assert VecEnv.__qualname__ == "VecEnv"
    assert VecEnv.__module__ == "zorbic_core"
    assert VecEnv.__bases__ == (object,)
    assert VecEnv.__text_signature__ == "(n_envs, n_red, n_blue, step_limit=2400, tick_skip=8)"
    assert not VecEnv.__doc__
    assert str(inspect.signature(VecEnv)) == "(n_envs, n_red, n_blue, step_limit=2400, tick_skip=8)"
    own = [name for name in vars(VecEnv) if not name.startswith("__")]
    assert own == [name for name, _ in MEMBERS]
    dunders = {name for name in vars(VecEnv) if name.startswith("__")}
    assert dunders == {"__new__", "__doc__", "__module__"}


@pytest.mark.parametrize("name, kind", MEMBERS)
def test_member_kinds(name, kind):
    raw = vars(VecEnv)[name]
    if kind == "static":
        assert isinstance(raw, staticmethod)
    elif kind == "property":
        assert inspect.isgetsetdescriptor(raw)
        assert raw.__doc__ == PROPERTY_DOCS[name]
    else:
        assert inspect.ismethoddescriptor(raw) and callable(raw)


@pytest.mark.parametrize("name", sorted(DOCS))
def test_member_docstrings_and_signatures(name):
    signature, doc = DOCS[name]
    member = getattr(VecEnv, name)
    assert member.__text_signature__ == signature
    assert member.__doc__ == doc


@pytest.mark.parametrize("name, signature", FUNCTION_SIGNATURES.items())
def test_function_signatures(name, signature):
    function = getattr(zorbic_core, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__module__ == "zorbic_core"
    assert str(inspect.signature(function)) == signature


@pytest.mark.parametrize("name", [name for name, kind in MEMBERS if kind == "noargs"])
def test_members_without_parameters_refuse_arguments(name):
    env = VecEnv(1, 1, 0)
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(env, name)(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        getattr(env, name)(x=1)


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (VecEnv,), {})


def test_instances_take_no_new_attributes():
    env = VecEnv(1, 1, 0)
    assert not hasattr(env, "__dict__")
    # The messages name the class by its plain type name.
    with pytest.raises(AttributeError, match="^'VecEnv' object has no attribute 'foo'"):
        env.foo = 1
    with pytest.raises(TypeError, match="weak reference"):
        __import__("weakref").ref(env)


@pytest.mark.parametrize("name", ["n_envs", "n_players", "obs_dim", "player_max_speed"])
def test_properties_are_read_only(name):
    env = VecEnv(2, 1, 1)
    before = getattr(env, name)
    with pytest.raises(AttributeError):
        setattr(env, name, 3)
    with pytest.raises(AttributeError):
        delattr(env, name)
    assert getattr(env, name) == before


def test_class_attributes_cannot_be_replaced():
    with pytest.raises(TypeError):
        VecEnv.physics_step = None
    assert callable(VecEnv.physics_step)


def panic_exception_class():
    # Not exported: the class is reachable through the exceptions it raises
    # and, for this test, through the garbage collector's view of the heap.
    with warnings.catch_warnings():
        # Other libraries' objects on the heap may warn when looked at.
        warnings.simplefilter("ignore")
        found = [
            obj
            for obj in gc.get_objects()
            if isinstance(obj, type) and obj.__name__ == "PanicException" and obj.__module__ == "zorbic_core"
        ]
    assert len(found) == 1
    return found[0]


def test_panic_exception_derives_from_base_exception_directly():
    panic = panic_exception_class()
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__qualname__ == "PanicException"
    assert not hasattr(zorbic_core, "PanicException")
    with pytest.raises(panic, match="broken"):
        raise panic("broken")


# Run in a child process: a sub-interpreter leaves the process's thread-state
# bookkeeping changed, which libraries loaded later in the same process trip
# over (torch's autograd, for one, then believes the GIL is held).
SUBINTERPRETER = """
import importlib, json, sys
import _interpreters as interpreters
import zorbic_core
interp = interpreters.create(interpreters.new_config(sys.argv[1]))
try:
    failure = interpreters.run_string(interp, sys.argv[2])
finally:
    interpreters.destroy(interp)
print(json.dumps({
    "type": failure.type.__name__ if failure else None,
    "msg": failure.msg if failure else None,
    "all": zorbic_core.__all__,
    "same": importlib.import_module("zorbic_core") is zorbic_core,
}))
"""


def run_in_subinterpreter(config, code):
    """What a sub-interpreter of the given config reports for `code`, and
    the state of the child's own module afterwards."""
    pytest.importorskip("_interpreters")
    done = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER, config, textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_other_interpreters_cannot_import_it(config):
    # "legacy" sub-interpreters allow single-phase modules, so the module's
    # own check answers; "isolated" ones refuse such modules themselves.
    outcome = run_in_subinterpreter(config, "import zorbic_core")
    assert outcome["type"] == "ImportError"
    # The module of the main interpreter is untouched.
    assert outcome["all"] == ALL and outcome["same"]


def test_own_check_names_the_module():
    outcome = run_in_subinterpreter("legacy", "import zorbic_core")
    assert "zorbic_core" in outcome["msg"]
    assert "interpreter" in outcome["msg"]


STUB_PATH = pathlib.Path(__file__).resolve().parent.parent / "python" / "zorbic_core.pyi"


def stub_tree():
    return ast.parse(STUB_PATH.read_text("utf-8"))


def stub_parameters(function):
    """(names, defaults) of a stub def, without self/cls."""
    positional = function.args.args
    defaults = [ast.literal_eval(d) for d in function.args.defaults]
    names = [a.arg for a in positional]
    if names and names[0] in ("self", "cls"):
        names = names[1:]
    padded = [inspect.Parameter.empty] * (len(names) - len(defaults)) + defaults
    return names, padded


def runtime_parameters(callable_, drop_first=False):
    parameters = list(inspect.signature(callable_).parameters.values())
    if drop_first:
        parameters = parameters[1:]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    return [p.name for p in parameters], [p.default for p in parameters]


def test_stub_module_level_matches_the_module():
    tree = stub_tree()
    assigned = {}
    functions = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            assigned["__all__"] = ast.literal_eval(node.value)
        elif isinstance(node, ast.AnnAssign) and node.target.id.startswith("FLAG_"):
            assigned[node.target.id] = ast.literal_eval(node.value)
        elif isinstance(node, ast.FunctionDef):
            functions[node.name] = node
    assert assigned == {"__all__": ALL, "FLAG_RED": 2, "FLAG_BLUE": 4}
    assert sorted(functions) == sorted(FUNCTION_SIGNATURES)
    for name, node in functions.items():
        assert stub_parameters(node) == runtime_parameters(getattr(zorbic_core, name)), name


def test_stub_class_matches_the_class():
    [cls] = [node for node in stub_tree().body if isinstance(node, ast.ClassDef)]
    assert cls.name == "VecEnv"
    assert [ast.unparse(d) for d in cls.decorator_list] == ["final"]
    members = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
    assert list(members) == ["__new__"] + [name for name, _ in MEMBERS]
    assert stub_parameters(members.pop("__new__")) == runtime_parameters(VecEnv)
    for name, kind in MEMBERS:
        node = members[name]
        decorators = [ast.unparse(d) for d in node.decorator_list]
        if kind == "property":
            assert decorators == ["property"], name
            assert stub_parameters(node) == ([], [])
        elif kind == "static":
            assert decorators == ["staticmethod"]
            assert stub_parameters(node) == runtime_parameters(getattr(VecEnv, name))
        else:
            assert decorators == [], name
            assert stub_parameters(node) == runtime_parameters(getattr(VecEnv, name), drop_first=True), name
