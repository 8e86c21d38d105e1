"""Which attitude conventions the data follow, found from the data themselves.

The protocol names a quaternion's items x, y, z, w in wire order and says
nothing about whether the first or the last is the scalar, whether a matrix
takes body vectors into the world or the other way round, or in which order
the Euler angles turn. A packet that carries the attitude two or three ways
settles it: of the candidate readings, only one makes them describe the same
rotation in every packet. Where the data carry it one way only, nothing is
guessed: the user states it (parse_conventions, --conventions).

Every rotation here is the body (sensor) frame relative to the world frame:
it takes a vector's body coordinates to its world coordinates.
"""

from __future__ import annotations

import dataclasses
import itertools
from collections.abc import Callable, Iterable, Mapping, Sequence
from types import ModuleType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .recording import Recording

# A rotation maker: (numpy, wire values, candidate) -> (n, 3, 3) matrices.
Maker = Callable[[ModuleType, "NDArray[Any]", str], "NDArray[Any]"]

QUATERNION_ORDERS = ("wxyz", "xyzw")
MATRIX_DIRECTIONS = ("body_to_world", "world_to_body")
# The six orders of turning about three different axes, intrinsic (each turn
# about the axis as the previous turns left it), first turn first.
EULER_SEQUENCES = ("ZYX", "XYZ", "YXZ", "ZXY", "XZY", "YZX")
WORLDS = ("ned", "enu")
TOLERANCE = 2e-3  # largest matrix element difference still "the same rotation" (~0.1 deg)
CHUNK = 1 << 16  # packets compared at a time, to bound the memory of a long recording
LEVEL = 0.9  # share of the specific force that must point along the world's vertical

# The attitude records of each descriptor set, by the representation each holds.
ATTITUDE_RECORDS = (
    {"quaternion": "CFQuaternion", "matrix": "CFOrientationMatrix", "euler": "CFEulerAngles"},
    {"quaternion": "OrientationQuaternion", "matrix": "OrientationMatrix", "euler": "OrientationEuler"},
)
# The specific force (up at rest) measured in each set's body frame, and its sign.
SPECIFIC_FORCE = ({"ScaledAccVector": 1.0}, {"GravityVector": -1.0, "CompensatedAcceleration": 1.0})
QUATERNION_ITEMS = ("x", "y", "z", "w")
MATRIX_ITEMS = tuple(f"m{r}{c}" for r in (1, 2, 3) for c in (1, 2, 3))
EULER_ITEMS = ("roll", "pitch", "yaw")
_AXIS_OF_ANGLE = {"X": 0, "Y": 1, "Z": 2}  # roll about x, pitch about y, yaw about z


class ConventionsError(ValueError):
    """The data do not settle the conventions (none or several fit), or a
    convention asked for is not known. `candidates` holds what fits (empty
    when nothing does)."""

    def __init__(self, message: str, candidates: Iterable[Conventions] = ()) -> None:
        super().__init__(message)
        self.candidates = tuple(candidates)


@dataclasses.dataclass(frozen=True)
class Conventions:
    """How the data write an attitude. A field is None where the data do not
    carry that representation (or, for `world`, cannot tell)."""

    quaternion: str | None = None  # "wxyz" (scalar first) or "xyzw" (scalar last)
    matrix: str | None = None  # "body_to_world" or "world_to_body"
    euler: str | None = None  # intrinsic turn order, e.g. "ZYX": yaw, then pitch, then roll
    world: str | None = None  # "ned", "enu", or None when unknown

    def __post_init__(self) -> None:
        for field, allowed in (
            ("quaternion", QUATERNION_ORDERS),
            ("matrix", MATRIX_DIRECTIONS),
            ("euler", EULER_SEQUENCES),
            ("world", WORLDS),
        ):
            value = getattr(self, field)
            if value is not None and value not in allowed:
                raise ConventionsError(f"{field} convention must be one of {', '.join(allowed)}, not {value!r}")

    def __str__(self) -> str:
        parts = [
            f"{name}={getattr(self, name)}"
            for name in ("quaternion", "matrix", "euler", "world")
            if getattr(self, name) is not None
        ]
        return ",".join(parts) or "none"

    def describe(self) -> str:
        """One line for people: each convention with what it means."""
        words = []
        if self.quaternion:
            words.append(f"quaternion {self.quaternion} (scalar {'first' if self.quaternion == 'wxyz' else 'last'})")
        if self.matrix:
            words.append(f"matrix {self.matrix.replace('_', ' ')}")
        if self.euler:
            words.append(f"Euler {self.euler} (intrinsic)")
        words.append(f"world {self.world.upper() if self.world else 'unknown'}")
        return ", ".join(words)

    def merged(self, other: Conventions) -> Conventions:
        """These conventions, with `other`'s filling what these leave open."""
        return Conventions(
            *(
                getattr(self, f.name) if getattr(self, f.name) is not None else getattr(other, f.name)
                for f in dataclasses.fields(self)
            )
        )


