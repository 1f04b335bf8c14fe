"""The package's command line, run in a job's directory:

    python -m Nexra_publish watch [--pl | --collection NAME] [--query JSON] [--interval S] [--max-claims N]

Only the command line is read here; _watch reads the queue.
"""

import argparse
import math
import sys

PENDING = '{"status": "pending"}'


def _query(text):
    # MongoDB Extended JSON, so that a filter can name ObjectIds and dates.
    from bson import json_util
    from bson.errors import BSONError

    try:
        value = json_util.loads(text)
    except (ValueError, TypeError, BSONError) as e:  # BSONError: a bad {"$oid": ...}
        raise argparse.ArgumentTypeError(f"not valid Extended JSON ({e}): {text!r}") from None
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError(f"must be a JSON object (a filter document): {text!r}")
    return value


def _checked(convert, ok, what):
    """An argument type: `convert` the text, and refuse it unless `ok`."""

    def parse(text):
        try:
            value = convert(text)
        except ValueError:
            value = None
        if value is None or not ok(value):
            raise argparse.ArgumentTypeError(f"must be {what}: {text!r}")
        return value

    return parse


_seconds = _checked(float, lambda v: 0 < v < math.inf, "a number of seconds above 0")
_count = _checked(int, lambda v: v >= 1, "a whole number, at least 1")


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m Nexra_publish",
        description="Tools for a job that uses Nexra_publish; run them in the job's directory.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    watch = commands.add_parser(
        "watch",
        help="show a work queue's progress until nothing remains",
        description="Show the progress of the job's work queue (input_table, or pl_input_table "
        "with --pl): finished, free, leased and stuck rows, the finishing rate and "
        "the time left; a live bar on a terminal (with tqdm installed), else one "
        "line per interval. Ends when no matching row is free or leased. Finished "
        "rows are those of the collection the query no longer matches.",
    )
    queue = watch.add_mutually_exclusive_group()
    queue.add_argument("--pl", action="store_true", help="watch the pl queue (pl_input_table)")
    queue.add_argument(
        "--collection",
        metavar="NAME",
        help="watch the queue in this collection of the job's database (a LeasedScheduler's "
        "requests_<spider>, say, and its parts NAME-<i>of<n> if it is kept in parts) instead of input_table",
    )
    watch.add_argument(
        "--query",
        type=_query,
        default=PENDING,
        metavar="JSON",
        help=f"the filter the workers claim with, in MongoDB Extended JSON (default: {PENDING})",
    )
    watch.add_argument(
        "--interval", type=_seconds, default=2.0, metavar="S", help="seconds between readings (default: 2)"
    )
    watch.add_argument(
        "--max-claims", type=_count, default=5, metavar="N", help="the max_claims the workers claim with (default: 5)"
    )
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("name a command: watch")

    from ._watch import watch_queue

    return watch_queue(
        args.query, pl=args.pl, interval=args.interval, max_claims=args.max_claims, collection=args.collection
    )


if __name__ == "__main__":
    sys.exit(main())
