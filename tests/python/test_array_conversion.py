import numpy as np
import pytest

from nivoradb_core._core import _testing

RAGGED = "All vectors must have the same length."


def base(rows=3, cols=4):
    return np.arange(rows * cols, dtype=np.float32).reshape(rows, cols)


@pytest.mark.parametrize("make", [
    lambda: base(),
    lambda: np.asfortranarray(base()),
    lambda: base(4, 3).T,
    lambda: base(6, 8)[::2, 1::2],
    lambda: base(3, 8)[:, ::-2],
    lambda: base(6, 4)[::-2],
    lambda: np.broadcast_to(np.arange(4, dtype=np.float32), (3, 4)),
    lambda: np.frombuffer(b"\0" + base().tobytes(), dtype=np.float32, offset=1).reshape(3, 4),
    lambda: np.zeros((0, 4), np.float32),
    lambda: np.zeros((3, 0), np.float32),
])
def test_numpy_copies_in_index_order(make):
    array = make()
    matrix = _testing.numpy_to_matrix(array, False)
    assert matrix.shape == array.shape
    np.testing.assert_array_equal(matrix, np.ascontiguousarray(array))


def test_transposed_equals_its_copy():
    rng = np.random.default_rng(7)
    array = rng.standard_normal((5, 9)).astype(np.float32)
    np.testing.assert_array_equal(_testing.numpy_to_matrix(array.T, False),
                                  _testing.numpy_to_matrix(array.T.copy(), False))


def test_numpy_one_dimension():
    vector = np.arange(4, dtype=np.float32)
    np.testing.assert_array_equal(_testing.numpy_to_matrix(vector, True), vector.reshape(1, 4))
    np.testing.assert_array_equal(_testing.numpy_to_matrix(vector[::-1], True),
                                  vector[::-1].reshape(1, 4))
    with pytest.raises(RuntimeError, match=r"^Expected a 2D array\.$"):
        _testing.numpy_to_matrix(vector, False)


@pytest.mark.parametrize("shape", [(), (2, 2, 2)])
@pytest.mark.parametrize("allow_1d, text", [
    (True, "Expected a 2D array or a 1D array if allowed."),
    (False, "Expected a 2D array."),
])
def test_numpy_other_shapes_refused(shape, allow_1d, text):
    with pytest.raises(RuntimeError) as info:
        _testing.numpy_to_matrix(np.zeros(shape, np.float32), allow_1d)
    assert str(info.value) == text


@pytest.mark.parametrize("array", [
    np.zeros((2, 2), np.float64),
    np.zeros((2, 2), np.int32),
    np.zeros((2, 2), ">f4"),
    [[1.0, 2.0]],
])
def test_numpy_other_dtypes_are_not_converted(array):
    with pytest.raises(TypeError):
        _testing.numpy_to_matrix(array, False)


@pytest.mark.parametrize("vectors, expected, single", [
    ([1.0, 2.0, 3.0], [[1, 2, 3]], True),
    ([1, 2], [[1, 2]], True),
    ([[1.0, 2.0]], [[1, 2]], True),
    ([[1.0, 2.0], [3.0, 4.0]], [[1, 2], [3, 4]], False),
    ([np.array([1, 2], np.float32), [3, 4]], [[1, 2], [3, 4]], False),
    ([np.float32(5), 6.0], [[5, 6]], True),
    ([[]], np.zeros((1, 0)), False),
    ([], np.zeros((0, 0)), False),
])
def test_query_lists(vectors, expected, single):
    matrix, is_single = _testing.query_list_to_matrix(vectors)
    np.testing.assert_array_equal(matrix, np.asarray(expected, np.float32))
    assert matrix.dtype == np.float32
    assert is_single is single


@pytest.mark.parametrize("vectors", [
    [[1.0, 2.0], [3.0]],
    [[1.0], [2.0, 3.0]],
    [[1.0, 2.0], []],
    [np.zeros(3, np.float32), np.zeros(2, np.float32)],
])
def test_ragged_rows_refused(vectors):
    with pytest.raises(ValueError, match="^" + RAGGED + "$"):
        _testing.query_list_to_matrix(vectors)
    with pytest.raises(ValueError, match="^" + RAGGED + "$"):
        _testing.rows_to_matrix([list(map(float, row)) for row in vectors])


@pytest.mark.parametrize("vectors", [
    [1.0, "x"],
    [[1.0], ["x"]],
    [[1.0], 2.0],
    [np.zeros((2, 2), np.float32)],
])
def test_unconvertible_elements_raise_runtime_error(vectors):
    with pytest.raises(RuntimeError):
        _testing.query_list_to_matrix(vectors)
