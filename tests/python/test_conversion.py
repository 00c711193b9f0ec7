"""Argument matching, the conversion rules by native kind, their messages, and the borrow flag."""

import fractions

import numpy as np
import pytest

from morva_core import World

from conftest import Hostile, fault_of, new_world, two_cell_world


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.5


# One parameter of each native kind, reached through a method that takes it.
def u8(v):
    World((4, 4, 1), "periodic", v, 1.0)


def u16(v):
    new_world().add_cell(v, 1.0, 1.0, 0.0, 0.0)


def u32(v):
    new_world().seed_block(v, 0, 0, 0, 0, 0, 0)  # empty box: any id converts and nothing is painted


def u64(v):
    new_world().finalize(v)


def usize(v):
    new_world().seed_block(0, v, 0, 0, 0, 0, 0)


def f64(v):
    new_world().add_cell(1, v, 1.0, 0.0, 0.0)


def text(v):
    World((4, 4, 1), v, 1, 1.0)


def seq_u32(v):
    World((2, 2, 1), "periodic", 1, 1.0).seed_from_labels(v, {}, 1, 1.0, 1.0)


def dict_u32_u16(v):
    new_world().seed_from_labels([0] * 16, v, 1, 1.0, 1.0)


def dims(v):
    World(v, "periodic", 1, 1.0)


ACCEPTED = [
    (u8, 0), (u8, 255), (u8, True), (u8, Index(3)), (u8, np.uint8(2)), (u8, np.int64(1)),
    (u16, 65535), (u16, Index(65535)),
    (u32, 2**32 - 1), (u32, np.uint32(7)),
    (u64, 0), (u64, 2**64 - 1), (u64, Index(2**63)),
    (usize, 2**64 - 1),
    (f64, 3), (f64, 2.5), (f64, Real()), (f64, fractions.Fraction(1, 3)), (f64, np.float32(0.5)), (f64, Index(4)),
    (f64, float("nan")),
    (text, "periodic"), (text, "noflux"),
    (seq_u32, [1, 2, 2, 0]), (seq_u32, (1, 0, 0, 0)), (seq_u32, range(4)), (seq_u32, np.arange(4, dtype=np.uint32)),
    (seq_u32, bytearray(b"\x01\x02\x03\x04")),
    (dict_u32_u16, {}), (dict_u32_u16, {2**32 - 1: 65535, Index(3): Index(1)}),
    (dims, (2, 3, 1)), (dims, (Index(2), np.int64(2), 1)),
]


@pytest.mark.parametrize("convert,value", ACCEPTED)
def test_accepted_values(convert, value):
    convert(value)


