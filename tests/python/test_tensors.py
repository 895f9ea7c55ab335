"""Arrays and policy indices for learning: planes, bitboards, move indices in
the "az" and "lc0" encodings, legal-move masks, and the out= buffers."""

import sys
from pathlib import Path

import pytest

from orvex_chess import Board, MoveGenerator

from conftest import DEFAULT_FEN, SANITIZED


def _numpy():
    # numpy's import leaves objects behind that LeakSanitizer reports at exit
    # (not ours): the sanitized run checks the buffers through memoryview only.
    if SANITIZED:
        return None
    try:
        import numpy
    except ImportError:
        return None
    return numpy


np = _numpy()
needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed or the run is sanitized")

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "bench"))
import suite as bench_suite  # noqa: E402

GENERATOR = MoveGenerator()
SIZES = {"az": 4672, "lc0": 1858}
LC0_LIST = (REPO / "src" / "encoding" / "lc0_policy_1858.txt").read_text().split()
AZ_FIXTURE = REPO / "tests" / "data" / "az_pgx.txt"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"


@pytest.fixture(scope="module")
def suite_boards():
    return [Board(p.fen) for p in bench_suite.build_suite()]


@pytest.mark.parametrize("encoding", ["az", "lc0"])
def test_every_suite_move_round_trips(suite_boards, encoding):
    for board in suite_boards:
        moves = GENERATOR(board)
        indices = [board.move_index(m, encoding) for m in moves]
        assert [board.index_move(i, encoding) for i in indices] == moves, board.fen()
        assert len(set(indices)) == len(indices), board.fen()
        assert GENERATOR.legal_indices(board, encoding).tolist() == indices, board.fen()
        mask = GENERATOR.legal_mask(board, encoding).tolist()
        assert [i for i, on in enumerate(mask) if on] == sorted(indices), board.fen()


def read_az_fixture():
    rows = []
    for line in AZ_FIXTURE.read_text().splitlines():
        if line.startswith("#"):
            continue
        fen, pairs = line.split(" | ")
        rows.append((fen, [(int(a), m) for a, m in (p.split(":") for p in pairs.split())]))
    return rows


def test_az_ids_are_pgx_action_ids():
    rows = read_az_fixture()
    assert len(rows) > 700
    assert {m[4:] for _, pairs in rows for _, m in pairs} >= {"", "q", "r", "b", "n"}
    for fen, pairs in rows:
        board = Board(fen)
        assert sorted(GENERATOR.legal_indices(board, "az").tolist()) == [a for a, _ in pairs], fen
        for action, move in pairs:
            assert board.move_index(move, "az") == action, (fen, move)
            assert board.index_move(action, "az") == move, (fen, action)


@pytest.mark.parametrize("fen, move, lc0_move", [
    (DEFAULT_FEN, "e2e4", "e2e4"),
    ("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq -", "e7e5", "e2e4"),
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", "e1g1", "e1h1"),
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", "e1c1", "e1a1"),
    ("r3k2r/8/8/8/8/8/8/R3K2R b KQkq -", "e8g8", "e1h1"),
    ("r3k2r/8/8/8/8/8/8/R3K2R b KQkq -", "e8c8", "e1a1"),
    ("1r5k/P7/8/8/8/8/8/K7 w - -", "a7a8n", "a7a8"),
    ("1r5k/P7/8/8/8/8/8/K7 w - -", "a7b8q", "a7b8q"),
    ("k7/8/8/8/8/8/p7/1R5K b - -", "a2b1r", "a7b8r"),
    ("k7/8/8/8/8/8/p7/1R5K b - -", "a2a1n", "a7a8"),
    ("k7/8/8/8/8/8/p7/1R5K b - -", "a2a1b", "a7a8b"),
])
def test_lc0_index_is_the_line_of_the_mover_view(fen, move, lc0_move):
    board = Board(fen)
    assert move in GENERATOR(board)
    index = board.move_index(move, "lc0")
    assert LC0_LIST[index] == lc0_move
    assert board.index_move(index, "lc0") == move


