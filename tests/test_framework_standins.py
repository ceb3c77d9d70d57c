"""The framework stand-ins behave as the reporter relies on."""

import datetime

import pytest
from hypothesis import given, strategies as st

from vexa.datastructures import AttrDict
from vexa.results import (Aborted, Errored, Failed, Passed, Passx, ResultCounter,
                          Skipped, TestResult)
from vexa.utils.dicts import recursive_update
from vexa.utils.utils import get_time


class TestResults:
    def test_worse_result_wins_in_either_order(self):
        order = [Skipped, Passed, Passx, Failed, TestResult.from_str("blocked"),
                 Aborted, Errored]
        for i, better in enumerate(order):
            for worse in order[i:]:
                assert better + worse == worse
                assert worse + better == worse

    def test_in_place_add_leaves_the_shared_value_alone(self):
        r = Passed
        r += Failed
        assert r == Failed and Passed.value == "passed"

    def test_sum_from_zero_and_never_equal_to_zero(self):
        assert sum([Passed, Failed]) == Failed
        assert 0 + Passed is Passed
        assert Passed != 0 and Skipped != 0

    def test_from_str_is_case_insensitive_and_rejects_unknown_names(self):
        assert TestResult.from_str("PASSED") is Passed
        with pytest.raises(ValueError):
            TestResult.from_str("great")

    def test_clone_is_equal_but_new(self):
        reasoned = Failed("timeout", data={"t": 3})
        clone = reasoned.clone()
        assert clone == reasoned and clone is not reasoned
        assert (clone.reason, clone.data) == ("timeout", {"t": 3})
        assert str(clone) == "failed"

    def test_results_are_immutable(self):
        with pytest.raises(AttributeError):
            Passed.value = "failed"


class TestResultCounter:
    def test_missing_keys_read_zero_and_counts_add_up(self):
        c = ResultCounter()
        assert c["passed"] == 0
        c["passed"] += 3
        c["failed"] += 1
        assert list(c.items()) == [("passed", 3), ("failed", 1)]
        assert c.total == 4 and c.success_rate == 75.0

    def test_total_and_success_rate_items_stay_out_of_the_counts(self):
        c = ResultCounter()
        c["passed"] = 1
        c["total"] = 7
        c["success_rate"] = 50
        assert c["total"] == 7
        assert dict(c.items()) == {"passed": 1} == c.data
        assert c.total == 1

    def test_weight_scales_the_success_rate(self):
        c = ResultCounter()
        c["passed"] = 2
        c.weight = 0.5
        assert c.success_rate == 50.0
        assert ResultCounter().success_rate == 0.0


class TestHelpers:
    def test_recursive_update_merges_nested_and_extends_lists(self):
        target = {"a": {"x": 1, "l": [1]}, "b": 2}
        recursive_update(target, {"a": {"y": 2, "l": [2]}, "b": 3})
        assert target == {"a": {"x": 1, "l": [1, 2], "y": 2}, "b": 3}
        recursive_update(target, {"a": {"l": [9]}}, list_extend=False)
        assert target["a"]["l"] == [9]

    def test_recursive_update_has_no_depth_limit(self):
        def chain(depth, leaf_value):
            top = node = {}
            for _ in range(depth):
                node["k"] = {}
                node = node["k"]
            node["leaf"] = leaf_value
            return top, node

        target, target_leaf = chain(20000, 1)
        data, _ = chain(20000, 2)
        recursive_update(target, data)
        assert target_leaf["leaf"] == 2

    def test_get_time_is_aware_local_time(self):
        now = get_time()
        assert now.tzinfo is not None
        assert abs(now - datetime.datetime.now(datetime.timezone.utc)) < datetime.timedelta(seconds=5)
        assert now.utcoffset() == datetime.datetime.now().astimezone().utcoffset()

    def test_attrdict(self):
        d = AttrDict(a=1)
        d.b = 2
        assert d.a == 1 and d["b"] == 2
        with pytest.raises(AttributeError):
            d.missing


class TestLegacyValueText:
    """The legacy library's text for values: what isoformat() and str() say."""

    def test_times_read_as_isoformat_in_any_zone(self):
        from vexa.zelreport._dom import attributes

        class Summer(datetime.tzinfo):
            """An offset that changes with the date."""

            def utcoffset(self, dt):
                return datetime.timedelta(hours=2 if 4 <= dt.month <= 9 else 1)

        class Unhashable(Summer):
            def __eq__(self, other):
                return True  # equal to any zone, and so without a hash

        zones = [None, datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=5, minutes=30)),
                 datetime.timezone(-datetime.timedelta(hours=3, seconds=7)), Summer(),
                 Unhashable()]
        moments = [datetime.datetime(2026, 3, 29, 1, 59, 59, 999999),
                   datetime.datetime(2026, 3, 29, 3, 0, 0),
                   datetime.datetime(2026, 10, 25, 2, 30, fold=1),
                   datetime.datetime(1, 1, 1), datetime.datetime(9999, 12, 31, 23, 59, 59, 1)]
        # Twice over, so that the cached date and zone parts are used too.
        for _ in range(2):
            for zone in zones:
                for moment in moments:
                    value = moment.replace(tzinfo=zone)
                    assert attributes([("t", value)]) == {"t": value.isoformat()}

    def test_a_datetime_subclass_keeps_its_own_text(self):
        from vexa.zelreport._dom import attributes

        class Moment(datetime.datetime):
            def isoformat(self, sep="T", timespec="auto"):
                return "moment"

        assert attributes([("t", Moment(2026, 1, 2))]) == {"t": "moment"}

    def test_integers_read_as_str_and_none_is_left_out(self):
        from vexa.zelreport._dom import attributes

        values = [-1, 0, 1023, 1024, -2, 10**30, True, None]
        got = attributes([(str(i), v) for i, v in enumerate(values)])
        assert got == {str(i): str(v) for i, v in enumerate(values) if v is not None}

    def test_diagnostics_are_kept_in_order(self):
        from vexa.zelreport.sections import RunInfo

        info = RunInfo()
        assert list(info.diags) == []
        for diag in ("first", "", "third"):
            info.set_args(diag=diag)
        assert info.diags == ["first", "", "third"]
        assert RunInfo().diags == ()  # the class default stays empty

    def test_simple_elements_only_for_known_fields(self):
        import xml.etree.ElementTree as ET

        from vexa.zelreport.runsheaf import Runsheaf

        run, root = Runsheaf(), ET.Element("jobSummary")
        run.initinfo.testbed = "tb1"
        run.initinfo.generate_simple_elt_dom(root, "testbed")
        run.generate_simple_elt_dom(root, "runtime")
        assert [(e.tag, e.text) for e in root] == [("testbed", "tb1"), ("runtime", None)]
        for holder, name in ((run, "testbed"), (run.initinfo, "runtime")):
            with pytest.raises(ValueError, match="no such field"):
                holder.generate_simple_elt_dom(root, name)


