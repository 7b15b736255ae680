from .version import zk_version

__all__ = []
__version__ = zk_version
