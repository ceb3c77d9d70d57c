"""Test results and result counters.

Results are immutable values. Combining two results (``a + b``) gives the
worse of the two, by this fixed order from best to worst::

    skipped < passed < passx < failed < blocked < aborted < errored

so a skipped child never spoils a passing parent, and an error wins over
everything. Since roll-ups share result objects between nodes, ``a += b``
rebinds ``a`` and never changes the object ``a`` named before.
"""

__all__ = ["TestResult", "ResultCounter", "Passed", "Passx", "Failed",
           "Errored", "Aborted", "Blocked", "Skipped"]

_ORDER = ("skipped", "passed", "passx", "failed", "blocked", "aborted",
          "errored")
_RANK = {name: rank for rank, name in enumerate(_ORDER)}


class TestResult:
    """One result: a name (`value`) with an optional `reason` and `data`."""

    __slots__ = ("value", "reason", "data", "_rank")
    __test__ = False  # not a pytest test class

    def __init__(self, value, reason=None, data=None):
        value = str(value).lower()
        if value not in _RANK:
            raise ValueError("unknown result %r; known: %s"
                             % (value, ", ".join(_ORDER)))
        object.__setattr__(self, "value", value)
        object.__setattr__(self, "reason", reason)
        object.__setattr__(self, "data", data)
        object.__setattr__(self, "_rank", _RANK[value])

    def __setattr__(self, name, value):
        raise AttributeError("results are immutable")

    __delattr__ = __setattr__

    @classmethod
    def from_str(cls, text):
        """The shared result named `text` (any letter case)."""
        try:
            return _SHARED[str(text).lower()]
        except KeyError:
            raise ValueError("unknown result %r; known: %s"
                             % (text, ", ".join(_ORDER))) from None

    def __call__(self, reason=None, data=None):
        """A result of this kind carrying a reason and data: Failed("why")."""
        return TestResult(self.value, reason, data)

    def clone(self):
        new = _new_result(TestResult)
        _set_value(new, self.value)
        _set_reason(new, self.reason)
        _set_data(new, self.data)
        _set_rank(new, self._rank)
        return new

    def __add__(self, other):
        if not isinstance(other, TestResult):
            return NotImplemented
        return other if other._rank > self._rank else self

    def __radd__(self, other):
        # sum() starts from 0
        if isinstance(other, int) and not isinstance(other, bool) and other == 0:
            return self
        return NotImplemented

    def __eq__(self, other):
        if isinstance(other, TestResult):
            return self.value == other.value
        return NotImplemented

    def __hash__(self):
        return hash(self.value)

    def __str__(self):
        return self.value

    def __repr__(self):
        if self.reason is None and self.data is None:
            return "%s" % self.value.capitalize()
        return "TestResult(%r, reason=%r, data=%r)" % (self.value, self.reason,
                                                       self.data)

    def __reduce__(self):
        return (TestResult, (self.value, self.reason, self.data))


_new_result = object.__new__
_set_value = TestResult.value.__set__
_set_reason = TestResult.reason.__set__
_set_data = TestResult.data.__set__
_set_rank = TestResult._rank.__set__

_SHARED = {name: TestResult(name) for name in _ORDER}
Skipped = _SHARED["skipped"]
Passed = _SHARED["passed"]
Passx = _SHARED["passx"]
Failed = _SHARED["failed"]
Blocked = _SHARED["blocked"]
Aborted = _SHARED["aborted"]
Errored = _SHARED["errored"]

_DERIVED = ("total", "success_rate")


try:
    # Item access without a Python frame per call; the class below is the
    # same either way.
    from vexa._counts import Counts as _Counts
except ImportError:  # not built
    _Counts = None


class _PlainCounts:
    """Storage and item access of ResultCounter, in Python."""

    __slots__ = ("data", "weight", "_derived")

    def __init__(self):
        self.data = {}
        self.weight = 1.0
        self._derived = None  # made on the first write: most counters never get one

    def __getitem__(self, key):
        if key in _DERIVED:
            return self._derived.get(key, 0) if self._derived else 0
        return self.data.get(key, 0)

    def __setitem__(self, key, value):
        if key in _DERIVED:
            if self._derived is None:
                self._derived = {}
            self._derived[key] = value
        else:
            self.data[key] = value


class ResultCounter(_Counts or _PlainCounts):
    """Counts per result name, keyed by the lower-cased name.

    A key not counted yet reads 0. ``total`` is the sum of all counts;
    ``success_rate`` the share of passed and passx among them, in percent
    with two decimals, scaled by ``weight`` (the share of the planned work
    that ran; 1.0 unless a run sets it), and 0.0 when nothing was counted.

    The items "total" and "success_rate" may be written like counts but are
    kept apart from them: reading them gives what was written (0 before),
    and they never show in `items()` or `data`, which hold the counts alone.
    """

    __slots__ = ()

    def items(self):
        return self.data.items()

    @property
    def total(self):
        return sum(self.data.values())

    @property
    def success_rate(self):
        total = self.total
        if not total:
            return 0.0
        good = self.data.get("passed", 0) + self.data.get("passx", 0)
        return round(100.0 * good / total * self.weight, 2)

    def __eq__(self, other):
        if isinstance(other, ResultCounter):
            return self.data == other.data
        return NotImplemented

    __hash__ = None

    def __repr__(self):
        return "ResultCounter(%r)" % (self.data,)


# The attributes the counter keeps, as its base declares them (for pickling
# and for readers of __slots__).
ResultCounter.__slots__ = ("data", "weight", "_derived")
