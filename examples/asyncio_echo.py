"""Echoes messages through a server from asyncio, with no thread of its own:
the event loop watches the client's receive handle. Against `kavra serve`
(echo mode):

    python3 asyncio_echo.py [COUNT] HOST PORT

sends COUNT messages (default 1000) while a second coroutine takes the
echoes, checks that each came back once and in order, and exits 0; 1 when
one is missing or wrong after 10 s.
"""

import asyncio
import sys

import kavra


async def echo(client, count):
    async def send_all():
        for i in range(count):
            # Never blocks here: there is no send-queue limit. With one,
            # send_wait(data, timeout=0) returns False when full.
            client.send(f"message {i}".encode())
            if i % 100 == 99:
                await asyncio.sleep(0)

    async def take_all():
        expected = 0
        async for body in client:
            if body != f"message {expected}".encode():
                raise SystemExit(f"asyncio_echo: got {body!r}, expected message {expected}")
            expected += 1
            if expected == count:
                return

    await asyncio.gather(send_all(), asyncio.wait_for(take_all(), 10))


def main(argv):
    if len(argv) < 3:
        sys.exit(f"usage: {argv[0]} [COUNT] HOST PORT")
    count = int(argv[1]) if len(argv) > 3 else 1000
    with kavra.Client(argv[-2], int(argv[-1])) as client:
        try:
            asyncio.run(echo(client, count))
        except asyncio.TimeoutError:
            sys.exit("asyncio_echo: not every message came back within 10 s")
    print(f"asyncio_echo: {count} messages came back in order")


if __name__ == "__main__":
    main(sys.argv)
