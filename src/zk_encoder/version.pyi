zk_version: str
