import random
import re

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

WHITE_SPACE = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
# re's \s also matches U+001C..U+001F, which are not white space here.
SPLIT = re.compile("(?<=[.!?])[" + re.escape(WHITE_SPACE) + "]+")


def segment_model(text, min_chars):
    out = []
    for piece in SPLIT.split(text):
        piece = piece.strip(WHITE_SPACE)
        if not piece:
            continue
        if len(piece.encode()) < min_chars and out:
            out[-1] += " " + piece
        else:
            out.append(piece)
    return out


@pytest.mark.parametrize(
    "text, min_chars, expected",
    [
        ("", 0, []),
        (" \t\n\u3000\u00a0", 3, []),
        ("Hello world. This is fine! Ok? Yes.", 0, ["Hello world.", "This is fine!", "Ok?", "Yes."]),
        ("Hello world. This is fine! Ok? Yes.", 5, ["Hello world.", "This is fine! Ok? Yes."]),
        ("Hi. This is a sentence.", 10, ["Hi.", "This is a sentence."]),
        ("Long enough. \u00c9t\u00e9.", 5, ["Long enough.", "\u00c9t\u00e9."]),  # 6 bytes, 4 characters
        ("Long enough. Etc.", 5, ["Long enough. Etc."]),
        ("3.14 is pi.", 0, ["3.14 is pi."]),
        ("Hello.World", 0, ["Hello.World"]),
        ("Wait...  what", 0, ["Wait...", "what"]),
        ("e.g. this", 0, ["e.g.", "this"]),
        ("One.\nTwo.", 0, ["One.", "Two."]),
        ("One.\u00a0Two.", 0, ["One.", "Two."]),
        ("One.\u200bTwo.", 0, ["One.\u200bTwo."]),
        ("One.\u001cTwo.", 0, ["One.\u001cTwo."]),
        ('He said "Stop." Then left.', 0, ['He said "Stop." Then left.']),
        ("  Lead. Trail.  \n", 0, ["Lead.", "Trail."]),
        ("A. B. C. D.", 3, ["A. B. C. D."]),  # each short piece folds into the growing last sentence
        ("Abcdef. G! Hijklm? N.", 3, ["Abcdef. G!", "Hijklm? N."]),
        ("End!", 10**30 % 2**64, ["End!"]),
    ],
)
def test_examples(text, min_chars, expected):
    assert ln.segment_text(text, min_chars) == expected
    assert segment_model(text, min_chars) == expected


ALPHABET = "ab Z.!?,\"'\n\t\u00a0\u3000\u2029\u0085\u001c\u200b\u00e9\u20ac\U0001f600"


@settings(max_examples=200, deadline=None)
@given(st.text(alphabet=ALPHABET, max_size=60), st.integers(min_value=0, max_value=12))
def test_matches_model(text, min_chars):
    assert ln.segment_text(text, min_chars) == segment_model(text, min_chars)


def test_matches_model_on_long_texts():
    rng = random.Random(7)
    words = ["alpha", "B.", "c!", "d?", "e.g.", "\u00e9t\u00e9.", "x", "...", "\u20ac."]
    seps = [" ", "  ", "\n", "\u00a0", "\u3000 ", "\u200b", ""]
    for _ in range(20):
        text = "".join(rng.choice(words) + rng.choice(seps) for _ in range(rng.randrange(2000)))
        for min_chars in (0, 4, 9):
            assert ln.segment_text(text, min_chars) == segment_model(text, min_chars)


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^argument 'text': 'bytes' object cannot be converted to 'PyString'$"):
        ln.segment_text(b"A. B.", 0)
    with pytest.raises(OverflowError):
        ln.segment_text("A. B.", -1)
    with pytest.raises(TypeError, match=r"^argument 'min_chars': 'float' object cannot be interpreted as an integer$"):
        ln.segment_text("A. B.", 1.0)
    assert ln.segment_text(min_chars=0, text="A. B.") == ["A.", "B."]
