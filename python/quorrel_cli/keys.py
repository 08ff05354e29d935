"""quorrel keygen, pubkey and sign: Ed25519 private keys in PEM files, and
attestations on every receipt of a file.

A key file holds an unencrypted PKCS#8 PEM private key, as `keygen` writes
it (and `openssl genpkey -algorithm ed25519` does). Messages about a key file
name the file and the reason, never its content.
"""

from __future__ import annotations

import argparse
import os
import stat
import sys
import tempfile
from typing import Callable

import quorrel_tools

from . import console, inputs, verify

# The library refuses anything longer as a key; reading stops just past it.
KEY_LIMIT = (1 << 20) + 1


def add_parser(sub: argparse._SubParsersAction, positive: Callable[[str], int], size: Callable[[str], int]) -> None:
    gen = sub.add_parser("keygen", help="write a new Ed25519 private key and print its public key")
    gen.add_argument("-o", "--output", required=True, metavar="KEY.pem",
                     help="the new key file (unencrypted PKCS#8 PEM, mode 0600); an existing file is never overwritten")
    gen.set_defaults(run=run_keygen)
    pub = sub.add_parser("pubkey", help="print the public key of a private key file")
    pub.add_argument("key", metavar="KEY.pem")
    pub.set_defaults(run=run_pubkey)
    sig = sub.add_parser("sign", help="add an Ed25519 attestation to every receipt of a JSONL file")
    sig.add_argument("--key", required=True, metavar="KEY.pem", help="the private key file")
    sig.add_argument("file", metavar="IN.jsonl", help="a JSONL file, a .gz file, or - for standard input")
    sig.add_argument("-o", "--output", metavar="OUT.jsonl", help="output file (default: standard output)")
    sig.add_argument("--replace", action="store_true", help="replace the attestations receipts already carry")
    sig.add_argument("--max-size", type=size, default=inputs.DEFAULT_MAX_SIZE, metavar="SIZE",
                     help="largest decompressed file or standard input (default: 256M)")
    sig.set_defaults(run=run_sign)


def read_private_key(path: str) -> bytes:
    """The key file's bytes once they hold an Ed25519 private key; a file
    that others may read gets a warning."""
    try:
        with open(path, "rb") as handle:
            mode = os.fstat(handle.fileno()).st_mode
            data = handle.read(KEY_LIMIT)
    except OSError as exc:
        raise inputs.Refused(path, exc.strerror or str(exc)) from None
    try:
        quorrel_tools.public_key(data)
    except ValueError as exc:
        raise inputs.Refused(path, str(exc)) from None
    if stat.S_ISREG(mode) and mode & 0o044:
        console.error(f"warning: {path} is readable by group or others (chmod 600 {path})")
    return data


def run_keygen(args: argparse.Namespace) -> int:
    pem = quorrel_tools.generate_key()
    try:
        # Made here or not at all: never through a link, never over a file.
        out = os.open(args.output, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0), 0o600)
    except FileExistsError:
        console.error(f"{args.output}: already exists; keygen never overwrites a file")
        return 2
    except OSError as exc:
        console.error(f"{args.output}: {exc.strerror or exc}")
        return 2
    try:
        data = memoryview(pem.encode("ascii"))
        while data:
            data = data[os.write(out, data):]
        os.fsync(out)
    except OSError as exc:
        os.unlink(args.output)
        console.error(f"{args.output}: {exc.strerror or exc}")
        return 2
    finally:
        os.close(out)
    sys.stdout.write(quorrel_tools.public_key(pem) + "\n")
    return 0


def run_pubkey(args: argparse.Namespace) -> int:
    try:
        key = read_private_key(args.key)
    except inputs.Refused as exc:
        console.error(str(exc))
        return 2
    sys.stdout.write(quorrel_tools.public_key(key) + "\n")
    return 0


def run_sign(args: argparse.Namespace) -> int:
    """Every receipt is signed before anything is written: a receipt that
    must be refused stops the run with nothing written."""
    try:
        key = read_private_key(args.key)
        _, records = verify.read_receipt_records(args.file, args.max_size)
    except inputs.Refused as exc:
        console.error(str(exc))
        return 2
    signed = []
    for number, line, _ in records:
        try:
            signed.append(quorrel_tools.sign(line, key, replace=args.replace) + "\n")
        except ValueError as exc:
            console.error(f"{args.file}: line {number}: {exc}")
            return 2
    output = "".join(signed)
    if args.output is None:
        console.write_utf8(sys.stdout, output)
        return 0
    return write_file(args.output, output.encode("utf-8"))


def write_file(path: str, data: bytes) -> int:
    """Writes under a temporary name beside path, then renames it into place."""
    directory, name = os.path.split(path)
    try:
        out, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory or ".")
    except OSError as exc:
        console.error(f"{path}: {exc.strerror or exc}")
        return 2
    try:
        # mkstemp makes the file private; the output gets the usual mode.
        mask = os.umask(0)
        os.umask(mask)
        os.fchmod(out, 0o666 & ~mask)
        view = memoryview(data)
        while view:
            view = view[os.write(out, view):]
        os.close(out)
        out = -1
        os.replace(temporary, path)
    except OSError as exc:
        if out >= 0:
            os.close(out)
        os.unlink(temporary)
        console.error(f"{path}: {exc.strerror or exc}")
        return 2
    return 0
