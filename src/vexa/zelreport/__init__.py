"""The framework's legacy report library (only what the reporter needs).

The reporter fills in a tree of plain objects, one per run, job execution,
test script, section and step, and asks the top object for the details
document. Every object keeps what it was given as it was given (times stay
datetimes, ids stay whatever they were), so the tree doubles as a record of
the calls; values become text only when the elements are built.

Shape of the details document (`ZelReport().generate_dom()`), children in
this order; an attribute whose value is None is left out, and so is an
element whose text would be None::

    <report>
      <run jobid name archiveFile testbed release image submitter user cli
           korbPath korbVersion TIMES>
        <host>..</host>...
        SUMMARY DIAGS
        <trova dnsname> <attributes>ITEMS</attributes> <post>ITEMS</post> </trova>
                                                         (one per call)
        <jobExecution TIMES>
          <testScript id name path logFile TIMES>      (name, path: the script file)
            <pargs/> <description/> SUMMARY DIAGS
            <testSection id="commonSetup" SECTION>
              <commonSubsection id name SECTION> STEPS </commonSubsection>
            </testSection>
            <testcase id name swVersion hwVersion fwVersion tstVersion SECTION>
              <testSection id SECTION> STEPS </testSection>
            </testcase>
          </testScript>
        </jobExecution>
      </run>
    </report>

    TIMES    attributes starttime, stoptime (ISO 8601), runtime (seconds)
    SECTION  attributes TIMES result xrefFile xrefLine logFile logBegin logSize;
             children <description/> DIAGS <extra>ITEMS</extra> (when not
             empty), then the child sections
    STEPS    <step id name index continue SECTION> STEPS </step>
    SUMMARY  <summary passed passx failed errored aborted blocked skipped
                      total successRate/>
    DIAGS    <diag>..</diag>, one per diagnostic, in order
    ITEMS    <item key="..">text</item>; a mapping or list value holds
             further <item> elements (list items without key)

Element and attribute names are fixed here; user keys and ids only ever
appear as attribute values and text. Characters that XML 1.0 cannot carry
(C0 controls but tab, line feed and carriage return, lone surrogates, U+FFFE,
U+FFFF) are written as visible escapes, ``\\xNN`` or ``\\uNNNN``, so any text
gives a well-formed document.

The job summary's extra elements come from `Summary.generate_resultsonly_dom`
(one element per count: passed ... skipped, total, successRate), the legacy
run's and its initinfo's `generate_simple_elt_dom` (one element named after
the field) and `Hosts.generate_dom` (one host element per host).
"""
