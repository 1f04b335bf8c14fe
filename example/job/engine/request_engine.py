"""The example job's request engine: sends each request with `requests`, through
the proxy the job names for it."""

import requests

TIMEOUT = 30  # seconds, for the connection and for each read


def make_qvd_request(
    url=None,
    headers=None,
    request_type="GET",
    proxy=None,
    payload=None,
    proxy_region=None,
    projectid=None,
    feedid=None,
    cookies=None,
):
    """Send one request; `proxy` is a proxy address for both schemes, or a
    requests-style mapping of scheme to proxy address. A failure of transport
    is raised as a requests.exceptions.RequestException."""
    proxies = None
    if isinstance(proxy, dict):
        proxies = proxy
    elif proxy:
        proxies = {"http": proxy, "https": proxy}
    return requests.request(
        request_type or "GET", url, headers=headers, data=payload, cookies=cookies, proxies=proxies, timeout=TIMEOUT
    )
