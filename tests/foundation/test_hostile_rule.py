"""The hostile and fuzz checks accept any ordinary exception except the signs
of broken native code: a SystemError, or an error saying a failure came back
without an exception set."""
import pytest

from tests.hostile import outcome, returns_or_raises


def raising(error):
    def fn(*args, **kwargs):
        raise error
    return fn


@pytest.mark.parametrize("error,broken", [
    (SystemError("internal error: bad argument"), True),
    (SystemError("<built-in method x> returned NULL without setting an exception"), True),
    (RuntimeError("error return without exception set"), True),
    (ValueError("<built-in method x> returned a result with an exception set"), True),
    (ValueError("bad value"), False),
    (KeyError("vnet"), False),
    (TypeError("getVnet() missing 1 required positional argument: 'vnetName'"), False),
])
def test_broken_native_code_fails_every_hostile_check(error, broken):
    fn = raising(error)
    if broken:
        with pytest.raises(AssertionError, match="broken native code"):
            returns_or_raises(fn)
        with pytest.raises(AssertionError, match="broken native code"):
            outcome(fn, (), {})
    else:
        returns_or_raises(fn)
        assert outcome(fn, (), {}) is type(error)
