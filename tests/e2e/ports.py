"""vpcd ports for end-to-end tests that may run beside other runs."""

import random
import socket


def free_port_pair():
    """A port and the next one, both free at this moment, from a random start.
    A vpcd reader listens on both; runs side by side (release and sanitizer
    builds, two developers) must not meet each other's readers."""
    while True:
        port = random.randrange(20000, 60000, 2)
        try:
            with socket.socket() as first, socket.socket() as second:
                first.bind(("0.0.0.0", port))
                second.bind(("0.0.0.0", port + 1))
        except OSError:
            continue
        return port
