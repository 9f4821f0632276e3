import random

import pytest

from vyre_tools import mocklog
from vyre_tools import protocol as p

from reference_framer import crc16_kermit_bitwise as bitwise_crc


@pytest.mark.parametrize(
    "data,crc",
    [
        (b"123456789", 0x2189),
        (b"abc", 0x58E9),
        (bytes.fromhex("6BB6010000000000"), 0x78DC),
        (bytes.fromhex("A5 5A 03 00 01 00 00 00 01"), 0xEB0F),
    ],
)
def test_crc_check_values(data, crc):
    assert p.crc16(data) == crc


def test_crc_agrees_with_bitwise_definition():
    rng = random.Random(5)
    for n in (0, 1, 2, 7, 76, 84, 300):
        data = bytes(rng.randrange(256) for _ in range(n))
        assert p.crc16(data) == bitwise_crc(data)


@pytest.mark.parametrize(
    "header,ident,payload,expected",
    [
        (p.COMMAND_HEADER, 1, b"", "6BB6010000000000DC78"),
        (p.COMMAND_HEADER, 255, b"", "6BB6FF0000000000DD81"),
        (p.RESPONSE_HEADER, 5, b"\x01", "A55A05000100000001C2B3"),
    ],
)
def test_frames_match_known_bytes(header, ident, payload, expected):
    assert p.build_frame(header, ident, payload) == bytes.fromhex(expected)


def test_a_frame_counts_its_payload_in_bytes():
    words = memoryview(b"\x01\x00\x02\x00").cast("H")  # two items of two bytes
    assert p.build_frame(p.RESPONSE_HEADER, 5, words) == p.build_frame(p.RESPONSE_HEADER, 5, bytes(words))


def test_frame_reader_resynchronises():
    good = [p.build_frame(p.COMMAND_HEADER, i, bytes([i] * i)) for i in (1, 2, 3)]
    corrupt = bytearray(good[1])
    corrupt[9] ^= 0x10
    # a header-like pair with a huge length must not hold up later frames
    trap = b"\x6b\xb6\x00\x00\xff\xff\xff\x7f"
    stream = b"\x00\x6b" + good[0] + b"noise" + bytes(corrupt) + trap + good[2] + good[1]
    for cut in range(0, len(stream), 7):  # every split of the stream in two reads
        r = p.FrameReader((p.COMMAND_HEADER, p.MOCK_HEADER))
        got = r.feed(stream[:cut]) + r.feed(stream[cut:])
        assert [(h, i) for h, i, _ in got] == [
            (p.COMMAND_HEADER, 1),
            (p.COMMAND_HEADER, 3),
            (p.COMMAND_HEADER, 2),
        ]
        assert r.bad_crc >= 1 and r.oversized >= 1


def test_frame_reader_gives_up_a_cut_frame_on_a_quiet_line():
    cut = p.build_frame(p.MOCK_HEADER, 0x49, bytes(19))[:12]  # a write abandoned half-way
    command = p.build_frame(p.COMMAND_HEADER, 5)
    r = p.FrameReader((p.COMMAND_HEADER, p.MOCK_HEADER))
    assert r.feed(cut + command) == []  # the cut frame's length swallows the command
    assert r.give_up_incomplete() == [(p.COMMAND_HEADER, 5, b"")]
    assert not r.holding()


def parse_log(data):
    """The log format's reading rules, independently: header block, records
    at boundaries, zeros as padding, 21 zeros end the log."""
    frames, pos, zeros = [(0x48, data[:286])], 286, 0
    sizes = {0x41: 6, 0x42: 6, 0x4D: 7, 0x49: 15}
    while pos < len(data):
        b = data[pos]
        if b == 0:
            zeros += 1
            if zeros > 20:
                break
            pos += 1
            continue
        zeros = 0
        if b not in sizes or pos + 5 + sizes[b] > len(data):
            pos += 1
            continue
        frames.append((b, data[pos + 1 : pos + 5 + sizes[b]]))
        pos += 5 + sizes[b]
    return frames


def test_mock_log_file_layout(tmp_path):
    log = mocklog.MockLog()
    log.add("A", 0x10, bytes(range(1, 7)))
    log.add_series(8, 0.001, start_ticks=(1 << 32) - 200_000)  # wraps
    log.pad(20)
    log.add("I", 5)
    log.end()
    log.add("B", 99)  # after the marker: never replayed
    data = open(log.write(tmp_path / "x.log"), "rb").read()
    series = sum(5 + mocklog.DATA_SIZES[k] for k in "ABMIABMI")
    assert len(data) == 286 + 11 + series + 20 + 20 + 21 + 11
    assert parse_log(data) == log.expected_frames()
    frame = p.build_frame(p.MOCK_HEADER, *log.expected_frames()[1])
    assert frame == bytes.fromhex("B66B41000A00000010000000010203040506A688")
    stamps = [ts for _, ts, _ in log.records[1:9]]
    assert stamps[0] == (1 << 32) - 200_000 and stamps[2] == 136_000
    assert log.delays()[2:4] == pytest.approx([0.001, 0.001])


@pytest.mark.parametrize(
    "call",
    [
        lambda log: log.add("X", 0),
        lambda log: log.add("A", 0, b"12"),
        lambda log: log.add("A", 1 << 32),
        lambda log: log.pad(21),
        lambda log: log.end(20),
    ],
)
def test_mock_log_refuses_invalid_records(call):
    with pytest.raises(ValueError):
        call(mocklog.MockLog())