REFUSED = [
    # integers of a fixed width
    (u8, 256, OverflowError, "out of range integral type conversion attempted"),
    (u8, -1, OverflowError, "out of range integral type conversion attempted"),
    (u8, 2**70, OverflowError, "Python int too large to convert to C long"),
    (u8, 1.0, TypeError, "argument 'neighbor_order': 'float' object cannot be interpreted as an integer"),
    (u8, "1", TypeError, "argument 'neighbor_order': 'str' object cannot be interpreted as an integer"),
    (u16, 65536, OverflowError, "out of range integral type conversion attempted"),
    (u16, -(2**63), OverflowError, "out of range integral type conversion attempted"),
    (u16, None, TypeError, "argument 'cell_type': 'NoneType' object cannot be interpreted as an integer"),
    (u32, 2**32, OverflowError, "out of range integral type conversion attempted"),
    (u32, Index(-1), OverflowError, "out of range integral type conversion attempted"),
    (u32, 1.5, TypeError, "argument 'cell_id': 'float' object cannot be interpreted as an integer"),
    (u64, 2**64, OverflowError, None),
    (u64, -1, OverflowError, None),
    (u64, 1.0, TypeError, "argument 'seed': 'float' object cannot be interpreted as an integer"),
    (usize, -1, OverflowError, None),
    (usize, "0", TypeError, "argument 'x0': 'str' object cannot be interpreted as an integer"),
    # reals
    (f64, "1.0", TypeError, "argument 'target_volume': must be real number, not str"),
    (f64, None, TypeError, "argument 'target_volume': must be real number, not NoneType"),
    (f64, 10**400, OverflowError, "int too large to convert to float"),
    # text
    (text, 5, TypeError, "argument 'boundary': 'int' object cannot be converted to 'PyString'"),
    (text, b"periodic", TypeError, "argument 'boundary': 'bytes' object cannot be converted to 'PyString'"),
    # sequences
    (seq_u32, "1200", TypeError, "argument 'labels': Can't extract `str` to `Vec`"),
    (seq_u32, 5, TypeError, "argument 'labels': 'int' object cannot be converted to 'Sequence'"),
    (seq_u32, {1: 2}, TypeError, "argument 'labels': 'dict' object cannot be converted to 'Sequence'"),
    (seq_u32, {1, 2}, TypeError, "argument 'labels': 'set' object cannot be converted to 'Sequence'"),
    (seq_u32, [0, 0, 1.5, 0], TypeError, "argument 'labels': 'float' object cannot be interpreted as an integer"),
    (seq_u32, [0, 0, 2**32, 0], OverflowError, "out of range integral type conversion attempted"),
    # dicts
    (dict_u32_u16, [(1, 2)], TypeError, "argument 'types': 'list' object cannot be converted to 'PyDict'"),
    (dict_u32_u16, {1: 70000}, OverflowError, "out of range integral type conversion attempted"),
    (dict_u32_u16, {"a": 1}, TypeError, "argument 'types': 'str' object cannot be interpreted as an integer"),
    # box sizes
    (dims, [4, 4, 4], TypeError, "argument 'dims': 'list' object cannot be converted to 'PyTuple'"),
    (dims, (4, 4), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    (dims, (4, 4, 4, 4), ValueError, "expected tuple of length 3, but got tuple of length 4"),
    (dims, (4, 4, -1), OverflowError, None),
    (dims, (4, 4, 1.0), TypeError, "argument 'dims': 'float' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("convert,value,kind,message", REFUSED)
def test_refused_values(convert, value, kind, message):
    with pytest.raises(kind) as info:
        convert(value)
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message


def test_renamed_type_error_carries_the_original_cause_over():
    root = KeyError("root")

    class Bad:
        def __index__(self):
            raise TypeError("inner") from root

    w = two_cell_world(seed=0)
    with pytest.raises(TypeError) as info:
        w.step(Bad())
    assert str(info.value) == "argument 'mcs': inner"
    assert info.value.__cause__ is root

    with pytest.raises(TypeError) as info:
        w.step(1.5)
    assert info.value.__cause__ is None


def test_other_errors_from_conversion_pass_unchanged():
    class Bad:
        def __index__(self):
            raise ValueError("not today")

    with pytest.raises(ValueError, match="^not today$"):
        two_cell_world(seed=0).step(Bad())


def test_conversion_stops_at_the_first_failure():
    seen = []
    w = new_world()
    with pytest.raises(TypeError, match="^argument 'target_volume': "):
        w.add_cell(Hostile(lambda: seen.append("cell_type")), "x", Hostile(lambda: seen.append("lambda_volume")), 0, 0)
    assert seen == ["cell_type"]
    assert w.n_cells() == 0


def test_non_string_sequence_of_characters_is_refused_item_by_item():
    with pytest.raises(TypeError, match="^argument 'labels': 'str' object cannot be interpreted as an integer$"):
        seq_u32(["1", "2", "3", "4"])


# ---------------------------------------------------------------------------- arity and keywords

ARITY = [
    (lambda w: w.step(), "World.step() missing 1 required positional argument: 'mcs'"),
    (lambda w: w.step(1, 2), "World.step() takes 2 positional arguments but 3 were given"),
    (lambda w: w.step(x=1), "World.step() got an unexpected keyword argument 'x'"),
    (lambda w: w.step(1, mcs=2), "World.step() got multiple values for argument 'mcs'"),
    (lambda w: w.step(1, 2, mcs=3), "World.step() got multiple values for argument 'mcs'"),
    (lambda w: w.step("not converted", 2), "World.step() takes 2 positional arguments but 3 were given"),
    (lambda w: w.set_contact(1), "World.set_contact() missing 2 required positional arguments: 'type_b' and 'j'"),
    (lambda w: w.set_contact(j=1.0), "World.set_contact() missing 2 required positional arguments: 'type_a' and 'type_b'"),
    (
        lambda w: w.add_cell(1),
        "World.add_cell() missing 4 required positional arguments: "
        "'target_volume', 'lambda_volume', 'target_surface', and 'lambda_surface'",
    ),
    (lambda w: w.finalize(0, 1, 2), "World.finalize() takes 2 positional arguments but 4 were given"),
    (lambda w: w.dims(1), "World.dims() takes no arguments (1 given)"),
    (lambda w: w.n_cells(x=1), "World.n_cells() takes no keyword arguments"),
    (
        lambda w: World((4, 4, 1)),
        "World.__new__() missing 3 required positional arguments: 'boundary', 'neighbor_order', and 'temperature'",
    ),
    (lambda w: World((4, 4, 1), "periodic", 1, 1.0, 5), "World.__new__() takes 5 positional arguments but 6 were given"),
    (lambda w: World((4, 4, 1), "periodic", 1, 1.0, dims=(1, 1, 1)), "World.__new__() got multiple values for argument 'dims'"),
    (lambda w: World((4, 4, 1), "periodic", 1, 1.0, colour=1), "World.__new__() got an unexpected keyword argument 'colour'"),
]


@pytest.mark.parametrize("call,message", ARITY)
def test_arity_and_keyword_errors_use_the_interpreters_wording(call, message):
    with pytest.raises(TypeError) as info:
        call(two_cell_world(seed=0))
    assert str(info.value) == message


def test_every_parameter_can_be_given_by_keyword():
    w = World(temperature=1.0, dims=(4, 4, 1), neighbor_order=1, boundary="periodic")
    c = w.add_cell(lambda_surface=0.0, target_surface=0.0, lambda_volume=1.0, target_volume=4.0, cell_type=1)
    w.seed_block(z1=1, y1=2, x1=2, z0=0, y0=0, x0=0, cell_id=c)
    made = w.seed_from_labels(lambda_volume=1.0, target_volume=2.0, default_type=2, types={}, labels=[0] * 15 + [5])
    w.set_contact(j=2.0, type_b=2, type_a=1)
    w.finalize(seed=7)
    w.step(mcs=3)
    assert made == {5: 2} and w.n_cells() == 2


# -------------------------------------------------------------------------------------- borrow flag


def test_exclusive_call_reentered_by_a_query_is_refused():
    w = two_cell_world()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        w.add_cell(Hostile(w.n_cells), 1.0, 1.0, 0.0, 0.0)
    assert w.n_cells() == 2  # nothing changed and the borrow was released


def test_exclusive_call_reentered_by_an_exclusive_call_is_refused():
    w = two_cell_world()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        w.add_cell(1, Hostile(lambda: w.set_contact(1, 1, 1.0)), 1.0, 0.0, 0.0)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        w.seed_block(1, 0, 0, 0, Hostile(lambda: w.seed_block(2, 0, 0, 0, 1, 1, 1)), 1, 1)
    assert w.snapshot()[:4] == [1, 1, 2, 2]
    w.finalize(0)
    w.step(1)


def test_sequence_methods_that_reenter_are_refused():
    class Labels:
        def __len__(self):
            return 16

        def __getitem__(self, i):
            if i >= 16:
                raise IndexError(i)
            w.cell_volumes()
            return 0

    w = two_cell_world()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        w.seed_from_labels(Labels(), {}, 1, 1.0, 1.0)
    assert w.n_cells() == 2


def test_a_world_can_be_used_while_another_is_borrowed():
    other = two_cell_world()
    w = new_world()
    w.add_cell(Hostile(lambda: other.add_cell(1, 1.0, 1.0, 0.0, 0.0)), 1.0, 1.0, 0.0, 0.0)
    assert other.n_cells() == 3 and w.n_cells() == 1


def test_a_list_emptied_during_its_own_conversion_ends_early():
    labels = [Hostile(lambda: labels.clear(), 0), 0, 0, 0]
    w = World((2, 2, 1), "periodic", 1, 1.0)
    err = fault_of(lambda: w.seed_from_labels(labels, {}, 1, 1.0, 1.0))
    assert err.args == ("labels length must equal n_sites: 1 != 4",)
