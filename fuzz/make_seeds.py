#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (corpus/<target>/) from the inputs
the tests use. Run it again after changing it; the files are named by
what they hold."""
import hashlib
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def piece(data):
    return struct.pack("<H", len(data)) + data


def words(*ws):
    return b"\0".join(w.encode() if isinstance(w, str) else w for w in ws)


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for seed in seeds:
        name = hashlib.sha1(seed).hexdigest()[:16]
        with open(os.path.join(folder, name), "wb") as f:
            f.write(seed)


def ack_seeds():
    singles = [b"#5", b"#5\0", b"# 5", b"#+5", b"#1234", b"#05", b"#\0", b"#5\r\n",
               b"#05x", b"#6", b"#4", b"5", b"#", b"#5#6", b"##5", b"#-5", b"#5 ",
               b"#5\0#6", b"#\0" b"5", b"",
               b"#" + b"0" * 4094 + b"5", b"#" + b"0" * 4093 + b"5"]
    seeds = []
    for flags in (0, 1):
        for s in singles:
            seeds.append(bytes([flags]) + piece(s))
    # An upload of 1000 bytes: #0, then #1 to #16, with a repeat and a gap.
    run = [b"#%d" % n for n in range(17)]
    seeds.append(b"\0" + b"".join(piece(a) for a in run))
    seeds.append(b"\1" + b"".join(piece(a) for a in run[:5] + [run[4]] + run[5:]))
    seeds.append(b"\0" + b"".join(piece(a) for a in run[:3] + run[4:]))
    seeds.append(b"\2" + piece(b"#0"))
    return seeds


def textcallback_seeds():
    answers = {"user: ": 0, "password: ": 1, "$ ": 2, "ok": 3, "reset needed": 4}

    def transfer(data):
        return b"\0" + piece(data)

    def wait_for(text, echo=0):
        return b"\6" + bytes([answers[text], echo])

    def either(a, b):
        return b"\7" + bytes([answers[a], answers[b]])

    seeds = []
    for data, text in [(b"ok\r\n", "ok"), (b"ok", "ok"), (b"ok\n", "ok"), (b"ok\rjunk", "ok"),
                       (b"\r\nok", "ok"), (b"OK", "ok"), (b"ok ", "ok"), (b"$ ", "$ "),
                       (b"$", "$ "), (b"\r\n$ ", "$ "), (b"user: ", "user: "), (b"xok", "ok"),
                       (b"reset needed\r\n", "reset needed")]:
        seeds.append(b"\0" + transfer(data) + wait_for(text))
    seeds.append(b"\0" + transfer(b"$") + transfer(b" ") + wait_for("$ "))
    seeds.append(b"\1" + transfer(b"ok\0ok") + transfer(b"a\0\0b\r\nrest") +
                 transfer(b"\r\nhidden") + b"\4" * 7)
    seeds.append(b"\0" + transfer(b"ok\0ok") + wait_for("ok") + wait_for("ok") + wait_for("ok"))
    seeds.append(b"\0" + transfer(b"user: ") + transfer(b"$ ") + either("user: ", "$ ") +
                 either("user: ", "$ "))
    seeds.append(b"\0" + transfer(b"x") + transfer(b"reset needed\r\n") + transfer(b"ok\r\n") +
                 either("ok", "reset needed"))
    # The buffer filled to its end: 8092 bytes, then 100 and 99.
    fill = b"".join(transfer(b"f" * 4000) for _ in range(2)) + transfer(b"g" * 90)
    seeds.append(b"\0" + fill + transfer(b"h" * 100) + transfer(b"i" * 99) + b"\4" * 5)
    seeds.append(b"\0" + b"".join(transfer(b"ok") for _ in range(40)) + b"\x08\3\0")
    return seeds


def config_seeds():
    vectors = [
        ["/ssid", "lab", "/cipher", "none", "/prot", "sip", "/e164", "501"],
        ["/power-mode", "short-doze"], ["/gk-addr", "192.168.0.10", "/h323", "desk"],
        ["/ssid", "x"], ["/ssid", "lab", "/Cipher", "none"], ["/ssid"],
        ["/login", ",x,y", "/ssid", "lab"], ["/login", "admin,kv30", "/login", "root", "/ssid", "lab"],
        ["/ssid", "lab", "/e164", "501"], ["/power-mode", "active"],
        ["/cipher", "NONE", "/wep-index", "5", "/wep-index", "4", "/power-mode-call", "uapsd"],
        ["/ssid", "/cipher"], ["/login", "user"], ["/login", "user,"], ["/login"],
        ["/ssid", "myssid", "/wep-key", "4be07d21a9c3f5e8617d0b2c94", "/cipher", "wep128",
         "/wep-index", "1", "/prot", "h323", "/gk-addr", "192.168.0.10", "/e164", "501"],
        ["/security-mode", "wpa2-psk", "/assoc", "wpa2", "/auth", "peap-mschapv2",
         "/passphrase", "secret", "/user", "u", "/password", "p", "/regdomain", "etsi",
         "/power-save", "uapsd"],
        ["/ssid", "x" * 1000], ["/ssid", "x" * 998], ["/e164", "1" * 990, "/h323", "n"],
    ]
    seeds = []
    for flags in (0, 1):
        for v in vectors:
            seeds.append(bytes([flags]) + words(*v))
    return seeds


def cmdline_seeds():
    vectors = [
        [], ["/trace"], ["/login"], ["/trace", "/login"], ["help", "upload", "x.bin"],
        ["/trace", "/trace", "help"], ["/login", "help"], ["Help"], ["uploads", "x.bin"],
        ["/TRACE", "help"], ["bogus", "login"], ["/trace", "x", "help"], [""], ["upload"],
        ["config"], ["command"], ["/trace", "upload"],
        ["upload", "a.bin", "b.bin", "upload"], ["upload", "/trace"],
        ["/trace", "upload", "kv30.bin"], ["config", "/ssid", "lab"],
        ["/login", "config", "/ssid"], ["interactive", "help", "x"], ["login"],
        ["login", "/login", "u,p"], ["/login", "login"], ["command", "config", "show"],
        ["command", "/trace"], ["/trace", "command", "help"],
        ["/trace", "login", "/login", "admin,kv30"],
    ]
    return [words(*v) if v else b"" for v in vectors]


def frame(body):
    return struct.pack("<I", len(body)) + body


MAGIC = struct.pack("<IH", 0x3033564B, 2)
GUID = struct.pack("<IHH", 0x3B7D51E2, 0x9C04, 0x4A6F) + bytes.fromhex("B8126E0D2C9F7A35")


def wire_server_seeds():
    hello = frame(b"\x01" + MAGIC + b"\x01")
    probe = frame(b"\x01" + MAGIC + b"\x00")
    descriptor = frame(b"\x02" + struct.pack("<IBIBBHI", 1, 2, 0, 1, 0, 0, 18))
    configuration = frame(b"\x02" + struct.pack("<IB", 2, 3))
    set_configuration = frame(b"\x02" + struct.pack("<IBHH", 3, 4, 0, 1) +
                              struct.pack("<HHI", 0, 0, 4096))
    bind = frame(b"\x02" + struct.pack("<IBB", 4, 5, 0x83))
    read = frame(b"\x03" + struct.pack("<IBI", 1, 0x83, 4096))
    line = b"config show\r\n"
    write = frame(b"\x03" + struct.pack("<IBI", 2, 0x03, len(line)) + line)
    cancel = frame(b"\x04" + struct.pack("<I", 2))
    abort = frame(b"\x05")
    session = hello + descriptor + configuration + set_configuration + bind + read + write
    return [probe, hello, session, session + cancel + abort,
            hello + frame(b"\x03" + struct.pack("<IBI", 2, 0x03, 5) + b"abc"),  # cut data
            hello + struct.pack("<I", 0),  # a zero length
            hello + struct.pack("<I", 0x20000) + b"x",  # a length past the largest body
            hello + frame(b"\x7f"), frame(b"\x01" + MAGIC + b"\x02")]


def wire_client_seeds():
    def request(op, room, inbound, length):
        return struct.pack("<BIBI", op, room, 1 if inbound else 0, length)

    reply = frame(b"\x81" + MAGIC + b"\x01" + GUID + struct.pack("<H", 0x0200))
    descriptor = bytes.fromhex("12010002000000408DDEEFBE0001010203 01".replace(" ", ""))
    control = frame(b"\x82" + struct.pack("<IBII", 1, 2, 0, len(descriptor)) + descriptor)
    configuration = frame(b"\x82" + struct.pack("<IBII", 2, 3, 0, 1) + b"\x01")
    prompt = frame(b"\x83" + struct.pack("<III", 1, 0, 2) + b"$ ")
    written = frame(b"\x83" + struct.pack("<III", 2, 0, 13))
    failed = frame(b"\x83" + struct.pack("<III", 3, 995, 0))
    return [request(2, 18, True, 4096) + reply + control + prompt,
            request(3, 1, False, 13) + reply + configuration + written,
            request(2, 18, True, 4096) + failed,
            request(2, 4, True, 1) + control + prompt,  # more than the request takes
            request(5, 0, False, 0) + frame(b"\x82" + struct.pack("<IBII", 1, 5, 0, 0)),
            request(2, 18, True, 4096) + reply[:-3]]


def kv30sim_options_seeds():
    vectors = [
        [], ["--help"], ["--name", "kv30"], ["--name", "a/b"], ["--name", ".hidden"],
        ["--user", "u", "--password", "p", "--logged-in", "--echo"],
        ["--reset-needed", "--silent", "--split-prompt", "--newline-prompt"],
        ["--answer-delay", "100"], ["--answer-delay", "600001"], ["--answer-delay", "-1"],
        ["--withhold", "config write"], ["--drop-ack", "3", "--dup-ack", "3"],
        ["--stall-after", "10"], ["--ack-delay", "1500"], ["--ignore-header"],
        ["--swap-acks", "2", "3"], ["--ack-line-end", "1"], ["--replace-ack", "1", "#x1"],
        ["--delay-ack", "5", "3000"], ["--foreign-first", "--unconfigured", "--fail-set-config"],
        ["--version", "0100"], ["--version", "0x0200"], ["--version", "10000"],
        ["--fail-bind", "in"], ["--fail-bind", "out"], ["--fail-bind", "both"],
        ["--unopenable-first"], ["--read-errors", "epepepe"], ["--read-errors", "x"],
        ["--fail-writes", "1"], ["--short-writes", "2", "100"], ["--stop-at-write", "3"],
        ["--kill-at-write", "0"], ["--garbage-after", "0"], ["--close-after", "1"],
        ["--image", "i", "--log", "l", "--settings", "s"], ["--bogus"], ["--drop-ack"],
    ]
    return [words(*v) if v else b"" for v in vectors]


if __name__ == "__main__":
    write("ack", ack_seeds())
    write("textcallback", textcallback_seeds())
    write("config", config_seeds())
    write("cmdline", cmdline_seeds())
    write("wire_server", wire_server_seeds())
    write("wire_client", wire_client_seeds())
    write("kv30sim_options", kv30sim_options_seeds())
