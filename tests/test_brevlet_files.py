"""ResultsDetails.xml, ResultsSummary.xml and the failure path."""

import os
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from vexa.reporter import brevlet
from vexa.reporter.brevlet import Brevlet

from brevlet_job import small_job

SUMMARY = """\
<?xml version="1.0" ?>
<jobSummary archiveFilename="/archive/job.zip" korbTreePath="/opt/vexa">
  <jobName>nightly</jobName>
  <image>img1</image>
  <passed>1</passed>
  <passx>0</passx>
  <failed>1</failed>
  <errored>0</errored>
  <aborted>0</aborted>
  <blocked>0</blocked>
  <skipped>0</skipped>
  <total>2</total>
  <successRate>50.0</successRate>
  <starttime>2024-05-01T10:00:00.900000</starttime>
  <stoptime>2024-05-01T10:00:05.100000</stoptime>
  <runtime>5</runtime>
  <testbed>tb1</testbed>
  <release>r1</release>
  <submitter>ann</submitter>
  <user>bob</user>
  <debugProfile>0</debugProfile>
  <host>lab-3</host>
</jobSummary>
"""

# Every character XML 1.0 cannot carry.
FORBIDDEN = ("".join(chr(c) for c in range(0x20) if c not in (9, 10, 13))
             + "\ud800\udfff\ufffe\uffff")


def write(tmp_path, run):
    Brevlet(str(tmp_path), run).generate_xml(None, None)
    return ((tmp_path / "ResultsDetails.xml").read_text("utf-8"),
            (tmp_path / "ResultsSummary.xml").read_text("utf-8"))


def test_summary_file_text(tmp_path):
    _, summary = write(tmp_path, small_job())
    assert summary == SUMMARY


def test_details_file_is_the_pretty_printed_legacy_document(tmp_path):
    details, _ = write(tmp_path, small_job())
    lines = details.split("\n")
    assert lines[:3] == ['<?xml version="1.0" ?>', "<report>",
                         '  <run jobid="job-1" name="nightly" archiveFile="/archive/job.zip"'
                         ' testbed="tb1" release="r1" image="img1" submitter="ann" user="bob"'
                         ' cli="vexa run job.py" korbPath="/opt/vexa" korbVersion="3.4"'
                         ' starttime="2024-05-01T10:00:00.900000"'
                         ' stoptime="2024-05-01T10:00:05.100000" runtime="5">']
    assert lines[-2:] == ["</report>", ""]
    root = ET.fromstring(details.encode())
    steps = [s.get("id") for s in root.iter("step")]
    assert steps == ["ping", "step1", "inner", "deep"]


def test_summary_without_hosts_archive_or_korb(tmp_path):
    job = small_job()
    del job.host, job.vexapath
    job.archivefile = ""
    _, summary = write(tmp_path, job)
    assert '<jobSummary archiveFilename="" korbTreePath="">' in summary
    assert summary.endswith("  <debugProfile>0</debugProfile>\n  <host/>\n</jobSummary>\n")


def test_any_text_gives_well_formed_files(tmp_path):
    job = small_job()
    job.name = job.id = job.cli = job.host = job.archivefile = "run" + FORBIDDEN
    job.details = ["detail" + FORBIDDEN]
    testcase = job.tasks[0].sections[1]
    testcase.id = testcase.name = testcase.description = "tc" + FORBIDDEN
    testcase.extra = {"key" + FORBIDDEN: "value" + FORBIDDEN}
    testcase.sections[0].sections[0].name = "step" + FORBIDDEN
    details, summary = write(tmp_path, job)
    document = ET.fromstring(details.encode())
    job_summary = ET.fromstring(summary.encode())
    visible = "".join("\\x%02x" % ord(c) if c < "\x20" else "\\u%04x" % ord(c)
                      for c in FORBIDDEN)
    # escape() took some of them first; the rest were made visible late
    assert job_summary.findtext("jobName") == job_summary.findtext("host") == "run" + visible
    assert job_summary.get("archiveFilename") == "run" + visible
    run = document.find("run")
    assert run.get("name") == run.get("jobid") == run.get("cli") == "run" + visible
    tc = document.find(".//testcase")
    assert tc.get("id") == tc.get("name") == "tc" + visible
    assert tc.find("extra/item").attrib == {"key": "key" + visible}
    assert tc.findtext("extra/item") == "value" + visible
    assert run.findtext("diag") == "detail" + visible
    assert tc.find(".//step").get("name") == "step" + visible


def test_values_that_are_not_text(tmp_path):
    job = small_job()
    job.name = 20240501
    job.archivefile = pathlib.PurePosixPath("/archive/job.zip")
    job.tasks[0].sections[1].details = [ValueError("bad"), 3]
    _, summary = write(tmp_path, job)
    assert '<jobSummary archiveFilename="/archive/job.zip"' in summary
    assert "<jobName>20240501</jobName>" in summary


