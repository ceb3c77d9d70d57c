"""One test script of a job."""

from vexa.zelreport._dom import diags, sub, times
from vexa.zelreport.sections import (LogFile, RunInfo, Summary, TestCase,
                                     TestSection)


class Script:
    """The script file: its name and the directory it lies in."""

    __slots__ = ("name", "path")

    def __init__(self):
        self.name = None
        self.path = None


class TestScriptInfo:
    __slots__ = ("pargs", "description", "logfile", "script")

    def __init__(self, logfile):
        self.pargs = None
        self.description = None
        self.logfile = LogFile(logfile)
        self.script = Script()


class TestScript:
    """A test script; `parent` is kept for the framework and not rendered."""

    __test__ = False  # not a pytest test class

    def __init__(self, logfile=None, parent=None):
        self.parent = parent
        self.starttime = None
        self.stoptime = None
        self.runtime = None
        self.initinfo = TestScriptInfo(logfile)
        self.summary = Summary()
        self.runinfo = RunInfo()
        self.children = []

    def add_testsection(self, *, sectionid):
        child = TestSection(sectionid)
        self.children.append(child)
        return child

    def add_testcase(self, *, tcid, logfilepath):
        child = TestCase(tcid, logfilepath)
        self.children.append(child)
        return child

    def generate_dom(self, parent, id):
        info = self.initinfo
        elem = sub(parent, "testScript", None, (
            ("id", id), ("name", info.script.name), ("path", info.script.path),
            ("logFile", info.logfile.filepath)) + times(self))
        if info.pargs is not None:
            sub(elem, "pargs", info.pargs)
        if info.description is not None:
            sub(elem, "description", info.description)
        self.summary.generate_dom(elem)
        diags(elem, self.runinfo)
        for child in self.children:
            child.generate_dom(elem)
        return elem
