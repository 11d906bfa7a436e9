# The tests in a shuffled order, as the C++ suite runs its own: a test that
# depends on what another left behind fails. TROVAN_TEST_SEED (tools/test.sh
# passes the C++ suite's) repeats an order; without it the order is new each
# time and printed.
import os
import random


def pytest_collection_modifyitems(session, config, items):
    seed = int(os.environ.get("TROVAN_TEST_SEED") or random.randrange(1, 100000))
    random.Random(seed).shuffle(items)
    config._trovan_seed = seed


def pytest_report_header(config):
    return "test order: TROVAN_TEST_SEED=%s" % os.environ.get("TROVAN_TEST_SEED", "(new, see the end)")


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    terminalreporter.write_line("test order was TROVAN_TEST_SEED=%s" % getattr(config, "_trovan_seed", "?"))
