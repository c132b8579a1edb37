"""Helpers for the programs that run relays on 127.0.0.1 (demo, benchmarks, tests)."""
import socket


def free_port():
    """A TCP port on 127.0.0.1 that nobody listens on at the moment."""
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port
