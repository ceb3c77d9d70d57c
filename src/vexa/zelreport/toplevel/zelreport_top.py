"""The report as a whole."""

import xml.etree.ElementTree as ET


class ZelReport:
    """Holds the run (`runsheaf`) and builds the details document from it."""

    def __init__(self):
        self.runsheaf = None

    def generate_dom(self):
        root = ET.Element("report")
        if self.runsheaf is not None:
            self.runsheaf.generate_dom(root)
        return root
