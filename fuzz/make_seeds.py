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


if __name__ == "__main__":
    write("ack", ack_seeds())
    write("textcallback", textcallback_seeds())
    write("config", config_seeds())
    write("cmdline", cmdline_seeds())
