"""numpy arrays: which are passed as they are, how the others are converted
and mixed, and which are refused."""

import ctypes
import os
import subprocess
import sys
from array import array

import pytest

import silsplit
from silsplit import _core
from conftest import RATE, SPEECH, riff, signal

np = pytest.importorskip("numpy")

SAMPLES = np.asarray(signal(SPEECH), dtype=np.float32)


@pytest.fixture
def passed(monkeypatch):
    """What reaches silsplit_analyze_pcm: (address, float32 bytes) per call."""
    lib = _core._library()
    real = lib.silsplit_analyze_pcm
    calls = []

    def spy(pointer, n, opts):
        calls.append((pointer, ctypes.string_at(pointer, 4 * n) if n else b""))
        return real(pointer, n, opts)

    monkeypatch.setattr(lib, "silsplit_analyze_pcm", spy)
    return calls


def floats(values):
    """float32 bytes of values rounded once from double, the oracle for every
    conversion below."""
    return array("f", values).tobytes()


# ---------------------------------------------------------------------------
# float32 is shared, not copied
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("make", [
    lambda: SAMPLES.copy(),
    lambda: SAMPLES.reshape(-1, 1).copy(),        # one channel as frames x 1
    lambda: np.frombuffer(SAMPLES.tobytes(), dtype=np.float32),   # read-only
], ids=["1-D", "frames-x-1", "read-only"])
def test_float32_is_passed_without_a_copy(make, passed):
    arr = make()
    report = silsplit.analyze_pcm(arr)
    assert passed == [(arr.ctypes.data, SAMPLES.tobytes())]
    assert report.json == silsplit.analyze_pcm(signal(SPEECH)).json


@pytest.mark.parametrize("make", [
    lambda: np.repeat(SAMPLES, 2)[::2],                      # strided
    lambda: SAMPLES.astype(">f4"),                           # other byte order
    lambda: np.frombuffer(b"\0" + SAMPLES.tobytes(), dtype=np.float32, offset=1),  # unaligned
], ids=["strided", "byte-swapped", "unaligned"])
def test_other_float32_layouts_are_copied(make, passed):
    arr = make()
    silsplit.analyze_pcm(arr)
    (address, data), = passed
    assert data == SAMPLES.tobytes()
    assert address != arr.ctypes.data and address % 4 == 0


# ---------------------------------------------------------------------------
# Other types are converted as the WAV reader decodes them
# ---------------------------------------------------------------------------

INT16 = [0, 1, -1, 12345, -32768, 32767, 255, -256]
INT32 = [0, 1, -1, 2147483647, -2147483648, 16777217, -16777219, 123456789, 2**30 + 65]
DOUBLES = [0.0, 0.1, -1 / 3, 1e-9, 0.5, -0.99999999, 1.5]


@pytest.mark.parametrize("arr, expected", [
    (np.array(INT16, dtype=np.int16), floats(v / 32768 for v in INT16)),
    (np.array(INT16, dtype=">i2"), floats(v / 32768 for v in INT16)),
    # A 32-bit sample is rounded to float32 first (2147483647 becomes 1.0),
    # then scaled by 2^-31, exactly as the reader does.
    (np.array(INT32, dtype=np.int32), floats(v / 2147483648 for v in INT32)),
    (np.array(DOUBLES, dtype=np.float64), floats(DOUBLES)),
], ids=["int16", "int16-big-endian", "int32", "float64"])
def test_conversions(arr, expected, passed):
    silsplit.analyze_pcm(arr)
    assert passed[0][1] == expected


def _mixed(columns):
    """Mean of the channels: added in double in channel order, divided by the
    count, rounded to float32 once."""
    out = []
    for frame in zip(*columns):
        total = 0.0
        for v in frame:
            total += v
        out.append(total / len(frame))
    return floats(out)


def _as_float32(values):
    return list(array("f", values))


TONE = signal([(0.5, 0.0), (6.0, 0.5), (1.5, 0.0), (6.0, 0.3), (0.5, 0.0)])


def _int_channels(count, full_scale):
    # Channels that differ, so the mean is no channel's copy.
    return [[int(round(v * (0.9 - 0.2 * c) * (full_scale - 1))) for v in TONE]
            for c in range(count)]


