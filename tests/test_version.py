"""The version is written once, in pyproject.toml, and compiled into zk_encoder.version: the
module, the package and the installed distribution's metadata give the same text."""

import importlib.metadata

import zk_encoder
import zk_encoder.version


def test_version_is_the_distribution_version():
    assert zk_encoder.version.zk_version == "0.2.5.2048"
    assert zk_encoder.__version__ is zk_encoder.version.zk_version
    assert importlib.metadata.version("zk_encoder") == zk_encoder.version.zk_version
