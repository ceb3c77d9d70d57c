"""The run of a job and its job execution."""

from vexa.zelreport._dom import data, diags, sub, times
from vexa.zelreport.sections import RunInfo, Summary


class Params:
    def __init__(self):
        self.cli = None


class Korb:
    """The framework installation the job ran with."""

    def __init__(self):
        self.path = None
        self.version = None


class Hosts(list):
    """The hosts the job ran on."""

    def generate_dom(self, parent):
        for host in self:
            sub(parent, "host", host)


class _SimpleFields:
    """Objects whose SIMPLE fields can each become an element of their own."""

    SIMPLE = ()

    def generate_simple_elt_dom(self, parent, name):
        """Add the element `name`, holding the field of that name."""
        if name not in self.SIMPLE:
            raise ValueError("no such field: %r" % (name,))
        return sub(parent, name, getattr(self, name))


class RunInitInfo(_SimpleFields):
    SIMPLE = ("jobid", "name", "testbed", "release", "image", "submitter",
              "user")

    def __init__(self):
        for name in self.SIMPLE:
            setattr(self, name, None)
        self.params = Params()
        self.korb = Korb()
        self.hosts = Hosts()



class Trova:
    """Registration of the job with the lab's device service."""

    def __init__(self):
        self.calls = []

    def set_args(self, **kwargs):
        self.calls.append(kwargs)

    def generate_dom(self, parent):
        for call in self.calls:
            elem = sub(parent, "trova", None, (("dnsname", call.get("dnsname")),))
            for name in ("attributes", "post"):
                if name in call:
                    data(elem, name, call[name])


class JobExecution:
    def __init__(self):
        self.starttime = None
        self.stoptime = None
        self.runtime = None
        self.testscripts = []  # (script, id) pairs, in order

    def add_testscript(self, script, id):
        self.testscripts.append((script, id))

    def generate_dom(self, parent):
        elem = sub(parent, "jobExecution", None, times(self))
        for script, id in self.testscripts:
            script.generate_dom(elem, id)
        return elem


class Runsheaf(_SimpleFields):
    """The run: one job."""

    SIMPLE = ("starttime", "stoptime", "runtime")

    def __init__(self):
        self.starttime = None
        self.stoptime = None
        self.runtime = None
        self.archivefile = None
        self.initinfo = RunInitInfo()
        self.summary = Summary()
        self.runinfo = RunInfo()
        self.trova = Trova()
        self.jobexecution = JobExecution()


    def generate_dom(self, parent):
        info = self.initinfo
        elem = sub(parent, "run", None, (
            ("jobid", info.jobid), ("name", info.name),
            ("archiveFile", self.archivefile), ("testbed", info.testbed),
            ("release", info.release), ("image", info.image),
            ("submitter", info.submitter), ("user", info.user),
            ("cli", info.params.cli), ("korbPath", info.korb.path),
            ("korbVersion", info.korb.version)) + times(self))
        info.hosts.generate_dom(elem)
        self.summary.generate_dom(elem)
        diags(elem, self.runinfo)
        self.trova.generate_dom(elem)
        self.jobexecution.generate_dom(elem)
        return elem
