"""Sections of a test script: testcases, test sections, subsections, steps.

Also the small value holders that every level shares.
"""

from xml.etree.ElementTree import SubElement

from vexa.zelreport._dom import _search, attributes, data, sub, text


# The holders below are created by the hundred thousand and mostly left as
# they are: class-level defaults instead of an __init__ halve their cost.

class RunInfo:
    """Diagnostics, in the order they were given."""

    diags = ()

    def set_args(self, *, diag):
        if self.diags:
            self.diags.append(diag)
        else:
            self.diags = [diag]


class Result:
    value = None


class Xref:
    """Where the code of a section lies."""

    file = None
    line = None


class LogFile:
    """A log file, with the position of the output in `attrs` ("begin", "size")."""

    __slots__ = ("filepath", "attrs")

    def __init__(self, filepath=None):
        self.filepath = filepath
        self.attrs = {}


class Id:
    """An identifier: its value and its attributes ("name")."""

    __slots__ = ("attrs", "idtypevalue")

    def __init__(self, value=None):
        self.attrs = {}
        self.idtypevalue = value


class Summary:
    """Result counts, taken from a result counter."""

    __slots__ = ("counts", "total", "success_rate", "updates")
    NAMES = ("passed", "passx", "failed", "errored", "aborted", "blocked",
             "skipped")

    def __init__(self):
        self.counts = {}
        self.total = 0
        self.success_rate = 0.0
        self.updates = []

    def update(self, counter):
        self.updates.append(counter)
        self.counts.update(counter.items())
        total = sum(self.counts.values())
        self.total = getattr(counter, "total", total)
        if hasattr(counter, "success_rate"):
            self.success_rate = counter.success_rate
        else:
            good = self.counts.get("passed", 0) + self.counts.get("passx", 0)
            self.success_rate = round(100.0 * good / total, 2) if total else 0.0

    def _values(self):
        values = [(name, self.counts.get(name, 0)) for name in self.NAMES]
        values.append(("total", self.total))
        values.append(("successRate", self.success_rate))
        return values

    def generate_dom(self, parent):
        return sub(parent, "summary", None, self._values())

    def generate_resultsonly_dom(self, parent):
        for name, value in self._values():
            sub(parent, name, value)


class _Section:
    """What every section, subsection and step holds."""

    TAG = None
    starttime = stoptime = runtime = description = None  # until given

    # One __init__ for steps, test sections and subsections (id and name as
    # each is given them): 10^5 sections are made per job.
    def __init__(self, id=None, name=None):
        self.id = Id(id)
        self.name = name
        self.result = Result()
        self.runinfo = RunInfo()
        self.extra = {}
        self.children = []
        self.xref = Xref()
        self.logfile = LogFile()

    def _info(self):
        """The holder of description, xref and logfile."""
        return self

    # Attribute names: the subclass's identity, then these.
    _COMMON = ("starttime", "stoptime", "runtime", "result", "xrefFile", "xrefLine",
               "logFile", "logBegin", "logSize")
    NAMES = _COMMON

    def _identity(self):
        """The values of the identity attributes, in NAMES order."""
        return ()

    def generate_dom(self, parent):
        info = self._info()
        xref, log = info.xref, info.logfile
        position = log.attrs
        elem = SubElement(parent, self.TAG)
        # Assigned, not passed: SubElement would copy the new dict.
        elem.attrib = attributes(zip(self.NAMES, self._identity() + (
            self.starttime, self.stoptime, self.runtime, self.result.value, xref.file,
            xref.line, log.filepath, position.get("begin"), position.get("size"))))
        if info.description not in (None, ""):
            sub(elem, "description", info.description)
        for diag in self.runinfo.diags:
            plain = type(diag) is str and (diag.isascii() and diag.isprintable()
                                           or _search(diag) is None)
            SubElement(elem, "diag").text = diag if plain else text(diag)
        if self.extra:
            data(elem, "extra", self.extra)
        for child in self.children:
            child.generate_dom(elem)
        return elem

    def add_teststep(self, *, id, name):
        child = Step(id, name)
        self.children.append(child)
        return child


class Step(_Section):
    TAG = "step"
    index = continue_ = None

    NAMES = ("id", "name", "index", "continue") + _Section._COMMON

    def _identity(self):
        return (self.id.idtypevalue, self.name, self.index, self.continue_)


class CommonSubsection(_Section):
    TAG = "commonSubsection"

    NAMES = ("id", "name") + _Section._COMMON

    def _identity(self):
        return (self.id.idtypevalue, self.name)


class TestSection(_Section):
    __test__ = False  # not a pytest test class
    TAG = "testSection"

    NAMES = ("id",) + _Section._COMMON

    def _identity(self):
        return (self.id.idtypevalue,)

    def add_commonsubsection(self, *, name):
        child = CommonSubsection(None, name)
        self.children.append(child)
        return child


class TestCaseInfo:
    """Identity and references of a testcase."""

    __slots__ = ("id", "name", "swversion", "hwversion", "fwversion", "tstversion",
                 "description", "xref", "logfile")

    def __init__(self, tcid, logfilepath):
        self.id = Id(tcid)
        self.name = None
        self.swversion = None
        self.hwversion = None
        self.fwversion = None
        self.tstversion = None
        self.description = None
        self.xref = Xref()
        self.logfile = LogFile(logfilepath)


class TestCase(_Section):
    __test__ = False
    TAG = "testcase"

    def __init__(self, tcid, logfilepath):
        # description, xref and logfile live in initinfo
        self.result = Result()
        self.runinfo = RunInfo()
        self.extra = {}
        self.children = []
        self.tcid = tcid
        self.logfilepath = logfilepath
        self.initinfo = TestCaseInfo(tcid, logfilepath)

    def _info(self):
        return self.initinfo

    NAMES = ("id", "name", "swVersion", "hwVersion", "fwVersion",
             "tstVersion") + _Section._COMMON

    def _identity(self):
        info = self.initinfo
        return (info.id.idtypevalue, info.name, info.swversion, info.hwversion,
                info.fwversion, info.tstversion)

    def add_testsection(self, *, sectionid):
        child = TestSection(sectionid)
        self.children.append(child)
        return child
