"""A job's request engine for the tests: sends with requests and records the
keyword arguments of every call in `calls`."""

import requests

calls = []

# Seconds the engine waits for an answer; tests lower it to provoke time-outs.
timeout = 10


def make_qvd_request(**kwargs):
    calls.append(dict(kwargs))
    return requests.request(
        kwargs["request_type"],
        kwargs["url"],
        headers=kwargs["headers"],
        data=kwargs["payload"],
        cookies=kwargs["cookies"],
        timeout=timeout,
    )
