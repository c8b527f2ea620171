#!/usr/bin/python3
"""A PLC that serves Modbus/TCP, for the demo: Debian's pymodbus server holds the PLC variables at
the addresses a gateway's variable map gives them, and a small PLC program raises a request every
few seconds and takes each answer, as a PLC program does (docs/plc-link-modbus.md).

    modbus-plc.py --map FILE [--module Line1] [--host 127.0.0.1] [--port 5020]
                  [--every MS] [--data TEXT]...

Prints "listening host=H port=P variables=N" once it serves (port 0 picks a free one), then per
request "plc request", "plc taken" and "plc answer ... rtt=" (milliseconds since the request was
raised), and "plc error" when the gateway reports a failed request in .anfordErr. "{n}" in a
TEXT is the request's number. Runs until SIGTERM or SIGINT.
"""
import argparse
import asyncio
import logging
import re
import signal
import sys
import time

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncTcpServer

# The data store's function codes for reading and writing each table.
TABLE_CODE = {"coil": 1, "discrete": 2, "holding": 3, "input": 4}
SCAN_S = 0.01  # the PLC program's cycle


class Variable:
    def __init__(self, name, unit, area, address, vtype, order, line):
        self.name, self.unit, self.area, self.address = name, unit, area, address
        self.vtype, self.order = vtype, order
        m = re.fullmatch(r"STRING\((\d+)\)", vtype)
        self.capacity = int(m.group(1)) if m else 0
        if vtype == "BOOL" or (vtype == "INT" and area != "coil"):
            self.count = 1
        elif vtype == "DINT" and area in ("holding", "input"):
            self.count = 2
        elif self.capacity and area in ("holding", "input"):
            self.count = (self.capacity + 1) // 2
        else:
            raise ValueError(f"line {line}: {vtype} in {area} is not a type this PLC holds")


def read_map(path):
    """The variables of a map file: NAME UNIT AREA ADDRESS TYPE [ORDER]; '#' starts a comment and
    'key = value' lines are the gateway's settings."""
    variables = {}
    with open(path, "rb") as f:
        content = f.read()
    try:
        text = content.decode("utf-8")
    except UnicodeDecodeError:
        text = content.decode("cp1252")
    for number, line in enumerate(text.splitlines(), 1):
        words = line.split("#", 1)[0].split()
        if not words or "=" in line.split("#", 1)[0]:
            continue
        if len(words) not in (5, 6):
            raise ValueError(f"{path}, line {number}: expected NAME UNIT AREA ADDRESS TYPE [ORDER]")
        order = words[5].upper() if len(words) == 6 else ""
        var = Variable(words[0], int(words[1]), words[2].lower(), int(words[3], 0), words[4].upper(),
                       order, number)
        variables[var.name.lower()] = var
    return variables


class Plc:
    def __init__(self, context, variables, module, texts, every_ms):
        self.context = context
        self.var = {}
        for suffix in ("anford", "antwort", "SendData", "RecData", "anfordErr", "anfordErrText"):
            name = f"{module}.{suffix}".lower()
            if name not in variables and suffix not in ("anfordErr", "anfordErrText"):
                raise ValueError(f"the map has no {module}.{suffix}")
            self.var[suffix] = variables.get(name)
        self.texts = texts or ["request {n}"]
        self.every = every_ms / 1000.0
        self.start = time.monotonic()
        self.raised = 0
        self.pending = []  # [number, time raised, taken]
        self.last_error = None

    # The PLC's own memory, read and written as its program does: directly, not over the wire.
    def get(self, var):
        return self.context[var.unit].getValues(TABLE_CODE[var.area], var.address, var.count)

    def put(self, var, values):
        self.context[var.unit].setValues(TABLE_CODE[var.area], var.address, values)

    def flag(self, name):
        return bool(self.get(self.var[name])[0])

    def set_flag(self, name, value):
        var = self.var[name]
        self.put(var, [bool(value)] if var.area in ("coil", "discrete") else [int(value)])

    def text(self, name):
        var = self.var[name]
        raw = bytearray()
        for reg in self.get(var):
            hi, lo = reg >> 8, reg & 0xFF
            raw += bytes((lo, hi) if var.order == "BA" else (hi, lo))
        raw = raw[: var.capacity]
        return bytes(raw.split(b"\0", 1)[0])

    def set_text(self, name, data):
        var = self.var[name]
        raw = data[: var.capacity]
        if len(raw) < var.capacity:
            raw += b"\0"
        if len(raw) % 2:
            raw += b"\0"
        regs = []
        for i in range(0, len(raw), 2):
            hi, lo = (raw[i + 1], raw[i]) if var.order == "BA" else (raw[i], raw[i + 1])
            regs.append(hi << 8 | lo)
        self.put(var, regs)

    def error_code(self):
        var = self.var["anfordErr"]
        if var is None:
            return None
        regs = self.get(var)
        if var.vtype != "DINT":
            return regs[0] - 0x10000 if regs[0] & 0x8000 else regs[0]
        order = var.order or "ABCD"
        words = regs if order in ("ABCD", "BADC") else regs[::-1]
        if order in ("BADC", "DCBA"):
            words = [(w >> 8 | w << 8) & 0xFFFF for w in words]
        value = words[0] << 16 | words[1]
        return value - (1 << 32) if value & 0x80000000 else value

    def stamp(self):
        return f"{(time.monotonic() - self.start) * 1000:.3f}"

    def raise_request(self):
        if self.flag("anford"):
            say(f"plc waiting n={self.raised} t={self.stamp()}")
            return
        self.raised += 1
        data = self.texts[(self.raised - 1) % len(self.texts)].replace("{n}", str(self.raised))
        raw = data.encode("cp1252", "replace")
        self.set_text("SendData", raw)
        self.set_flag("anford", True)
        self.pending.append([self.raised, time.monotonic(), False])
        del self.pending[:-16]
        say(f"plc request n={self.raised} t={self.stamp()} bytes={len(raw)} data={escape(raw)}")

    def scan(self):
        if not self.flag("anford"):
            for p in self.pending:
                if p[0] == self.raised and not p[2]:
                    p[2] = True
                    say(f"plc taken n={p[0]} t={self.stamp()} after={(time.monotonic() - p[1]) * 1000:.3f}")
        if self.flag("antwort"):
            answer = self.text("RecData")
            n, rtt = "0", "-"
            if self.pending:
                p = self.pending.pop(0)
                n, rtt = str(p[0]), f"{(time.monotonic() - p[1]) * 1000:.3f}"
            self.set_flag("antwort", False)
            say(f"plc answer n={n} t={self.stamp()} rtt={rtt} bytes={len(answer)} data={escape(answer)}")
        code = self.error_code()
        if code != self.last_error:
            if self.last_error is not None and code:
                text = self.text("anfordErrText") if self.var["anfordErrText"] else b""
                say(f"plc error t={self.stamp()} code={code} text={escape(text)}")
            self.last_error = code

    async def run(self):
        next_raise = time.monotonic() + self.every
        while True:
            await asyncio.sleep(SCAN_S)
            self.scan()
            if time.monotonic() >= next_raise:
                self.raise_request()
                next_raise += self.every