class TestFasterStandIns:
    """The stand-ins' faster forms answer exactly as their plain forms."""

    keys = st.sampled_from(["passed", "failed", "total", "success_rate", "Total", 1, 1.0, (), []])

    @given(st.lists(st.tuples(st.booleans(), keys, st.integers()), max_size=30))
    def test_counter_items_as_the_plain_counter(self, operations):
        import vexa.results as results

        fast, plain = ResultCounter(), results._PlainCounts()
        for write, key, value in operations:
            outcomes = []
            for counter in (fast, plain):
                try:
                    if write:
                        counter[key] = value
                    outcomes.append(counter[key])
                except TypeError as e:
                    outcomes.append(type(e))
            assert outcomes[0] == outcomes[1]
        assert fast.data == plain.data and fast._derived == plain._derived

    @given(st.lists(st.tuples(st.booleans(), keys, st.integers() | st.lists(st.integers(), max_size=1)),
                    max_size=20))
    def test_counter_left_to_the_collector_whenever_it_could_be_in_a_cycle(self, operations):
        import gc
        import vexa.results as results

        if results._Counts is None:
            pytest.skip("vexa._counts is not built")

        class Tracked(ResultCounter):
            __slots__ = ("note",)  # storage of its own: always tracked

        counters = [ResultCounter(), Tracked(), results._PlainCounts()]
        fast = counters[0]
        assert not gc.is_tracked(fast) and gc.is_tracked(counters[1])
        held_container = False
        for direct, key, value in operations:
            outcomes = []
            for counter in counters:
                try:
                    if direct:
                        counter.data[key] = value
                    else:
                        counter[key] = value
                    outcomes.append(counter[key])
                except TypeError as e:
                    outcomes.append(type(e))
            assert outcomes[0] == outcomes[1] == outcomes[2]
            held = [*fast.data.values(), *(fast._derived or {}).values()]
            if any(isinstance(v, list) for v in held):
                held_container = True
                assert gc.is_tracked(fast)
            elif not held_container:
                assert not gc.is_tracked(fast)
        assert fast.data == counters[1].data == counters[2].data
        assert fast._derived == counters[1]._derived == counters[2]._derived

    nested = st.recursive(st.integers() | st.text(max_size=2) | st.booleans(),
                          lambda inner: st.lists(inner, max_size=3)
                          | st.dictionaries(st.sampled_from("abc"), inner, max_size=3),
                          max_leaves=10)

    @given(st.dictionaries(st.sampled_from("abcd"), nested, max_size=4),
           st.dictionaries(st.sampled_from("abcd"), nested, max_size=4), st.booleans())
    def test_recursive_update_as_a_plain_merge(self, target, data, list_extend):
        import copy

        def plain(dst, src):
            for key, value in src.items():
                old = dst.get(key)
                if isinstance(value, dict) and isinstance(old, dict):
                    plain(old, value)
                elif list_extend and isinstance(value, list) and isinstance(old, list):
                    old.extend(value)
                else:
                    dst[key] = value
            return dst

        expected = plain(copy.deepcopy(target), copy.deepcopy(data))
        assert recursive_update(target, data, list_extend=list_extend) is target
        assert target == expected

    def test_get_time_reads_the_zone_again_once_the_minute_is_over(self, monkeypatch):
        import vexa.utils.utils as clock

        get_time()
        monkeypatch.setattr(clock, "_zone", clock._zone)  # restored afterwards
        monkeypatch.setattr(clock, "_zone_until", clock._zone_until - datetime.timedelta(minutes=1))

        class Shifted:
            tm_gmtoff, tm_zone = 5 * 3600 + 1800, "X"

        monkeypatch.setattr(clock.time, "localtime", lambda now: Shifted)
        first, second = get_time(), get_time()
        assert first.utcoffset() == second.utcoffset() == datetime.timedelta(hours=5, minutes=30)
        assert first.tzname() == "X" and first <= second
        assert abs(first - datetime.datetime.now(datetime.timezone.utc)) < datetime.timedelta(seconds=5)
