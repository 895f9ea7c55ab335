"""Regression tests for faults found by trying the library as a hostile user."""

import signal
import subprocess
import sys
import textwrap

import pytest

from orvex_chess import Board, MoveGenerator

from conftest import DEFAULT_FEN, SANITIZED, PanicException

# Pushes knight moves until the address space runs out, then checks that the
# board is still whole: its pickle loads, the generator works on it, and popping
# every move ends on the start position.
OUT_OF_MEMORY_SCRIPT = textwrap.dedent(
    """
    import pickle, resource
    import orvex_chess

    def vm_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()

    board = orvex_chess.Board()
    generator = orvex_chess.MoveGenerator()
    cycle = ["g1f3", "g8f6", "f3g1", "f6g8"]
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + EXTRA_BYTES, hard))
    pushed = 0
    failures = 0
    try:
        while failures < 3:
            try:
                board.push(cycle[pushed % 4])
                pushed += 1
            except MemoryError:
                failures += 1
                try:
                    generator(board)
                except MemoryError:
                    pass
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert pushed > 1000, pushed
    restored = pickle.loads(pickle.dumps(board))
    assert generator(restored) == generator(board)
    for _ in range(pushed):
        board.pop()
    assert board.fen() == orvex_chess.Board().fen(), board.fen()
    try:
        board.pop()
    except BaseException as exc:
        assert type(exc).__name__ == "PanicException", exc
    else:
        raise AssertionError("a move too many was taken back")
    print("ok", pushed)
    """
)


# AddressSanitizer needs address space of its own and aborts when it runs out.
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer cannot run with a small address space")
@pytest.mark.parametrize("limit_mib", [48, 64, 80, 100])
def test_push_out_of_memory_keeps_the_history_whole(limit_mib):
    script = OUT_OF_MEMORY_SCRIPT.replace("EXTRA_BYTES", str(limit_mib << 20))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.startswith("ok")


EXCERPT = 40


@pytest.mark.parametrize("text", [
    "\ud800" * 10_000_000,
    "e2e4" * 2_500_000,
    "\u00e9" * 1000,
    "e2e4\u00e9",  # five characters, six bytes
], ids=["surrogates", "long-ascii", "non-ascii", "five-characters-six-bytes"])
def test_long_move_text_gives_a_short_error(text):
    board = Board()
    with pytest.raises(ValueError) as info:
        board.push(text)
    message = str(info.value)
    prefix = "Invalid chess move: Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: "
    assert message.startswith(prefix)
    shown = message[len(prefix):]
    if len(text) > EXCERPT:
        assert shown == text[:EXCERPT] + "..."
    else:
        assert shown == text
    assert board.fen() == DEFAULT_FEN


@pytest.mark.skipif(SANITIZED, reason="the resident size means nothing under AddressSanitizer")
def test_generators_share_one_set_of_tables():
    def rss_kib():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")

    MoveGenerator()  # the first one builds the tables
    before = rss_kib()
    generators = [MoveGenerator() for _ in range(100)]
    assert rss_kib() - before < 2048  # each used to hold 4 MiB of its own
    board = Board()
    assert all(g(board) == generators[0](board) for g in generators)


@pytest.mark.parametrize("fen", [
    "4k3/8/8/8/8/8/8/4K3 b - T",    # used to give white the move
    "r3k2r/8/8/8/8/8/8/R3K2R w - ]",  # used to add the K right
])
def test_odd_en_passant_letter_changes_nothing(fen):
    board = Board(fen)
    placement, side = fen.split()[:2]
    assert board.fen() == f"{placement} {side} - -"
    assert "e1g1" not in MoveGenerator()(board)


def test_panic_is_still_raised_for_missing_fields():
    with pytest.raises(PanicException):
        Board("8/8/8/8/8/8/8/8 w KQkq")


# A thread inside a call that runs with the lock released while the
# interpreter shuts down: a daemon thread when the main thread ends, or a
# thread the main thread joins when Ctrl-C comes twice (the second one while
# the interpreter waits for the thread at exit).
SHUTDOWN_SCRIPT = textwrap.dedent(
    """
    import os, signal, sys, threading, time
    import orvex_chess

    generator = orvex_chess.MoveGenerator()
    work = {
        "perft": lambda: generator.perft(orvex_chess.Board(), 7),
        "many": lambda: generator.many([orvex_chess.Board()] * 3_000_000),
        "mask_many": lambda: generator.mask_many([orvex_chess.Board()] * 3_000_000, "az"),
    }[sys.argv[1]]
    if sys.argv[2] == "daemon":
        threading.Thread(target=work, daemon=True).start()
        time.sleep(0.3)
    else:
        thread = threading.Thread(target=work)
        thread.start()
        for delay in (0.3, 0.6):
            threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT)).start()
        thread.join()
    """
)


@pytest.mark.parametrize("how, status", [("daemon", 0), ("interrupted", -signal.SIGINT)])
@pytest.mark.parametrize("call", ["perft", "many", "mask_many"])
def test_exit_while_a_thread_is_inside_a_released_call_is_clean(call, how, status):
    # Used to abort ("terminate called without an active exception"): the
    # interpreter ends such a thread with pthread_exit when it asks for the
    # lock back, and that unwind ran into a destructor that may not throw.
    for _ in range(2):
        result = subprocess.run([sys.executable, "-c", SHUTDOWN_SCRIPT, call, how],
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == status, result.stderr[-2000:]
        assert "terminate" not in result.stderr


# Batch calls in a child made by fork() after the parent's batch calls. The
# worker threads are kept between calls, and a child has none of them.
FORK_SCRIPT = textwrap.dedent(
    """
    import os, signal, sys, time
    import orvex_chess

    generator = orvex_chess.MoveGenerator()
    board = orvex_chess.Board()
    expected = generator.perft(board, 6, threads=2), generator.many([board] * 50_000, threads=2)
    child = os.fork()
    if child == 0:
        got = generator.perft(board, 6, threads=2), generator.many([board] * 50_000, threads=2)
        os._exit(0 if got == expected else 3)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        done, status = os.waitpid(child, os.WNOHANG)
        if done:
            sys.exit(os.waitstatus_to_exitcode(status))
        time.sleep(0.05)
    os.kill(child, signal.SIGKILL)
    sys.exit("the child did not finish")
    """
)


def test_batch_calls_work_in_a_forked_child():
    # A child that took its parent's idle threads (recorded, but not copied by
    # fork) for its own would wait for them forever.
    result = subprocess.run([sys.executable, "-c", FORK_SCRIPT], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