def test_planes_follow_bitboards_and_mirror_is_the_reflection(suite_boards):
    for board in suite_boards[::5]:
        planes = board.planes()
        assert planes.tolist() == [[bits[r * 8:r * 8 + 8] for r in range(8)]
                                   for bits in ([int(b) for b in kind] for kind in board.bitboard())]
        reflected = board.copy()
        reflected.reflect()
        view = reflected if board.turn() == "black" else board
        assert board.planes(mirror=True).tolist() == view.planes().tolist(), board.fen()
        bits = [sum(1 << s for s, on in enumerate(kind) if on) for kind in board.bitboard()]
        assert board.bitboards().tolist() == bits


@pytest.mark.parametrize("call, shape, fmt", [
    (lambda b: b.planes(), (12, 8, 8), "B"),
    (lambda b: b.bitboards(), (12,), "Q"),
    (lambda b: GENERATOR.legal_mask(b, "az"), (4672,), "?"),
    (lambda b: GENERATOR.legal_mask(b, "lc0"), (1858,), "?"),
    (lambda b: GENERATOR.legal_indices(b, "lc0"), (20,), "h"),
], ids=["planes", "bitboards", "mask-az", "mask-lc0", "indices"])
@needs_numpy
def test_results_are_contiguous_buffers_numpy_shares(call, shape, fmt):
    board = Board()
    result = call(board)
    view = memoryview(result)
    assert (view.shape, view.format, view.c_contiguous, view.readonly) == (shape, fmt, True, False)
    first, second = np.asarray(result), np.asarray(result)
    assert first.shape == shape and np.shares_memory(first, second)
    first.reshape(-1)[0] = 1
    assert second.reshape(-1)[0] == 1 and view.tobytes()[:1] != b"\0"


def test_no_legal_moves_give_an_empty_index_array_and_a_zero_mask():
    board = Board("7k/6Q1/6K1/8/8/8/8/8 b - -")
    indices = GENERATOR.legal_indices(board, "az")
    assert (indices.shape, indices.format) == ((0,), "h")
    assert not any(GENERATOR.legal_mask(board, "lc0").tolist())


OUT_CALLS = {
    "planes": (lambda b, out: b.planes(mirror=True, out=out), (12, 8, 8), "B"),
    "bitboards": (lambda b, out: b.bitboards(out=out), (12,), "Q"),
    "mask": (lambda b, out: GENERATOR.legal_mask(b, "lc0", out=out), (1858,), "?"),
}


@pytest.mark.parametrize("name", OUT_CALLS)
def test_out_is_filled_in_place_and_returned(name):
    call, shape, fmt = OUT_CALLS[name]
    board = Board(KIWIPETE)
    expected = call(board, None).tobytes()
    # A bytearray cast by memoryview, in the item type's other spellings too.
    for spelling in {"B": ("B",), "Q": ("Q", "L"), "?": ("?", "B")}[fmt]:
        raw = bytearray(b"\x07" * len(expected))
        view = memoryview(raw).cast(spelling, shape)
        assert call(board, view) is view
        assert bytes(raw) == expected, spelling


@needs_numpy
@pytest.mark.parametrize("name", OUT_CALLS)
def test_out_fills_a_row_of_a_numpy_batch(name):
    call, shape, fmt = OUT_CALLS[name]
    dtype = {"B": np.uint8, "Q": np.dtype("<u8"), "?": np.bool_}[fmt]
    board = Board(KIWIPETE)
    expected = np.asarray(call(board, None))
    batch = np.full((3, *shape), 1, dtype=dtype)
    call(board, batch[1])
    assert (batch[1] == expected).all() and (batch[0] == 1).all() and (batch[2] == 1).all()


