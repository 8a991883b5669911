"""The ASGI application the HTTP/2 interoperability tests run under hypercorn.

  POST /echo             200 with the request body as received, byte for byte (a
                         multipart form too: its boundary and part heads included)
  GET  /large-headers    60 fields "x-large-NN" of 1 KiB each, and a short body
  GET  /big              64 MiB, block after block of big_block(i), sent as made
  GET  /redirect?to=URL  302 to URL (which has no query of its own) with the query
                         "+hypercorn/<version>" added: the first step of a trail that
                         the nginx of the tests extends at every hop

Every answer carries "x-protocol": the HTTP version hypercorn received the request in,
so that a test sees which way each hop of a redirect went.

The bytes of /big and of the large fields are defined here and, for the checks, in
tests/support/h2_servers.cc: a change to one is a change to both.
"""

import hashlib
from urllib.parse import parse_qs

BLOCK_SIZE = 64 * 1024
BIG_BLOCKS = 1024  # 64 MiB
LARGE_FIELDS = 60
LARGE_FIELD_SIZE = 1024


def big_block(index):
    # SHAKE-128 rather than a byte-wise generator: Python makes 64 MiB of it in a
    # fraction of a second, and every block differs, so a lost or repeated block shows.
    return hashlib.shake_128(b"korvo-h2-big-%d" % index).digest(BLOCK_SIZE)


def large_field(index):
    return ("%02d:" % index + chr(ord("a") + index % 26) * (LARGE_FIELD_SIZE - 3)).encode()


async def read_body(receive):
    body = bytearray()
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            return None
        body += message.get("body", b"")
        if not message.get("more_body", False):
            return bytes(body)


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    if scope["type"] != "http":
        return

    path = scope["path"]
    method = scope["method"]
    headers = [(b"x-protocol", scope["http_version"].encode())]

    async def answer(status, body=b"", extra=()):
        await send({
            "type": "http.response.start",
            "status": status,
            "headers": headers + list(extra) + [(b"content-length", b"%d" % len(body))],
        })
        await send({"type": "http.response.body", "body": body})

    if path == "/echo" and method == "POST":
        body = await read_body(receive)
        if body is not None:
            await answer(200, body)
    elif path == "/large-headers":
        fields = [(b"x-large-%02d" % i, large_field(i)) for i in range(LARGE_FIELDS)]
        await answer(200, b"large headers", fields)
    elif path == "/big":
        await send({
            "type": "http.response.start",
            "status": 200,
            "headers": headers + [(b"content-length", b"%d" % (BLOCK_SIZE * BIG_BLOCKS))],
        })
        for i in range(BIG_BLOCKS):
            await send({
                "type": "http.response.body",
                "body": big_block(i),
                "more_body": i + 1 < BIG_BLOCKS,
            })
    elif path == "/redirect":
        target = parse_qs(scope["query_string"].decode()).get("to", [""])[0]
        target += "?+hypercorn/" + scope["http_version"]
        await answer(302, b"", [(b"location", target.encode())])
    else:
        await answer(404, b"not found")
