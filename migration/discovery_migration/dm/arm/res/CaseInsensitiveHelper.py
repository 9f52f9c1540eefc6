"""Text comparisons that ignore letter case, as Azure does for resource names."""
from requests.structures import CaseInsensitiveDict

__all__ = ["CaseInsensitiveDict", "case_insensitive_equal", "case_insensitive_not_equal",
           "case_insensitive_startswith"]


def case_insensitive_equal(a, b):
    return a.casefold() == b.casefold()


def case_insensitive_not_equal(a, b):
    return not case_insensitive_equal(a, b)


def case_insensitive_startswith(s, prefix):
    return s.casefold().startswith(prefix.casefold())