def test_mask_also_fills_uint8_and_planes_bool():
    board = Board(KIWIPETE)
    mask = bytearray(4672)
    GENERATOR.legal_mask(board, "az", out=memoryview(mask))
    assert [i for i, on in enumerate(mask) if on] == sorted(GENERATOR.legal_indices(board, "az").tolist())
    planes = memoryview(bytearray(768)).cast("?", (12, 8, 8))
    board.planes(out=planes)
    assert planes.tobytes() == board.planes().tobytes()


def numpy_out(make, error, words):
    return pytest.param(make, error, words, marks=needs_numpy)


def read_only_array():
    array = np.zeros((12, 8, 8), dtype=np.uint8)
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("make, error, words", [
    (lambda: memoryview(bytearray(768)).cast("B", (12, 64)), ValueError, "shape (12, 8, 8), not (12, 64)"),
    (lambda: bytearray(768), ValueError, "shape (12, 8, 8), not (768,)"),
    (lambda: memoryview(bytearray(1536)).cast("h", (12, 8, 8)), TypeError, "uint8 ('B')"),
    (lambda: memoryview(bytearray(768)).cast("b", (12, 8, 8)), TypeError, "uint8 ('B')"),
    (lambda: memoryview(bytes(768)).cast("B", (12, 8, 8)), ValueError, "read-only"),
    (lambda: [0] * 768, TypeError, "writable buffer of uint8 items with shape (12, 8, 8)"),
    numpy_out(lambda: np.zeros((12, 8, 8), dtype=np.float32), TypeError, "uint8 ('B')"),
    numpy_out(read_only_array, ValueError, "read-only"),
    numpy_out(lambda: np.zeros((12, 8, 16), dtype=np.uint8)[:, :, ::2], ValueError, "C-contiguous"),
    numpy_out(lambda: np.zeros((12, 8, 8), dtype=np.uint8).transpose(0, 2, 1), ValueError,
              "C-contiguous"),
], ids=["2d", "flat", "int16", "int8", "bytes", "list", "float32", "numpy-read-only", "strided",
        "transposed"])
def test_bad_out_is_refused_and_left_untouched(make, error, words):
    out = make()
    board = Board()
    before = memoryview(out).tobytes() if not isinstance(out, list) else None
    with pytest.raises(error, match="planes\\(\\) argument 'out' must") as info:
        board.planes(out=out)
    assert words in str(info.value)
    if before is not None:
        assert memoryview(out).tobytes() == before


def test_strided_mask_out_is_refused():
    out = memoryview(bytearray(2 * 1858))[::2]
    with pytest.raises(ValueError, match="must be C-contiguous"):
        GENERATOR.legal_mask(Board(), "lc0", out=out)


def test_refused_out_lets_go_of_its_buffer():
    raw = bytearray(1858)
    view = memoryview(raw).cast("B", (2, 929))
    with pytest.raises(ValueError, match=r"shape \(1858,\)"):
        GENERATOR.legal_mask(Board(), "lc0", out=view)
    view.release()
    raw.extend(b"x")  # would raise BufferError if an export were still held


@pytest.mark.parametrize("call, error, message", [
    (lambda b: b.move_index("e2e4", "alphazero"), ValueError,
     "Unknown encoding: 'alphazero'; the encodings are 'az', 'lc0'"),
    (lambda b: GENERATOR.legal_mask(b, "LC0"), ValueError, "Unknown encoding: 'LC0'"),
    (lambda b: GENERATOR.legal_indices(b, b"az"), TypeError, "argument 'encoding' must be str"),
    (lambda b: GENERATOR.legal_indices(b.fen(), "az"), TypeError, "argument 'board' must be Board"),
    (lambda b: b.planes(True), TypeError, "takes 0 positional arguments but 1 was given"),
    (lambda b: b.planes(mirror=1), TypeError, "argument 'mirror' must be bool, not int"),
    (lambda b: GENERATOR.legal_mask(b, "az", None), TypeError, "takes 2 positional arguments"),
    (lambda b: b.index_move(1.0, "az"), TypeError, "argument 'index' must be int, not float"),
    (lambda b: b.index_move(True, "az"), TypeError, "argument 'index' must be int, not bool"),
    (lambda b: b.move_index(1, "az"), TypeError, "argument 'chess_move' must be str"),
])
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call(Board())
    assert message in str(info.value)