def escape(raw):
    out = []
    for ch in raw.decode("cp1252", "replace"):
        if ch == "\\":
            out.append("\\\\")
        elif ch in "\n\r\t":
            out.append({"\n": "\\n", "\r": "\\r", "\t": "\\t"}[ch])
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append(f"\\x{ord(ch):02x}")
        else:
            out.append(ch)
    return "".join(out)


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--map", required=True, help="the gateway's variable map (.modbus)")
    parser.add_argument("--module", default="Line1")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5020)
    parser.add_argument("--every", type=int, default=3000, help="ms between two requests")
    parser.add_argument("--data", action="append", default=[], help="request text, in turn")
    opts = parser.parse_args()

    try:
        variables = read_map(opts.map)
        sizes = {}
        for v in variables.values():
            end = v.address + v.count
            sizes[(v.unit, v.area)] = max(sizes.get((v.unit, v.area), 0), end)
        units = {v.unit for v in variables.values()}
        blocks = {}
        for u in units:
            blocks[u] = ModbusSlaveContext(
                co=ModbusSequentialDataBlock(0, [False] * max(sizes.get((u, "coil"), 0), 1)),
                di=ModbusSequentialDataBlock(0, [False] * max(sizes.get((u, "discrete"), 0), 1)),
                hr=ModbusSequentialDataBlock(0, [0] * max(sizes.get((u, "holding"), 0), 1)),
                ir=ModbusSequentialDataBlock(0, [0] * max(sizes.get((u, "input"), 0), 1)),
                zero_mode=True,
            )
        context = ModbusServerContext(slaves=blocks, single=False)
        plc = Plc(context, variables, opts.module, opts.data, opts.every)
    except (OSError, ValueError) as exc:
        print(f"modbus-plc: {exc}", file=sys.stderr)
        sys.exit(2)

    # A gateway that reconnects is the normal case here, not a fault worth a line.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL + 1)
    server = await StartAsyncTcpServer(
        context=context, address=(opts.host, opts.port), defer_start=True, allow_reuse_address=True
    )
    serving = asyncio.create_task(server.serve_forever())
    await asyncio.wait({serving, server.serving}, return_when=asyncio.FIRST_COMPLETED)
    if not server.serving.done():
        print(f"modbus-plc: cannot serve on {opts.host}:{opts.port}: {serving.exception()}", file=sys.stderr)
        sys.exit(1)
    say(f"listening host={opts.host} port={server.server.sockets[0].getsockname()[1]} "
        f"variables={len(variables)}")

    stop = asyncio.get_running_loop().create_future()
    for sig in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(sig, lambda: stop.done() or stop.set_result(None))
    program = asyncio.create_task(plc.run())
    await asyncio.wait({stop, program}, return_when=asyncio.FIRST_COMPLETED)
    if program.done():
        print(f"modbus-plc: the PLC program stopped: {program.exception()!r}", file=sys.stderr)
    program.cancel()
    await server.shutdown()
    if program.done() and not program.cancelled():
        sys.exit(1)


if __name__ == "__main__":
    asyncio.run(main())
