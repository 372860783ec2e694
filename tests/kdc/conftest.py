import pytest

from realm import Realm


def pytest_addoption(parser):
    parser.addoption("--exe", required=True, help="the Linux credmend")
    parser.addoption("--deadline-exe", required=True,
                     help="credmend built with a short deadline for the change")
    parser.addoption("--valgrind", action="store_true",
                     help="run the command under valgrind; any error or definite leak fails")
    parser.addoption("--sanitized", action="store_true",
                     help="the command is built with sanitizers: no memory images")


VALGRIND = ["/usr/bin/valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite"]


def command(request, path):
    return (VALGRIND if request.config.option.valgrind else []) + [path]


@pytest.fixture(scope="session")
def exe(request):
    """The command to run, as a list: valgrind may come first."""
    return command(request, request.config.option.exe)


@pytest.fixture(scope="session")
def deadline_exe(request):
    return command(request, request.config.option.deadline_exe)


@pytest.fixture(scope="module")
def realm():
    # A realm that fails to come up raises here: the tests must not fall back
    # to the machine's own Kerberos configuration.
    realm = Realm()
    yield realm
    realm.stop()
