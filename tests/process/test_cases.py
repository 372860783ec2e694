"""Exact bytes and exit statuses of the command, one table for every build."""
import pytest

from cases import CASES


@pytest.mark.parametrize("case", CASES, ids=lambda case: case.name)
def test_case(request, target, case):
    if case.only not in (None, target.name):
        pytest.skip(f"{target.name} behaves otherwise")
    if case.answer is not None and request.config.option.without_requests:
        pytest.skip("needs the password change answered by the test")
    stdin = case.stdin if isinstance(case.stdin, bytes) else case.stdin.encode(target.code_page)
    args = [arg if isinstance(arg, bytes) else arg.encode("utf-8") for arg in case.args]
    out, status, fields = target.run(args, case.answer, stdin, case.stdin_closed, case.locale)

    expected = case.answer if case.status is None else case.status
    assert (out, status) == (target.expected_output(case.out, case.answer),
                             target.exit_status(expected))
    if case.answer is None:
        assert fields is None, "a request was made"
    else:
        assert fields is not None, "no request was made"
        if case.fields is not None:
            assert fields == case.fields
