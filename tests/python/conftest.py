"""Shared helpers for the Board and module tests, and the selection of the
sanitizer runs."""

from pathlib import Path

import pytest

import orvex_chess

DEFAULT_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"


def _panic_type():
    # The internal-failure type is not exported; take it from a failure.
    try:
        orvex_chess.Board("x w - -")
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("Board('x w - -') did not fail")


PanicException = _panic_type()


def _sanitized():
    maps = Path("/proc/self/maps")
    return maps.exists() and "libasan" in maps.read_text()


# Whether the module runs under AddressSanitizer (scripts/sanitize.sh).
SANITIZED = _sanitized()


def snapshot(board):
    """Everything observable about a board except its history."""
    return board.fen(), board.bitboard()


def history_len(board):
    """Number of moves a copy of the board can take back."""
    probe = board.copy()
    count = 0
    while True:
        try:
            probe.pop()
        except PanicException:
            return count
        count += 1
        assert count < 100_000, "pop never ran out of history"


# --- What the sanitizer runs take -----------------------------------------------
#
# scripts/sanitize.sh runs the tests marked "asan", scripts/tsan.sh those marked
# "tsan". Each entry names a test file and the tests of it that the run takes:
# ALL (every test of the file, a new one too) or ALL minus the tests named, or
# only the tests named. Cases marked slow (the deep perft counts) stay out of
# both: the C++ tests count them under the sanitizers.
HERE = Path(__file__).resolve().parent


def _all_but(*names):
    return ("all_but", frozenset(names))


def _only(*names):
    return ("only", frozenset(names))


ALL = _all_but()


SANITIZER_RUNS = {
    # AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer: every
    # path through the module's C++ and Python.h code that handles memory
    # (the batch calls, pickles, the PGN reader, the arrays, the leak loops,
    # bad input and failed calls), without what spends its time in python-chess,
    # mypy, Dask or the command's subprocesses.
    "asan": {
        "test_batch.py": ALL,
        "test_bitboard.py": ALL,
        "test_env.py": ALL,
        "test_fen.py": ALL,
        "test_generator_order.py": ALL,
        "test_leaks.py": ALL,
        "test_many_tensors.py": ALL,
        "test_module.py": ALL,
        "test_pgn.py": ALL,
        "test_pickle.py": ALL,
        "test_properties.py": ALL,
        "test_push_pop.py": ALL,
        "test_reflect.py": ALL,
        "test_robustness.py": ALL,
        "test_rules.py": _all_but("test_rules_agree_with_python_chess_at_every_ply"),
        "test_tensors.py": ALL,
        "test_zobrist.py": ALL,
        # The games checked move by move against python-chess take minutes of
        # pure Python there; the SAN read from bad and odd input stays.
        "test_san.py": _all_but(
            "test_san_of_every_legal_move_matches_python_chess",
            "test_parse_san_reads_python_chess_san_back",
            "test_push_san_replays_the_games",
            "test_is_check_matches_python_chess",
            "test_the_games_reach_every_form",
            "test_written_san_has_the_standard_shape",
        ),
    },
    # ThreadSanitizer: the calls that run on worker threads, or while other
    # Python threads run, with and without errors on the workers.
    "tsan": {
        "test_batch.py": _only(
            "test_many_equals_one_call_per_position_on_the_benchmark_suite",
            "test_perft_matches_published_counts",
            "test_perft_is_the_walk_of_the_python_api_on_odd_boards",
            "test_the_same_board_may_come_more_than_once",
            "test_a_bad_fen_is_a_value_error_naming_its_index",
            "test_the_first_bad_fen_is_the_one_reported",
            "test_other_threads_run_during_a_batch_call",
            "test_a_board_held_by_a_batch_call_refuses_other_calls",
            "test_ctrl_c_stops_a_batch_call_and_leaves_the_board",
        ),
        "test_many_tensors.py": _only(
            "test_each_row_is_the_one_board_call",
            "test_indices_are_the_legal_indices_in_the_ragged_layout",
            "test_out_is_filled_in_place_and_returned",
            "test_the_first_bad_fen_is_the_one_reported",
            "test_repeated_boards_and_a_board_in_use",
            "test_ctrl_c_stops_mask_many",
        ),
        "test_env.py": _only(
            "test_every_state_of_pgx_is_reproduced",
            "test_forms_agree_and_thread_counts_agree",
            "test_pickle_resumes_the_same_games",
        ),
        "test_rules.py": _only("test_outcomes_many_gives_each_outcome_as_its_code"),
        "test_pgn.py": _only(
            "test_threads_and_block_sizes_give_the_same_games",
            "test_close_stops_reading_and_closes_the_file",
            "test_threads_none_means_every_core",
        ),
        # A piece read in the background while batches are taken, and dropped.
        "test_training.py": _only("test_small_pieces_give_the_same_batches"),
    },
}


def _takes(rule, name):
    kind, names = rule
    return (name in names) == (kind == "only")


def pytest_configure(config):
    for run in SANITIZER_RUNS:
        config.addinivalue_line(
            "markers", f"{run}: taken by the {run} run of the suite (SANITIZER_RUNS in conftest.py)")


def pytest_collection_modifyitems(config, items):
    seen = {}
    for item in items:
        seen.setdefault(item.path.name, set()).add(item.originalname)
        if item.get_closest_marker("slow"):
            continue
        for run, files in SANITIZER_RUNS.items():
            rule = files.get(item.path.name)
            if rule is not None and _takes(rule, item.originalname):
                item.add_marker(run)
    # A renamed file or test must not drop out of a run unnoticed.
    for run, files in SANITIZER_RUNS.items():
        for file, rule in files.items():
            if not (HERE / file).is_file():
                raise pytest.UsageError(f"SANITIZER_RUNS[{run!r}] names {file}, which does not exist")
            missing = rule[1] - seen[file] if file in seen else set()
            if missing:
                raise pytest.UsageError(
                    f"SANITIZER_RUNS[{run!r}] names tests that {file} does not have: {sorted(missing)}")