_FIELD_OF_VALUE = {
    value: field
    for field, values in (
        ("quaternion", QUATERNION_ORDERS),
        ("matrix", MATRIX_DIRECTIONS),
        ("euler", EULER_SEQUENCES),
        ("world", WORLDS),
    )
    for value in values
}


def parse_conventions(text: str) -> Conventions:
    """Conventions from text such as "xyzw,world_to_body,ZYX,ned" or
    "quaternion=xyzw,euler=ZYX" (the parts in any order, any left out)."""
    fields: dict[str, str] = {}
    for part in (p.strip() for p in text.split(",")):
        if not part:
            continue
        name, _, value = part.rpartition("=")
        value = value.strip()
        key = (
            value if value in _FIELD_OF_VALUE else value.upper() if value.upper() in _FIELD_OF_VALUE else value.lower()
        )
        field = name.strip() or _FIELD_OF_VALUE.get(key)
        if (
            field not in ("quaternion", "matrix", "euler", "world")
            or key not in _FIELD_OF_VALUE
            or _FIELD_OF_VALUE[key] != field
        ):
            raise ConventionsError(
                f"unknown convention {part!r} (known: quaternion {'/'.join(QUATERNION_ORDERS)}, "
                f"matrix {'/'.join(MATRIX_DIRECTIONS)}, euler {'/'.join(EULER_SEQUENCES)}, "
                f"world {'/'.join(WORLDS)})"
            )
        if field in fields:
            raise ConventionsError(f"{field} convention given twice in {text!r}")
        fields[field] = key
    return Conventions(**fields)


# -- rotations as numpy matrices (n, 3, 3): body coordinates -> world coordinates


def quaternion_matrices(np: ModuleType, wire: NDArray[Any], order: str) -> NDArray[Any]:
    """The rotations of quaternions given as (n, 4) in wire order x, y, z, w."""
    q = wire if order == "wxyz" else wire[:, [3, 0, 1, 2]]
    q = q / np.linalg.norm(q, axis=1, keepdims=True)
    w, x, y, z = q.T
    return np.stack(
        [
            np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)], axis=1),
            np.stack([2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)], axis=1),
            np.stack([2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)], axis=1),
        ],
        axis=1,
    )


def matrix_matrices(np: ModuleType, wire: NDArray[Any], direction: str) -> NDArray[Any]:
    """The rotations of matrices given as (n, 9), row by row."""
    m = wire.reshape(-1, 3, 3)
    return m if direction == "body_to_world" else m.transpose(0, 2, 1)


def _turn(np: ModuleType, axis: int, angle: NDArray[Any]) -> NDArray[Any]:
    c, s = np.cos(angle), np.sin(angle)
    one, zero = np.ones_like(angle), np.zeros_like(angle)
    rows = {
        0: ((one, zero, zero), (zero, c, -s), (zero, s, c)),
        1: ((c, zero, s), (zero, one, zero), (-s, zero, c)),
        2: ((c, -s, zero), (s, c, zero), (zero, zero, one)),
    }[axis]
    return np.stack([np.stack(row, axis=1) for row in rows], axis=1)


def euler_matrices(np: ModuleType, wire: NDArray[Any], sequence: str) -> NDArray[Any]:
    """The rotations of (roll, pitch, yaw) angles (n, 3), turned in `sequence`."""
    result: NDArray[Any] | None = None
    for letter in sequence:
        turn = _turn(np, _AXIS_OF_ANGLE[letter], wire[:, _AXIS_OF_ANGLE[letter]])
        result = turn if result is None else result @ turn
    assert result is not None  # a sequence has three turns
    return result


