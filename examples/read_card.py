#!/usr/bin/env python3
"""Reads the identity card and the SIM card through Q48Reader with ctypes.

    python3 examples/read_card.py [LIBRARY] [--write NUMBER CONTENT]

LIBRARY defaults to libQ48Reader.so (Linux) or Q48Reader.dll (Windows).
Writing changes the SIM card, so it happens only with --write.
Try it without a reader:
    scripts/with-emulated-reader.sh -- python3 examples/read_card.py build/linux/bin/libQ48Reader.so
"""
import argparse
import base64
import ctypes
import json
import sys

READ_CARD_BUFFER = 52200  # 11 fields, 100 bytes apart; the portrait from 1000 on
ICCID_BUFFER = 60
FIELDS = ["name", "sex_code", "nation", "birth_date", "address", "id_number",
          "issuing_authority", "valid_from", "valid_to", "reserved"]


def load(path):
    # The exports are __stdcall on 32-bit Windows: WinDLL there, CDLL elsewhere.
    loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
    lib = loader(path)
    for name, args in [("zelListReaderCard", []), ("zelReadCard", [ctypes.c_char_p]),
                       ("zelReadICCID", [ctypes.c_char_p]), ("zelReadCardType", []),
                       ("zelWriteCard", [ctypes.c_char_p, ctypes.c_char_p])]:
        function = getattr(lib, name)
        function.argtypes = args
        function.restype = ctypes.c_short
    return lib


def text(raw):
    """A field: bytes up to the first zero, GBK to str."""
    return raw.split(b"\0", 1)[0].decode("gbk", errors="replace")


def main():
    parser = argparse.ArgumentParser(description="Reads the identity card and the SIM card through Q48Reader.")
    parser.add_argument("library", nargs="?",
                        default="Q48Reader.dll" if sys.platform == "win32" else "libQ48Reader.so")
    parser.add_argument("--write", nargs=2, metavar=("NUMBER", "CONTENT"), help="write to the SIM card")
    args = parser.parse_args()
    lib = load(args.library)
    out = {"list": lib.zelListReaderCard()}

    buffer = ctypes.create_string_buffer(READ_CARD_BUFFER)  # zero-filled
    out["read_card"] = lib.zelReadCard(buffer)
    if out["read_card"] == 0:
        raw = buffer.raw
        out["card"] = {name: text(raw[100 * i:100 * (i + 1)]) for i, name in enumerate(FIELDS)}
        photo = base64.b64decode(text(raw[1000:]))
        out["card"]["photo_is_jpeg"] = photo[:2] == b"\xff\xd8"

    iccid = ctypes.create_string_buffer(ICCID_BUFFER)
    out["iccid_result"] = lib.zelReadICCID(iccid)
    out["iccid"] = text(iccid.raw)
    out["card_type"] = lib.zelReadCardType()
    if args.write:
        number, content = (value.encode("gbk") for value in args.write)
        out["write"] = lib.zelWriteCard(content, number)
    print(json.dumps(out, ensure_ascii=False))
    return 0 if out["read_card"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
