# vantrel.dkim: DKIM signatures (relaxed/relaxed; rsa-sha256, ed25519-sha256)
# over the exact bytes a message is sent as, and their verification.
from os import PathLike as PathLike
from pathlib import Path as Path
from typing import List as List
from typing import Optional as Optional
from typing import Union as Union
from typing import final

@final
class Signer:
    def __init__(
        self,
        domain: str,
        selector: str,
        private_key: Union[bytes, str, PathLike[str]],
        algorithm: str = "rsa-sha256",
        headers: Optional[List[str]] = None,
    ) -> None: ...
    def sign(self, message: Union[bytes, str]) -> bytes: ...
    @property
    def dns_record(self) -> str: ...
    @property
    def domain(self) -> str: ...
    @property
    def selector(self) -> str: ...
    @property
    def algorithm(self) -> str: ...
    @property
    def headers(self) -> tuple[str, ...]: ...

def verify(message: Union[bytes, str], public_key: Union[bytes, str]) -> bool: ...