_CANDIDATES = {"quaternion": QUATERNION_ORDERS, "matrix": MATRIX_DIRECTIONS, "euler": EULER_SEQUENCES}
_MAKERS: dict[str, Maker] = {"quaternion": quaternion_matrices, "matrix": matrix_matrices, "euler": euler_matrices}
_ITEMS: dict[str, tuple[str, ...]] = {"quaternion": QUATERNION_ITEMS, "matrix": MATRIX_ITEMS, "euler": EULER_ITEMS}


def representation_of(record: str) -> str | None:
    """ "quaternion", "matrix" or "euler" for an attitude record, else None."""
    for group in ATTITUDE_RECORDS:
        for kind, name in group.items():
            if name == record:
                return kind
    return None


def wire_values(np: ModuleType, table: NDArray[Any], kind: str) -> NDArray[Any]:
    """A table's attitude items as a float64 (n, k) array, in wire order."""
    return np.stack([table[item].astype(np.float64) for item in _ITEMS[kind]], axis=1)


def _agreeing_pairs(np: ModuleType, wires: Mapping[str, NDArray[Any]]) -> dict[tuple[str, str], set[tuple[str, str]]]:
    """For each two representations present, the candidate pairs that agree
    in every packet: {(kind_a, kind_b): {(candidate_a, candidate_b), ...}}."""
    kinds = list(wires)
    agree = {
        (a, b): set(itertools.product(_CANDIDATES[a], _CANDIDATES[b])) for a, b in itertools.combinations(kinds, 2)
    }
    n = len(next(iter(wires.values())))
    for start in range(0, n, CHUNK):
        made = {
            kind: {c: _MAKERS[kind](np, wire[start : start + CHUNK], c) for c in _CANDIDATES[kind]}
            for kind, wire in wires.items()
        }
        for (a, b), pairs in agree.items():
            for pair in list(pairs):
                diff = np.abs(made[a][pair[0]] - made[b][pair[1]]).max(axis=(1, 2))
                if not (diff <= TOLERANCE).all():  # NaN never agrees
                    pairs.discard(pair)
    return agree


def fitting(np: ModuleType, wires: Mapping[str, NDArray[Any]]) -> list[dict[str, str]]:
    """Every combination of candidates ({kind: candidate} over the kinds in
    `wires`) under which all of them agree in every packet."""
    kinds = list(wires)
    agree = _agreeing_pairs(np, wires)
    return [
        dict(zip(kinds, combo))
        for combo in itertools.product(*(_CANDIDATES[k] for k in kinds))
        if all(
            (combo[i], combo[j]) in agree[(kinds[i], kinds[j])] for i, j in itertools.combinations(range(len(kinds)), 2)
        )
    ]


def _same_packets(np: ModuleType, tables: Mapping[str, NDArray[Any]]) -> tuple[dict[str, NDArray[Any]], NDArray[Any]]:
    """The tables' rows restricted to the packets all of them have (and,
    where a table has a validity flag, where it says Valid)."""
    common: NDArray[Any] | None = None
    for table in tables.values():
        # A structured dtype always has names; NDArray cannot say the dtype is structured.
        packets = table["packet"][table["valid"]] if "valid" in table.dtype.names else table["packet"]  # type: ignore[operator]
        common = packets if common is None else np.intersect1d(common, packets)
    assert common is not None  # called with two tables or more
    return {kind: table[np.isin(table["packet"], common)] for kind, table in tables.items()}, common


def _world(np: ModuleType, rotation: NDArray[Any], force: NDArray[Any]) -> str | None:
    """ "ned" or "enu" from the specific force turned into the world frame, or
    None when it does not point clearly along the vertical."""
    norms = np.linalg.norm(force, axis=1)
    keep = norms > 0
    if not keep.any():
        return None
    up = ((rotation[keep] @ force[keep][:, :, None])[:, 2, 0] / norms[keep]).mean()
    return "enu" if up > LEVEL else "ned" if up < -LEVEL else None


def _specific_force(
    np: ModuleType, records: Mapping[str, NDArray[Any]], set_index: int, packets: NDArray[Any]
) -> NDArray[Any] | None:
    for name, sign in SPECIFIC_FORCE[set_index].items():
        table = records.get(name)
        if table is None:
            continue
        rows = table[np.isin(table["packet"], packets)]
        if len(rows) == len(packets):
            return sign * np.stack([rows[k].astype(np.float64) for k in "xyz"], axis=1)
    return None


