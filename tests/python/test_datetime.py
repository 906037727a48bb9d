"""Acquisition.acquired_datetime over the forms an acquisition time is written in: the
same value on every interpreter, None for what does not parse. The expected values are
built from their fields, not parsed."""
from datetime import datetime, timedelta, timezone

import pytest

import meridel

UTC = timezone.utc


def zone(hours, minutes=0):
    sign = -1 if hours < 0 else 1
    return timezone(sign * timedelta(hours=abs(hours), minutes=minutes))


FORMS = [
    ("2024-05-01T10:11:58Z", datetime(2024, 5, 1, 10, 11, 58, tzinfo=UTC)),
    ("2024-05-01T10:11:58.7231345Z", datetime(2024, 5, 1, 10, 11, 58, 723134, tzinfo=UTC)),  # 7 digits
    ("2024-05-01T10:11:58.9999999Z", datetime(2024, 5, 1, 10, 11, 58, 999999, tzinfo=UTC)),  # truncated
    ("2024-05-01T10:11:58.1234567891", datetime(2024, 5, 1, 10, 11, 58, 123456)),
    ("2024-05-01T10:11:58.5", datetime(2024, 5, 1, 10, 11, 58, 500000)),
    ("2024-05-01T10:11:58.12", datetime(2024, 5, 1, 10, 11, 58, 120000)),
    ("2024-05-01T10:11:58.000001", datetime(2024, 5, 1, 10, 11, 58, 1)),
    ("2024-05-01T10:11:58", datetime(2024, 5, 1, 10, 11, 58)),
    ("2024-05-01T10:11", datetime(2024, 5, 1, 10, 11)),
    ("2024-05-01 10:11:58", datetime(2024, 5, 1, 10, 11, 58)),
    ("2024-05-01", datetime(2024, 5, 1)),
    ("2024-05-01T10:11:58+05:30", datetime(2024, 5, 1, 10, 11, 58, tzinfo=zone(5, 30))),
    ("2024-05-01T10:11:58-08:00", datetime(2024, 5, 1, 10, 11, 58, tzinfo=zone(-8))),
    ("2024-05-01T10:11:58.25-03:30", datetime(2024, 5, 1, 10, 11, 58, 250000, tzinfo=zone(-3, 30))),
    ("2024-05-01T10:11:58+00:00", datetime(2024, 5, 1, 10, 11, 58, tzinfo=UTC)),
    ("2024-05-01T10:11:58+0200", datetime(2024, 5, 1, 10, 11, 58, tzinfo=zone(2))),
    ("2024-02-29T23:59:59Z", datetime(2024, 2, 29, 23, 59, 59, tzinfo=UTC)),  # leap day
    ("0001-01-01T00:00:00", datetime(1, 1, 1)),
    ("9999-12-31T23:59:59.999999", datetime(9999, 12, 31, 23, 59, 59, 999999)),
]

NOT_DATES = [
    "t", "", "yesterday", "2024-05-01T", "2024-13-01T00:00:00", "2023-02-29T00:00:00", "2024-05-32",
    "2024-05-01T24:00:00", "2024-05-01T10:60:00", "2024-05-01T10:11:61", "2024-05-01T10:11:58.",
    "2024-05-01T10:11:58Zjunk", "2024-05-01T10:11:58+25:00", "2024-05-01T10:11:58+05:", "0000-01-01",
    "24-05-01", "2024/05/01", "2024-05-01T10:11:58 Z", "2024-5-1", "2024-05-01T10", "２０２４-05-01",
]


def opened(acquisition, written):
    contents = "<Contents><AcquiredTime>%s</AcquiredTime></Contents>" % written
    return meridel.open(acquisition({"scans": [{"scan_id": 1}], "files": {"Contents.xml": contents.encode().decode()}}))


@pytest.mark.parametrize("written, expected", FORMS, ids=[f[0] for f in FORMS])
def test_forms_that_parse(acquisition, written, expected):
    with opened(acquisition, written) as acq:
        assert acq.acquired_time == written
        got = acq.acquired_datetime
        assert got == expected
        assert got.utcoffset() == expected.utcoffset()  # naive stays naive, the offset as written


@pytest.mark.parametrize("written", NOT_DATES)
def test_what_does_not_parse_is_none(acquisition, written):
    with opened(acquisition, written) as acq:
        assert acq.acquired_datetime is None
