import pytest

from runner import Target


def pytest_addoption(parser):
    parser.addoption("--target", choices=["wine", "linux"])
    parser.addoption("--exe", required=True, help="the command to run")
    parser.addoption("--pe-format", help="the exe's expected format: pei-i386 or pei-x86-64")
    parser.addoption("--map", help="the exe's link map, with cross references")
    parser.addoption("--fake-dir", help="wine: folder of the test netapi32.dll")
    parser.addoption("--sanitized", action="store_true",
                     help="the command is built with sanitizers: no memory measures")
    parser.addoption("--valgrind", action="store_true",
                     help="run the command under valgrind; any error or definite leak fails")
    parser.addoption("--without-requests", action="store_true",
                     help="the real command: run only the cases that end before a request")


@pytest.fixture(scope="session")
def target(request):
    options = request.config.option
    target = Target(options.target, options.exe, options.fake_dir, options.valgrind)
    yield target
    target.close()