def test_files_are_utf8_whatever_the_locale(tmp_path):
    code = (
        "import sys; sys.path[:0] = %r\n"
        "from brevlet_job import small_job\n"
        "from vexa.reporter.brevlet import Brevlet\n"
        "job = small_job(); job.name = 'nuit \\u00e9t\\u00e9 \\u65e5\\U0001f600'\n"
        "Brevlet(%r, job).generate_xml(None, None)\n"
    ) % ([str(pathlib.Path(__file__).parent), str(pathlib.Path(brevlet.__file__).parents[2])],
         str(tmp_path))
    env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0",
               PYTHONIOENCODING="ascii")
    subprocess.run([sys.executable, "-c", code], env=env, check=True)
    name = "nuit \u00e9t\u00e9 \u65e5\U0001f600"
    assert ("<jobName>%s</jobName>" % name).encode() in (tmp_path / "ResultsSummary.xml").read_bytes()
    assert ('name="%s"' % name).encode() in (tmp_path / "ResultsDetails.xml").read_bytes()


def test_failed_formatting_keeps_the_raw_document(tmp_path):
    (tmp_path / "ResultsDetails.xml").mkdir()  # cannot be opened for writing
    (tmp_path / "ResultsSummary.xml").write_text("old")
    b = Brevlet(str(tmp_path), small_job())
    with pytest.raises(IsADirectoryError):
        b.generate_xml(None, None)
    rough = (tmp_path / "xml_rough_string").read_bytes()
    assert rough == ET.tostring(b.zelreport.generate_dom(), encoding="utf-8")
    assert rough.startswith(b"<report><run ")
    assert (tmp_path / "ResultsSummary.xml").read_text() == "old"


@pytest.mark.parametrize("error, kept", [(ValueError("cannot format"), ["xml_rough_string"]),
                                         (KeyboardInterrupt(), [])])
def test_formatting_error_is_raised_as_it_was(tmp_path, monkeypatch, error, kept):
    # Only an Exception leaves the raw document behind.
    class Broken:
        @staticmethod
        def parseString(data):
            raise error

    monkeypatch.setattr(brevlet, "minidom", Broken)
    with pytest.raises(type(error)) as info:
        Brevlet(str(tmp_path), small_job()).generate_xml(None, None)
    assert info.value is error
    assert [p.name for p in tmp_path.iterdir()] == kept


def test_error_writing_the_raw_document_carries_the_first(tmp_path):
    missing = tmp_path / "missing"
    with pytest.raises(FileNotFoundError) as info:
        Brevlet(str(missing), small_job()).generate_xml(None, None)
    assert info.value.filename.endswith("/xml_rough_string")
    assert isinstance(info.value.__context__, FileNotFoundError)
    assert info.value.__context__.filename.endswith("/ResultsDetails.xml")


def test_summary_file_is_closed_when_writing_fails(tmp_path, monkeypatch):
    files = []

    class Failing:
        def __init__(self, path, mode, encoding=None):
            self.path, self.closed = path, False
            files.append(self)

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self.closed = True

        def write(self, text):
            if self.path.endswith("ResultsSummary.xml"):
                raise OSError("disk full")

    monkeypatch.setattr(brevlet, "open", Failing, raising=False)
    with pytest.raises(OSError, match="disk full"):
        Brevlet(str(tmp_path), small_job()).generate_xml(None, None)
    assert [(f.path.rsplit("/", 1)[1], f.closed) for f in files] == [
        ("ResultsDetails.xml", True), ("ResultsSummary.xml", True)]


def test_logsdir_is_joined_by_plain_concatenation(tmp_path, monkeypatch):
    paths = []

    def recording_open(path, *args, **kwargs):
        paths.append(path)
        return open(path, *args, **kwargs)

    monkeypatch.setattr(brevlet, "open", recording_open, raising=False)
    Brevlet(str(tmp_path) + "/", small_job()).generate_xml(None, None)
    assert paths == [str(tmp_path) + "//ResultsDetails.xml",
                     str(tmp_path) + "//ResultsSummary.xml"]


def test_any_file_object_from_open_gets_the_same_text(tmp_path, monkeypatch):
    # A plain text file takes the UTF-8 bytes directly; anything else is
    # given str, and must end up with the same text.
    Brevlet(str(tmp_path), small_job()).generate_xml(None, None)
    expected = {name: (tmp_path / name).read_text(encoding="utf-8")
                for name in ("ResultsDetails.xml", "ResultsSummary.xml")}
    written = {}

    class Recording:
        def __init__(self, path, mode, encoding=None):
            self.name = path.rsplit("/", 1)[1]
            written[self.name] = ""

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            pass

        def write(self, text):
            assert type(text) is str
            written[self.name] += text

    monkeypatch.setattr(brevlet, "open", Recording, raising=False)
    Brevlet(str(tmp_path), small_job()).generate_xml(None, None)
    assert written == expected


def test_a_file_with_its_own_newlines_gets_them(tmp_path, monkeypatch):
    Brevlet(str(tmp_path), small_job()).generate_xml(None, None)
    expected = (tmp_path / "ResultsDetails.xml").read_bytes()

    def crlf_open(path, mode, encoding=None):
        return open(path, mode, encoding=encoding, newline="\r\n")

    monkeypatch.setattr(brevlet, "open", crlf_open, raising=False)
    Brevlet(str(tmp_path), small_job()).generate_xml(None, None)
    written = (tmp_path / "ResultsDetails.xml").read_bytes()
    assert written == expected.replace(b"\n", b"\r\n")
