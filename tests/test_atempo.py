"""The atempo filter chain for a speed factor."""
import math

import pytest
from hypothesis import given, settings, strategies as st

import clipweave.clipweave as cw
from support import check_atempo_chain


@pytest.mark.parametrize(
    "speed, text",
    [
        (0.25, "atempo=0.25"),
        (0.5, "atempo=0.5"),
        (1.0, "atempo=1.0"),
        (1.5, "atempo=1.5"),
        (2.0, "atempo=2.0"),
        (2.5, "atempo=2.0,atempo=1.2500"),
        (3.0, "atempo=2.0,atempo=1.5000"),
        (4.0, "atempo=2.0,atempo=2.0000"),
        (5.0, "atempo=2.0,atempo=2.0,atempo=1.2500"),
        (10.0, "atempo=2.0,atempo=2.0,atempo=2.0,atempo=1.2500"),
        (100.0, "atempo=2.0," * 6 + "atempo=1.5625"),
        (2.0000001, "atempo=2.0,atempo=1.0000"),
        (4.125, "atempo=2.0,atempo=2.0,atempo=1.0312"),  # an exact tie rounds to even
        (4.375, "atempo=2.0,atempo=2.0,atempo=1.0938"),
        (math.nextafter(2.0, math.inf), "atempo=2.0,atempo=1.0000"),
        (0.1 + 0.2, "atempo=0.30000000000000004"),
        (1, "atempo=1.0"),
        (0, "atempo=0.0"),
        (-0.0, "atempo=-0.0"),
        (-1.0, "atempo=-1.0"),
        (-1e300, "atempo=-1e+300"),
        (0.0001, "atempo=0.0001"),
        (1e-05, "atempo=1e-05"),
        (5e-324, "atempo=5e-324"),
    ],
)
def test_table(speed, text):
    assert cw._build_atempo_chain(speed) == text


@pytest.mark.parametrize("exponent", [2, 3, 10, 100, 1023])
def test_powers_of_two_end_in_a_full_step(exponent):
    chain = cw._build_atempo_chain(2.0**exponent).split(",")
    assert chain == ["atempo=2.0"] * (exponent - 1) + ["atempo=2.0000"]


def test_largest_finite_speeds_stay_bounded():
    for speed in (1e308, 1.7976931348623157e308):
        chain = cw._build_atempo_chain(speed)
        check_atempo_chain(speed, chain)
        assert chain.count(",") == 1023


@pytest.mark.parametrize("speed", [math.inf, -math.inf, math.nan])
def test_non_finite_speeds_are_refused(speed):
    with pytest.raises(ValueError) as info:
        cw._build_atempo_chain(speed)
    assert str(info.value) == f"speed must be a finite number, got {speed!r}"


@settings(max_examples=2000, deadline=None, derandomize=True)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_any_finite_speed_makes_a_valid_chain(speed):
    check_atempo_chain(speed, cw._build_atempo_chain(speed))


@settings(max_examples=2000, deadline=None, derandomize=True)
@given(st.floats(min_value=2.0, exclude_min=True, allow_infinity=False))
def test_speeds_above_two_make_a_valid_chain(speed):
    check_atempo_chain(speed, cw._build_atempo_chain(speed))


@settings(max_examples=300, deadline=None, derandomize=True)
@given(digits=st.integers(0, 10**17), scale=st.integers(-22, 18), numerator=st.integers(1, 2**16),
       halvings=st.integers(0, 16), negative=st.booleans())
def test_short_decimals_and_ties_make_a_valid_chain(digits, scale, numerator, halvings, negative):
    # Short decimals, and binary fractions whose last factor can sit exactly
    # halfway between two four-decimal texts: where formatting shortcuts
    # would go wrong first.
    for speed in (digits * 10.0**scale, numerator / 2.0**halvings):
        speed = -speed if negative else speed
        check_atempo_chain(speed, cw._build_atempo_chain(speed))


def test_the_chain_check_tells_wrong_chains():
    """The property check itself refuses chains that are off in each way."""
    wrong = [
        (3.0, "atempo=3.0"),  # a factor above 2.0
        (3.0, "atempo=1.5,atempo=2.0000"),  # the full step not first
        (3.0, "atempo=2.0,atempo=1.5"),  # the rest not to four decimals
        (3.0, "atempo=2.0,atempo=1.5001"),  # the product off by more than the rounding
        (3.0, "atempo=2.0,atempo=1.4999"),
        (3.0, "atempo=2.0,atempo=2.0,atempo=0.7500"),  # more steps than needed
        (4.125, "atempo=2.0,atempo=2.0,atempo=1.0311"),
        (1.5, "atempo=1.5000"),  # a slow speed is written as repr() writes it
        (0.30000000000000004, "atempo=0.3"),
        (2.0, "atempo=2"),
    ]
    for speed, text in wrong:
        with pytest.raises(AssertionError):
            check_atempo_chain(speed, text)