@pytest.mark.parametrize("fen, move, message", [
    (DEFAULT_FEN, "e7e5", "e7e5: no white piece on e7"),
    (DEFAULT_FEN, "e3e4", "e3e4: no white piece on e3"),
    (DEFAULT_FEN, "e2e5", "e2e5: a pawn cannot move from e2 to e5"),
    (DEFAULT_FEN, "b1b3", "b1b3: a knight cannot move from b1 to b3"),
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", "e1h1", "e1h1: a king cannot move from e1 to h1"),
    ("1r5k/P7/8/8/8/8/8/K7 w - -", "a7a8", "a7a8: a pawn reaching the last rank needs a promotion"),
    (DEFAULT_FEN, "g1f3q", "g1f3q: only a pawn reaching the last rank promotes"),
    (DEFAULT_FEN, "e2e4x", "expected coordinate notation such as e2e4 or e7e8q, got 'e2e4x'"),
    (DEFAULT_FEN, "i2i4", "expected coordinate notation such as e2e4 or e7e8q, got 'i2i4'"),
    (DEFAULT_FEN, "e2" * 30, "got '" + "e2" * 20 + "...'"),
])
def test_move_index_refuses_what_no_mover_piece_can_do(fen, move, message):
    board = Board(fen)
    for encoding in SIZES:
        with pytest.raises(ValueError) as info:
            board.move_index(move, encoding)
        assert str(info.value).startswith("Invalid chess move: ") and message in str(info.value)


@pytest.mark.parametrize("index, encoding, message", [
    (-1, "az", "-1 is outside 0..4671 of 'az'"),
    (4672, "az", "4672 is outside 0..4671 of 'az'"),
    (1858, "lc0", "1858 is outside 0..1857 of 'lc0'"),
    (2**70, "lc0", f"{2**70} is outside 0..1857 of 'lc0'"),
    (0, "az", "0 of 'az' names no move on the board"),
    (9, "az", "9 of 'az' names no move on the board"),  # a1 seven squares down
    (36 * 73 + 16, "az", "2644 of 'az' is e5e6 for white: no white piece on e5"),
    (32 * 73 + 16 + 1, "az", "2353 of 'az' is e1e3 for white: a king cannot move from e1 to e3"),
    (LC0_LIST.index("e7e5"), "lc0", "is e7e5 for white: no white piece on e7"),
])
def test_index_move_refuses_indices_that_name_no_mover_move(index, encoding, message):
    board = Board()
    with pytest.raises(ValueError) as info:
        board.index_move(index, encoding)
    assert message in str(info.value) and str(info.value).startswith("Invalid index: ")


def test_moves_a_piece_could_make_have_indices_without_being_legal():
    board = Board()
    assert board.index_move(board.move_index("e1g1", "az"), "az") == "e1g1"
    assert LC0_LIST[board.move_index("e1g1", "lc0")] == "e1h1"
    assert board.index_move(board.move_index("d1h5", "lc0"), "lc0") == "d1h5"


@needs_numpy
def test_index_move_reads_numpy_integers_and_black_sees_the_board_mirrored():
    board = Board()
    board.push("e2e4")
    mask = np.asarray(GENERATOR.legal_mask(board, "az"))
    assert sorted(board.index_move(i, "az") for i in np.flatnonzero(mask)) == sorted(GENERATOR(board))
    assert board.move_index("e7e5", "az") == Board().move_index("e2e4", "az")
