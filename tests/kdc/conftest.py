import pytest

from realm import Realm


def pytest_addoption(parser):
    parser.addoption("--exe", required=True, help="the Linux credmend")
    parser.addoption("--deadline-exe", required=True,
                     help="credmend built with a short deadline for the change")


@pytest.fixture(scope="session")
def exe(request):
    return request.config.option.exe


@pytest.fixture(scope="session")
def deadline_exe(request):
    return request.config.option.deadline_exe


@pytest.fixture(scope="module")
def realm():
    # A realm that fails to come up raises here: the tests must not fall back
    # to the machine's own Kerberos configuration.
    realm = Realm()
    yield realm
    realm.stop()
