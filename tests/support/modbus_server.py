#!/usr/bin/python3
"""Modbus/TCP server for the link tests and the benchmark, on Debian's pymodbus (3.0).

    modbus_server.py [--host ADDR] [--port P] [--units 1,2] [--trace]

Every unit gets its own zero-based data store of 64 coils, 64 discrete inputs, 4096 holding
and 64 input registers (a request beyond them is answered with the illegal-address exception).
Prints "listening port=P" once it serves. --trace prints
"read|write unit=U area=A addr=X count=N" per request (a read/write request, function 23, gives
both lines with " fc=23" behind them).

Commands on stdin, one per line, each answered with one line:
    set UNIT AREA ADDR V...     store values (AREA: c d h i), as the PLC program would
    get UNIT AREA ADDR COUNT    "values V..."
    fail CODE N                 answer the next N requests with exception CODE, store untouched
    mute N                      leave the next N requests unanswered (N < 0: all, until mute 0)
    garble N                    answer the next N requests with a wrong transaction id
    drop                        close every client connection
The end of stdin ends the server.
"""
import argparse
import asyncio
import logging
import struct
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.pdu import ExceptionResponse
from pymodbus.server import StartAsyncTcpServer

READ_CODES = {1, 2, 3, 4, 23}
AREA_OF_CODE = {1: "c", 2: "d", 3: "h", 4: "i", 5: "c", 6: "h", 15: "c", 16: "h", 23: "h"}


class Faults:
    fail_code = fail_left = mute_left = garble_left = 0
    trace = False
    pending = None  # exception code chosen for the request in progress


def fc(code):
    return " fc=23" if code == 23 else ""


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


class Store(ModbusSlaveContext):
    def __init__(self, unit, sizes, faults):
        super().__init__(
            co=ModbusSequentialDataBlock(0, [False] * sizes["c"]),
            di=ModbusSequentialDataBlock(0, [False] * sizes["d"]),
            hr=ModbusSequentialDataBlock(0, [0] * sizes["h"]),
            ir=ModbusSequentialDataBlock(0, [0] * sizes["i"]),
            zero_mode=True,
        )
        self.unit = unit
        self.faults = faults

    def validate(self, fc_as_hex, address, count=1):
        f = self.faults
        if f.fail_left > 0:
            f.fail_left -= 1
            f.pending = f.fail_code
            return True
        return super().validate(fc_as_hex, address, count)

    def getValues(self, fc_as_hex, address, count=1):
        if fc_as_hex in READ_CODES and self.faults.trace:
            say(f"read unit={self.unit} area={AREA_OF_CODE[fc_as_hex]} addr={address} count={count}" + fc(fc_as_hex))
        if self.faults.pending is not None:
            return [0] * count
        return super().getValues(fc_as_hex, address, count)

    def setValues(self, fc_as_hex, address, values):
        if self.faults.trace:
            say(f"write unit={self.unit} area={AREA_OF_CODE[fc_as_hex]} addr={address} count={len(values)}" + fc(fc_as_hex))
        if self.faults.pending is None:
            super().setValues(fc_as_hex, address, values)


def manipulator(faults):
    def manipulate(response):
        if faults.pending is not None:
            code, faults.pending = faults.pending, None
            exc = ExceptionResponse(response.function_code & 0x7F, code)
            exc.transaction_id = response.transaction_id
            exc.unit_id = response.unit_id
            response = exc
        if faults.mute_left != 0:
            if faults.mute_left > 0:
                faults.mute_left -= 1
            response.should_respond = False
            return response, False
        if faults.garble_left > 0:
            faults.garble_left -= 1
            response.transaction_id = (response.transaction_id + 7) & 0xFFFF
        return response, False

    return manipulate


def command(line, context, server, faults):
    words = line.split()
    if not words:
        return
    op, args = words[0], words[1:]
    try:
        if op == "set":
            unit, area, addr = int(args[0]), args[1], int(args[2])
            values = [int(v, 0) for v in args[3:]]
            if area in "cd":
                values = [bool(v) for v in values]
            context[unit].store[area].setValues(addr, values)
            say("ok")
        elif op == "get":
            unit, area, addr, count = int(args[0]), args[1], int(args[2]), int(args[3])
            values = context[unit].store[area].getValues(addr, count)
            say("values " + " ".join(str(int(v)) for v in values))
        elif op == "fail":
            faults.fail_code, faults.fail_left = int(args[0]), int(args[1])
            say("ok")
        elif op in ("mute", "garble"):
            setattr(faults, op + "_left", int(args[0]))
            say("ok")
        elif op == "drop":
            handlers = list(server.active_connections.values())
            for handler in handlers:
                handler.transport.abort()
            say(f"dropped {len(handlers)}")
        else:
            say(f"error unknown command {op}")
    except (IndexError, ValueError, KeyError) as exc:
        say(f"error {exc!r}")


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--units", default="1")
    parser.add_argument("--trace", action="store_true")
    opts = parser.parse_args()

    # Clients that go away are the daily bread of these tests, not errors worth a line.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL + 1)
    faults = Faults()
    faults.trace = opts.trace
    sizes = {"c": 64, "d": 64, "h": 4096, "i": 64}
    units = [int(u) for u in opts.units.split(",")]
    context = ModbusServerContext(slaves={u: Store(u, sizes, faults) for u in units}, single=False)
    server = await StartAsyncTcpServer(
        context=context,
        address=(opts.host, opts.port),
        defer_start=True,
        # Linux lets a restarted server bind next to the old connections only when the old
        # server had asked for it as well.
        allow_reuse_address=True,
        response_manipulator=manipulator(faults),
    )
    # A port given again after a restart may still be held for a moment (by a client that
    # happened to connect to itself on it, for one): try for a while before giving up.
    for attempt in range(100):
        task = asyncio.create_task(server.serve_forever())
        await asyncio.wait({task, server.serving}, return_when=asyncio.FIRST_COMPLETED)
        if server.serving.done():
            break
        if attempt == 99:
            raise task.exception()
        await asyncio.sleep(0.05)
    say(f"listening port={server.server.sockets[0].getsockname()[1]}")

    loop = asyncio.get_running_loop()
    while line := await loop.run_in_executor(None, sys.stdin.readline):
        command(line, context, server, faults)
    await server.shutdown()
    task.cancel()


if __name__ == "__main__":
    asyncio.run(main())
