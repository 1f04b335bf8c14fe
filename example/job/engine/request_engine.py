"""The example job's request engine: plain requests, no proxy service."""

import requests


def make_qvd_request(url=None, headers=None, request_type="GET", proxy=None, payload=None,
                     proxy_region=None, projectid=None, feedid=None, cookies=None):
    return requests.request(request_type, url, headers=headers, data=payload, cookies=cookies,
                            timeout=10)