def _group_findings(
    np: ModuleType, records: Mapping[str, NDArray[Any]]
) -> list[tuple[dict[str, str], list[tuple[dict[str, str], str | None]]]]:
    """Per descriptor set that carries the attitude two or three ways: the
    fitting combinations and the world each of them implies."""
    findings: list[tuple[dict[str, str], list[tuple[dict[str, str], str | None]]]] = []
    for set_index, group in enumerate(ATTITUDE_RECORDS):
        tables = {kind: records[name] for kind, name in group.items() if name in records}
        if len(tables) < 2:
            continue
        tables, packets = _same_packets(np, tables)
        if not len(packets):
            continue
        tables = {kind: np.sort(t, order="packet") for kind, t in tables.items()}
        wires = {kind: wire_values(np, t, kind) for kind, t in tables.items()}
        force = _specific_force(np, records, set_index, packets)
        found: list[tuple[dict[str, str], str | None]] = []
        for combo in fitting(np, wires):
            kind, candidate = next(iter(combo.items()))
            world = None if force is None else _world(np, _MAKERS[kind](np, wires[kind], candidate), force)
            found.append((combo, world))
        findings.append((group, found))
    return findings


def detect(np: ModuleType, records: Mapping[str, NDArray[Any]]) -> Conventions:
    """Conventions from {record: structured array} (load()'s tables, or the
    rows of a few live packets). Raises ConventionsError when none or
    several fit, or when no packet carries the attitude two ways."""
    findings = _group_findings(np, records)
    if not findings:
        present = [name for group in ATTITUDE_RECORDS for name in group.values() if name in records]
        raise ConventionsError(
            "the data do not carry the attitude two ways in one packet "
            f"({', '.join(present) or 'no attitude records'}): state the conventions with --conventions"
        )
    combos: list[Conventions] | None = None
    for _group, found in findings:
        options = [Conventions(**combo, world=world) for combo, world in found]
        combos = options if combos is None else [a.merged(b) for a in combos for b in options if _compatible(a, b)]
    if not combos:
        raise ConventionsError("no candidate convention makes the attitude records agree in every packet")
    if len(set(combos)) > 1:
        raise ConventionsError(
            f"several conventions fit the data ({'; '.join(map(str, combos))}): state them with --conventions", combos
        )
    return combos[0]


def _compatible(a: Conventions, b: Conventions) -> bool:
    return all(x is None or y is None or x == y for x, y in zip(dataclasses.astuple(a), dataclasses.astuple(b)))


def conventions(recording: Recording) -> Conventions:
    """The Conventions a Recording's attitude records settle. Raises
    ConventionsError when the data carry the attitude one way only, or when
    none or several candidates fit."""
    from .recording import _numpy

    return detect(_numpy(), recording.records)


def rotation_of(np: ModuleType, table: NDArray[Any], record: str, conv: Conventions | None) -> Any:
    """A scipy Rotation (vectorised) of a record's rows under `conv`."""
    from .recording import needs

    spatial = needs("scipy.spatial.transform", "rotation()", "rotation")
    kind = representation_of(record)
    if kind is None:
        raise ValueError(f"{record} is not an attitude record")
    if conv is None or getattr(conv, kind) is None:
        raise ConventionsError(
            f"the {kind} convention of {record} is not known: "
            "detect it from data that carry the attitude two ways, or state it"
        )
    matrices = _MAKERS[kind](np, wire_values(np, table, kind), getattr(conv, kind))
    return spatial.Rotation.from_matrix(matrices)


def euler_degrees_of(rotation: Any, conv: Conventions | None) -> NDArray[Any]:
    """(n, 3) roll, pitch, yaw in degrees of a Rotation, turned in the
    conventions' Euler order (ZYX, the usual yaw-pitch-roll, when unknown)."""
    sequence = conv.euler if conv is not None and conv.euler else "ZYX"
    angles = rotation.as_euler(sequence, degrees=True)
    if angles.ndim == 1:
        angles = angles[None, :]
    order = [sequence.index(axis) for axis in "XYZ"]  # back to roll, pitch, yaw
    return angles[:, order]


def attitude_record(records: Mapping[str, Any] | Sequence[str]) -> str:
    """The first attitude record present (the filter's before the sensor's own)."""
    for group in reversed(ATTITUDE_RECORDS):
        for name in group.values():
            if name in records:
                return name
    raise ValueError("the data hold no attitude record")
