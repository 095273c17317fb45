"""The benchmarks' names for what they share with the end-to-end tests
(tests/support/tzsupport.py): the build's place, a free loopback port, one
timed request per connection over 127.0.0.1, signed requests and payloads, and
a program of the Windows build run under Wine until its standard input closes."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "support"))

from tzsupport import BUILD, ROOT, WineProgram, free_port, payload, pid_of, signed_request  # noqa: E402,F401
from tzsupport import timed_exchange as exchange  # noqa: E402,F401
import tzsupport  # noqa: E402


def signed_ping(key):
    """A signed POST /api/ping; its nonce is never reused within the run."""
    return tzsupport.signed_ping(key, nonce_prefix="bench")


__all__ = ["BUILD", "ROOT", "WineProgram", "exchange", "free_port", "payload", "pid_of", "signed_ping",
           "signed_request"]
