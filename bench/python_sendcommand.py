#!/usr/bin/python3
"""The Python side of the call overhead benchmark (python_call_bench.cpp).

Usage: python_sendcommand.py PORT COUNT
Opens quillkit.WiFi to 127.0.0.1:PORT, sends the 20-byte command COUNT times after a warm-up
and prints the processor seconds of one call on this thread. The quillkit package is found on
PYTHONPATH.
"""
import sys
import time

import quillkit

COMMAND = "CLS\r\n" * 4


def main():
    port, count = int(sys.argv[1]), int(sys.argv[2])
    quillkit.set_log_sink(lambda channel, line: None)
    wifi = quillkit.WiFi()
    if wifi.openport("127.0.0.1", port) != 1:
        return 1
    send = wifi.sendcommand
    for _ in range(1000):
        send(COMMAND)
    start = time.thread_time()
    for _ in range(count):
        send(COMMAND)
    print((time.thread_time() - start) / count)
    wifi.closeport(0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
