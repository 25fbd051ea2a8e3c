"""The stored device list as the real program reads and writes it: bad stored data is read within
its fields, and the next save writes the program's layout."""

from __future__ import annotations

import pytest

from station import DEFAULT_ROOT, FOUND, ROOT, S, record, stored_text

GOOD = {"Ip": "192.0.2.50", "Name": "Zentrova@far", "Tuners": {
    "0": {"Id": "1A2B3C46-0", "Model": "dvbc", "Name": "DVB-C Tuner"}}}


def good(**changes) -> dict:
    tuner = dict(GOOD["Tuners"]["0"], **{k: v for k, v in changes.items() if k != "Ip"})
    return dict(GOOD, Ip=changes.get("Ip", GOOD["Ip"]), Tuners={"0": tuner})


def utf16_hex(text: str) -> str:
    """Registry bytes of a text as the program's "A" reads see it, without a terminator."""
    return ",".join("%02x" % b for b in text.encode("utf-16-le"))


def row(text: str, expected: dict | None, id: str, raw: str | None = None):
    """Stored data (`raw`: one more value of the stored tuner, byte for byte) and what the stored
    box reads as: saved back by the next -I, or None when it is not loaded."""
    return pytest.param(text, raw, expected, id=id)


STORED = [
    row(stored_text(box='"Ip"=dword:c0000232'), good(Ip=""), id="ip-stored-as-dword"),
    row(stored_text(box='"Ip"="%s"' % ("1" * 20)), good(Ip=""), id="ip-one-too-long-for-its-field"),
    row(stored_text(tuner='"Model"="%s"' % ("m" * 19)), good(Model="m" * 19), id="model-fills-its-field"),
    row(stored_text().replace('"Id"="1A2B3C46-0"', ""), good(Id=""), id="id-unterminated",
        raw='"Id"=hex(1):%s' % utf16_hex("i" * 20)),
    row(stored_text(tuner='"Name"="%s"' % ("n" * 5000)), good(Name=""), id="name-far-too-long"),
    row(stored_text(tuner='"Name"=hex(2):%s,00,00' % utf16_hex("%SystemRoot%")),
        good(Name="%SystemRoot%"), id="name-expand-sz-read-unexpanded"),
    row(stored_text(box='"Modified"=hex:' + ",".join(["ff"] * 5000),
                    tuner='"Owner"="%s"\n"Modified"="x"' % ("o" * 10000)), GOOD,
        id="owner-and-modified-oversize-are-read-and-dropped"),
    row(stored_text().replace("Tuners\\0]", "Tuners\\007]"),
        dict(GOOD, Tuners={"7": GOOD["Tuners"]["0"]}), id="tuner-key-with-leading-zeros"),
    row(stored_text(keys=f"[{ROOT}\\{S}\\Tuners\\{'0' * 20}]\n[{ROOT}\\{S}\\Tuners\\1]\n"), GOOD,
        id="over-long-tuner-key-ends-the-tuners"),
    row(stored_text(keys=f"[{ROOT}\\Devices\\{'0' * 20}]\n"), None, id="over-long-box-key-ends-the-boxes"),
    row(stored_text().split(f"[{ROOT}\\{S}\\Tuners")[0], dict(GOOD, Tuners={}), id="box-without-tuners"),
    row(stored_text(DEFAULT_ROOT), GOOD, id="new-user-reads-the-default-user-list"),
    row(f'[{ROOT}]\n"Flags"=dword:00000000\n' + stored_text(DEFAULT_ROOT), None,
        id="user-key-without-a-list-reads-no-default"),
]


@pytest.mark.parametrize("text,raw,expected", STORED)
def test_stored_data_is_read_within_its_fields_and_saved_in_the_program_layout(station, text, raw, expected):
    station.set_lan([FOUND])
    station.reset(text)
    if raw:
        station.store_raw(r"Software\ORVA Systems\Zentrova\%s\Tuners\0" % S, raw)

    station.run("-I")

    want = {FOUND.id_text: record(FOUND)}
    if expected is not None:
        want["1A2B3C46"] = expected
    assert station.stored().get("Devices") == want
    # The install that followed the new box named an instance after every Id as it was read.
    assert station.instances() == {"ORVA Tavrix " + t["Id"] for b in want.values() for t in b["Tuners"].values()}