@pytest.mark.parametrize("channels, sample_type", [
    (2, "int16"), (3, "int16"), (4, "int16"), (2, "int32"), (3, "int32"),
    (2, "float32"), (3, "float32"),
])
def test_channels_are_mixed_like_the_reader(channels, sample_type, passed, tmp_path):
    if sample_type == "int16":
        columns = _int_channels(channels, 32768)
        arr = np.array(columns, dtype=np.int16).T.copy()
        decoded = [[v / 32768 for v in col] for col in columns]
        data, tag, bits = arr.tobytes(), 1, 16
    elif sample_type == "int32":
        columns = _int_channels(channels, 2147483648)
        arr = np.array(columns, dtype=np.int32).T.copy()
        decoded = [_as_float32(v / 2147483648 for v in col) for col in columns]
        data, tag, bits = arr.tobytes(), 1, 32
    else:
        columns = [_as_float32(v * (0.9 - 0.2 * c) for v in TONE) for c in range(channels)]
        arr = np.array(columns, dtype=np.float32).T.copy()
        decoded = columns
        data, tag, bits = arr.tobytes(), 3, 32
    path = tmp_path / "mixed.wav"
    path.write_bytes(riff(fmt_tag=tag, channels=channels, bits=bits, data=data))

    # The level curve (to 0.1 dB) and the pauses show the mix too.
    options = {"report_levels": True, "report_pauses": True}
    report = silsplit.analyze_pcm(arr, sample_rate=RATE, **options)
    assert passed[0][1] == _mixed(decoded)
    assert report.json == silsplit.analyze(str(path), **options).json
    assert len(report.chapters) == 2 and len(report.pauses) == 1


def test_float64_channels_are_added_in_double(passed):
    # 1 + 2^-30 - 1 is 2^-30 in double but 0 once each value is float32.
    arr = np.array([[1.0, 2.0**-30, -1.0]], dtype=np.float64)
    silsplit.analyze_pcm(arr)
    assert passed[0][1] == floats([2.0**-30 / 3])


def test_channel_order_of_a_transposed_array(passed):
    # Fortran order (channels contiguous) gives the same mean.
    columns = _int_channels(3, 32768)
    arr = np.asfortranarray(np.array(columns, dtype=np.int16).T)
    silsplit.analyze_pcm(arr)
    assert passed[0][1] == _mixed([[v / 32768 for v in col] for col in columns])


def test_empty_arrays():
    for arr in (np.zeros(0, np.float32), np.zeros((0, 2), np.int16)):
        report = silsplit.analyze_pcm(arr)
        assert report.duration_s == 0 and report.chapters == ()


# ---------------------------------------------------------------------------
# Anything else is a TypeError naming what is accepted
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("arr", [
    np.zeros(8, np.uint8), np.zeros(8, np.int8), np.zeros(8, np.uint16), np.zeros(8, np.int64),
    np.zeros(8, np.float16), np.zeros(8, np.complex64), np.zeros(8, bool),
    np.array(["a", "b"]), np.array([0.5, None], dtype=object),
    np.zeros((2, 2, 2), np.float32), np.array(0.5, np.float32),
], ids=lambda a: "%s-%dd" % (a.dtype, a.ndim))
def test_refused_arrays(arr, monkeypatch):
    monkeypatch.setattr(_core, "_library", lambda: pytest.fail("the library was called"))
    with pytest.raises(TypeError, match="float32, float64, int16 or int32") as info:
        silsplit.analyze_pcm(arr)
    assert str(arr.dtype) in str(info.value)


def test_no_channels(monkeypatch):
    monkeypatch.setattr(_core, "_library", lambda: pytest.fail("the library was called"))
    with pytest.raises(ValueError, match="at least one channel"):
        silsplit.analyze_pcm(np.zeros((100, 0), np.float32))


def test_numpy_is_not_imported_by_the_package():
    code = "import sys, silsplit; silsplit.analyze_pcm([0.0] * 100); print('numpy' in sys.modules)"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(silsplit.__file__)))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert out.stdout.strip() == "False", out.stderr
