"""The arrays of many positions (planes_many, bitboards_many, states_many,
zobrist_many, mask_many, indices_many): row for row what the one-board calls
give, at any thread count, with out= filled in place and bad input refused
before anything is written."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from orvex_chess import Board, MoveGenerator

from conftest import DEFAULT_FEN, history_len, snapshot
from test_tensors import needs_numpy, np

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import suite as bench_suite  # noqa: E402

GENERATOR = MoveGenerator()
BAD_FEN = "rnbqkbnr/ppppXppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"


def state_word(fen):
    """The state word as the record keeps it, from the FEN fields."""
    _, side, castling, ep = fen.split()[:4]
    word = int(side == "w")
    for bit, right in enumerate("KQkq", start=1):
        word |= (right in castling) << bit
    if ep != "-":
        word |= 1 << ((5 if ep[1] == "6" else 13) + "abcdefgh".index(ep[0]))
    return word


# The row of each method that the one-board API gives, and the rows of the
# many-position call, as bytes or lists.
def one_board_rows(name, board):
    return {
        "planes": lambda: board.planes().tobytes(),
        "planes-mirror": lambda: board.planes(mirror=True).tobytes(),
        "bitboards": lambda: board.bitboards().tolist(),
        "states": lambda: state_word(board.fen()),
        "zobrist": lambda: board.zobrist(),
        "mask-az": lambda: GENERATOR.legal_mask(board, "az").tobytes(),
        "mask-lc0": lambda: GENERATOR.legal_mask(board, "lc0").tobytes(),
    }[name]()


def many_rows(name, positions, threads):
    kw = {"threads": threads}
    result = {
        "planes": lambda: GENERATOR.planes_many(positions, **kw),
        "planes-mirror": lambda: GENERATOR.planes_many(positions, mirror=True, **kw),
        "bitboards": lambda: GENERATOR.bitboards_many(positions, **kw),
        "states": lambda: GENERATOR.states_many(positions, **kw),
        "zobrist": lambda: GENERATOR.zobrist_many(positions, **kw),
        "mask-az": lambda: GENERATOR.mask_many(positions, "az", **kw),
        "mask-lc0": lambda: GENERATOR.mask_many(positions, "lc0", **kw),
    }[name]()
    view = memoryview(result)
    if name in ("states", "zobrist", "bitboards"):
        return view.tolist()
    data, size = view.tobytes(), view.nbytes // view.shape[0]
    return [data[i:i + size] for i in range(0, len(data), size)]


METHODS = ["planes", "planes-mirror", "bitboards", "states", "zobrist", "mask-az", "mask-lc0"]


@pytest.fixture(scope="module")
def mixed():
    """The benchmark suite four times over (several chunks at any thread
    count), some positions as boards with history, the rest as FEN strings,
    and the boards they stand for."""
    boards = [Board(p.fen) for p in bench_suite.build_suite()]
    for board in boards[::7]:
        moves = GENERATOR(board)
        if moves:
            board.push(moves[-1])
    positions = [b if i % 3 else b.fen() for i, b in enumerate(boards)] * 4
    return positions, boards * 4


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("name", METHODS)
def test_each_row_is_the_one_board_call(mixed, name, threads):
    positions, boards = mixed
    histories = [history_len(b) for b in boards[:250]]
    rows = many_rows(name, positions, threads)
    assert rows == [one_board_rows(name, b) for b in boards]
    assert [history_len(b) for b in boards[:250]] == histories


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("encoding", ["az", "lc0"])
def test_indices_are_the_legal_indices_in_the_ragged_layout(mixed, encoding, threads):
    positions, boards = mixed
    ids, offsets = GENERATOR.indices_many(positions, encoding, threads=threads)
    assert (memoryview(ids).format, memoryview(offsets).format) == ("h", "q")
    ids, offsets = ids.tolist(), offsets.tolist()
    assert len(offsets) == len(positions) + 1 and offsets[0] == 0 and offsets[-1] == len(ids)
    assert [ids[a:b] for a, b in zip(offsets, offsets[1:])] == [
        GENERATOR.legal_indices(b, encoding).tolist() for b in boards]


def test_states_and_zobrist_keys_of_odd_positions():
    fens = [
        "rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b Kq e3",
        "4k3/8/8/2pP4/8/8/8/4K2K w - c6",   # two white kings
        "8/8/8/8/8/8/8/8 w - -",             # no pieces at all
    ]
    boards = [Board(f) for f in fens]
    assert GENERATOR.states_many(fens).tolist() == [state_word(b.fen()) for b in boards]
    assert GENERATOR.zobrist_many(fens).tolist() == [b.zobrist() for b in boards]


@pytest.mark.parametrize("call, shape, fmt", [
    (lambda p: GENERATOR.planes_many(p), (0, 12, 8, 8), "B"),
    (lambda p: GENERATOR.bitboards_many(p), (0, 12), "Q"),
    (lambda p: GENERATOR.states_many(p), (0,), "Q"),
    (lambda p: GENERATOR.zobrist_many(p), (0,), "Q"),
    (lambda p: GENERATOR.mask_many(p, "az"), (0, 4672), "?"),
    (lambda p: GENERATOR.indices_many(p, "lc0")[0], (0,), "h"),
])
def test_no_positions_give_empty_arrays(call, shape, fmt):
    view = memoryview(call(iter([])))
    assert (view.shape, view.format, view.c_contiguous) == (shape, fmt, True)
    assert GENERATOR.indices_many((), "az")[1].tolist() == [0]


OUT_CALLS = {
    "planes": (lambda p, out: GENERATOR.planes_many(p, mirror=True, out=out), (12, 8, 8), "B"),
    "bitboards": (lambda p, out: GENERATOR.bitboards_many(p, out=out), (12,), "Q"),
    "states": (lambda p, out: GENERATOR.states_many(p, out=out), (), "Q"),
    "zobrist": (lambda p, out: GENERATOR.zobrist_many(p, out=out), (), "Q"),
    "mask": (lambda p, out: GENERATOR.mask_many(p, "lc0", out=out, threads=2), (1858,), "?"),
}


def byte_buffer(rows, row_shape, fmt, fill=0x07):
    size = {"B": 1, "?": 1, "Q": 8}[fmt]
    count = rows
    for n in row_shape:
        count *= n
    raw = bytearray(bytes([fill]) * (count * size))
    return raw, memoryview(raw).cast(fmt, (rows, *row_shape))


@pytest.mark.parametrize("name", OUT_CALLS)
def test_out_is_filled_in_place_and_returned(name):
    call, row_shape, fmt = OUT_CALLS[name]
    positions = [Board(), "r3k2r/8/8/8/8/8/8/R3K2R b KQkq -", Board("8/8/8/8/8/8/8/K6k w - -")] * 100
    expected = call(positions, None).tobytes()
    raw, view = byte_buffer(len(positions), row_shape, fmt)
    assert call(positions, view) is view
    assert bytes(raw) == expected


@needs_numpy
def test_out_may_be_a_slice_of_a_numpy_batch():
    boards = [Board(), Board("r3k2r/8/8/8/8/8/8/R3K2R b KQkq -")]
    batch = np.ones((4, 4672), dtype=bool)
    GENERATOR.mask_many(boards, "az", out=batch[1:3])
    assert batch[0].all() and batch[3].all()
    assert (batch[1:3] == np.stack([np.asarray(GENERATOR.legal_mask(b, "az")) for b in boards])).all()
    planes = np.empty((2, 12, 8, 8), dtype=np.uint8)
    assert GENERATOR.planes_many([b.fen() for b in boards], out=planes) is planes
    assert (planes == np.stack([np.asarray(b.planes()) for b in boards])).all()


@pytest.mark.parametrize("make, error, words", [
    (lambda: byte_buffer(3, (12, 8, 8), "B")[1], ValueError, "shape (2, 12, 8, 8), not (3, 12, 8, 8)"),
    (lambda: byte_buffer(2, (768,), "B")[1], ValueError, "shape (2, 12, 8, 8), not (2, 768)"),
    (lambda: byte_buffer(2, (12, 8, 8), "Q")[1], TypeError, "uint8 ('B')"),
    (lambda: memoryview(bytes(1536)).cast("B", (2, 12, 8, 8)), ValueError, "read-only"),
    (lambda: byte_buffer(4, (12, 8, 8), "B")[1][::2], ValueError, "C-contiguous"),
    (lambda: [0] * 1536, TypeError, "writable buffer of uint8 items with shape (2, 12, 8, 8)"),
    (lambda: memoryview(bytearray(1)).cast("B", ()), ValueError, "shape (2, 12, 8, 8), not ()"),
], ids=["rows", "row-shape", "item-type", "read-only", "strided", "list", "zero-dimensional"])
def test_bad_out_is_refused_and_boards_are_given_back(make, error, words):
    board = Board()
    out = make()
    with pytest.raises(error, match=r"planes_many\(\) argument 'out' must") as info:
        GENERATOR.planes_many([board, DEFAULT_FEN], out=out)
    assert words in str(info.value)
    board.push("e2e4")  # not left borrowed


@pytest.mark.parametrize("name", OUT_CALLS)
@pytest.mark.parametrize("index", [0, 130, 999])
def test_a_bad_fen_leaves_out_untouched_and_names_its_index(name, index):
    call, row_shape, fmt = OUT_CALLS[name]
    board = Board()
    positions = [board] * index + [BAD_FEN] + [DEFAULT_FEN] * (999 - index)
    raw, view = byte_buffer(len(positions), row_shape, fmt)
    before = bytes(raw)
    with pytest.raises(ValueError, match=rf"^Invalid fen: positions\[{index}\]: Invalid piece type"):
        call(positions, view)
    assert bytes(raw) == before
    board.push("e2e4")


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("call", [
    lambda p, t: GENERATOR.planes_many(p, threads=t),
    lambda p, t: GENERATOR.zobrist_many(p, threads=t),
    lambda p, t: GENERATOR.mask_many(p, "az", threads=t),
    lambda p, t: GENERATOR.indices_many(p, "lc0", threads=t),
], ids=["planes", "zobrist", "mask", "indices"])
def test_the_first_bad_fen_is_the_one_reported(call, threads):
    positions = [DEFAULT_FEN] * 1500 + ["8/8 w"] + [DEFAULT_FEN] * 1500 + ["x w - -"]
    with pytest.raises(ValueError, match=r"^Invalid fen: positions\[1500\]: "):
        call(positions, threads)


@pytest.mark.parametrize("call, error, message", [
    (lambda g, b: g.planes_many([b], True), TypeError, "takes 1 positional argument but 2 were given"),
    (lambda g, b: g.planes_many([b], mirror=1), TypeError, "argument 'mirror' must be bool"),
    (lambda g, b: g.mask_many([b]), TypeError, "missing required argument 'encoding'"),
    (lambda g, b: g.mask_many([b], "az", None), TypeError, "takes 2 positional arguments but 3 were given"),
    (lambda g, b: g.indices_many([b], "pgx"), ValueError, "Unknown encoding: 'pgx'"),
    (lambda g, b: g.indices_many([b], "az", out=None), TypeError, "unexpected keyword argument 'out'"),
    (lambda g, b: g.zobrist_many([b], threads=0), ValueError, "zobrist_many() argument 'threads' must be from 1"),
    (lambda g, b: g.states_many([b], threads=2.0), TypeError, "'threads' must be int or None, not float"),
    (lambda g, b: g.bitboards_many(b), TypeError, "'positions' must be a sequence of Board objects or FEN strings, not orvex_chess.Board"),
    (lambda g, b: g.bitboards_many(DEFAULT_FEN), TypeError, "'positions' must be a sequence of Board objects or FEN strings, not str"),
    (lambda g, b: g.planes_many([b, None]), TypeError, "but positions[1] is NoneType"),
])
def test_bad_arguments(call, error, message):
    board = Board()
    with pytest.raises(error) as info:
        call(GENERATOR, board)
    assert message in str(info.value)
    assert snapshot(board) == snapshot(Board())
    board.push("e2e4")  # not left borrowed


def test_repeated_boards_and_a_board_in_use():
    from test_batch import _hold

    board = Board()
    positions = [board, DEFAULT_FEN, board] * 200
    assert GENERATOR.zobrist_many(positions, threads=2).tolist() == [board.zobrist()] * 600
    held, other = Board(), Board()
    for _ in range(5):  # a call may end before this thread gets to look
        holding = _hold(GENERATOR, held, "many")
        if holding:
            break
    assert holding, "the call was never seen holding the board"
    thread, _ = holding
    try:
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            GENERATOR.planes_many([other, held])
    finally:
        thread.join()
    other.push("e2e4")  # given back after the refusal


INTERRUPT_SCRIPT = textwrap.dedent(
    """
    import os, signal, threading, time
    import orvex_chess

    generator = orvex_chess.MoveGenerator()
    # Three white kings take the slow road of generation.
    slow = "1rQQ3K/8/5Q2/r3b3/6Q1/7Q/8/K2Q3K w - -"
    positions = [orvex_chess.Board(slow), slow] * 500_000

    def interrupt():
        time.sleep(0.3)
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    try:
        generator.mask_many(positions, "az", threads=THREADS)
        print("finished before the signal")
    except KeyboardInterrupt:
        print("interrupted")
    """
)


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_mask_many(threads):
    script = INTERRUPT_SCRIPT.replace("THREADS", str(threads))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["interrupted"]


@pytest.mark.parametrize("call, error", [
    (lambda b, f, out: GENERATOR.planes_many([b, f] * 300, out=out, threads=2), None),
    (lambda b, f, out: GENERATOR.indices_many([b, f] * 300, "az", threads=2), None),
    (lambda b, f, out: GENERATOR.mask_many([b, f] * 300, "lc0", threads=2), None),
    (lambda b, f, out: GENERATOR.planes_many([b, f] * 299 + [BAD_FEN, b], out=out), ValueError),
    (lambda b, f, out: GENERATOR.indices_many([b, f] * 300 + ["x w - -"], "az"), ValueError),
    (lambda b, f, out: GENERATOR.zobrist_many([b, f, 3]), TypeError),
    (lambda b, f, out: GENERATOR.planes_many([b, f], out=out), ValueError),
], ids=["planes", "indices", "mask", "planes-bad-fen", "indices-bad-fen", "bad-item", "bad-out"])
def test_calls_keep_counts_and_memory(call, error):
    from test_leaks import fresh, repeat, unchanged

    board = Board(fresh("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"))
    fen = fresh("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -")
    out = memoryview(bytearray(600 * 768)).cast("B", (600, 12, 8, 8))

    def once():
        try:
            call(board, fen, out)
        except Exception as exc:  # noqa: BLE001 - checked below
            assert error is not None and isinstance(exc, error), exc
        else:
            assert error is None

    n = repeat(1_000, once)
    with unchanged(GENERATOR, board, fen, out):
        for _ in range(n):
            once()
    board.push("e1f1")  # not left borrowed


# Every many-position form, as one value that compares equal when the results do.
FORMS = {
    "planes": lambda p, t: GENERATOR.planes_many(p, threads=t).tobytes(),
    "bitboards": lambda p, t: GENERATOR.bitboards_many(p, threads=t).tobytes(),
    "states": lambda p, t: GENERATOR.states_many(p, threads=t).tobytes(),
    "zobrist": lambda p, t: GENERATOR.zobrist_many(p, threads=t).tobytes(),
    "mask-az": lambda p, t: GENERATOR.mask_many(p, "az", threads=t).tobytes(),
    "mask-lc0": lambda p, t: GENERATOR.mask_many(p, "lc0", threads=t).tobytes(),
    "indices": lambda p, t: [a.tobytes() for a in GENERATOR.indices_many(p, "lc0", threads=t)],
    "outcomes": lambda p, t: GENERATOR.outcomes_many(p, threads=t).tobytes(),
    "many": lambda p, t: GENERATOR.many(p, threads=t),
}


# The forms whose rows cost a few nanoseconds take a thread for each 16,384
# board items only.
CHEAP_FORMS = ("bitboards", "states", "zobrist")


@pytest.fixture(scope="module")
def large():
    """50,000 positions, as FEN strings and as boards: enough for three
    threads even on the cheapest rows. The other forms take the first 12,500,
    which make a legal mask array of 58 MB, well above the size from which
    new arrays are mapped apart."""
    fens = [" ".join(p.fen.split()[:4]) for p in bench_suite.build_suite()] * 200
    return {"FEN strings": fens, "boards": [Board(f) for f in fens]}


@pytest.mark.parametrize("kind", ["boards", "FEN strings"])
@pytest.mark.parametrize("form", FORMS)
def test_every_thread_count_gives_the_same_result(large, form, kind):
    positions = large[kind] if form in CHEAP_FORMS else large[kind][:12_500]
    one = FORMS[form](positions, 1)
    assert FORMS[form](positions, 2) == one
    assert FORMS[form](positions, 3) == one


@pytest.mark.parametrize("form", ["planes", "zobrist", "mask-az", "indices", "outcomes", "many"])
def test_a_bad_item_read_while_the_workers_run_fails_the_call(large, form):
    # The workers start on the first positions before the bad one is read.
    boards = large["boards"][:6000]
    with pytest.raises(TypeError, match=r"but positions\[6000\] is NoneType"):
        FORMS[form](boards + [None], 2)
    assert FORMS[form](boards[:300], 2) == FORMS[form](boards[:300], 1)
    boards[0].push(GENERATOR(boards[0])[0])  # not left borrowed
    boards[0].pop()


@needs_numpy
def test_a_large_new_array_lives_as_long_as_a_view_of_it(large):
    fens = large["FEN strings"][:2000]
    masks = np.asarray(GENERATOR.mask_many(fens, "az"))  # 9 MB: mapped apart
    assert masks.flags.c_contiguous and masks.flags.writeable and masks.shape == (2000, 4672)
    expected = masks.copy()
    # Only the numpy array holds the memory now (through the memoryview it
    # wraps); arrays made and dropped meanwhile must not get it.
    for _ in range(3):
        GENERATOR.mask_many(fens[::-1], "az")
        GENERATOR.planes_many(fens * 6)
    assert (masks == expected).all()
    masks[0, 0] = not masks[0, 0]
    assert memoryview(masks.base)[0, 0] == masks[0, 0]  # one block, no copy
