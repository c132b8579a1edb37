"""Helpers for the programs that run relays on 127.0.0.1 (demo, benchmarks, tests)."""
import fcntl
import os
import socket
import termios


def free_port():
    """A TCP port on 127.0.0.1 that nobody listens on at the moment."""
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port


def controlling_terminal(slave):
    """A preexec_fn that makes the pseudo-terminal `slave` the child's controlling terminal,
    so that /dev/tty (sendal's console window) is that terminal."""
    def setup():
        os.setsid()
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    return setup
