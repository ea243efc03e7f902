"""The documentation pages' examples: each page's `>>>` sessions run as one doctest."""

import doctest

from helpers.process import ROOT


def assert_page_examples_pass(page):
    """Run every `>>>` example of the page (a path from the repository root); fail with doctest's report."""
    path = ROOT / page
    test = doctest.DocTestParser().get_doctest(path.read_text(encoding="utf-8"), {}, page, str(path), 0)
    assert test.examples, f"{page} has no examples"
    report = []
    result = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE).run(test, out=report.append)
    assert result.failed == 0, "".join(report)
